#include "protocol/RemoteConfiguration.h"

#include "protocol/JsonFields.h"

namespace veltra {

bool RemoteConfiguration::isValid() const {
  const bool supportedSize = (width == 1920 && height == 1080) || (width == 2560 && height == 1440);
  return supportedSize && (fps == 60 || fps == 120);
}

Bytes RemoteConfiguration::encodeJson() const {
  const nlohmann::json object = {{"width", width}, {"height", height}, {"fps", fps}};
  const std::string text = object.dump();
  return Bytes(text.begin(), text.end());
}

RemoteConfiguration RemoteConfiguration::decodeJson(ByteView json) {
  using jsonfields::integerField;
  const nlohmann::json object = jsonfields::parseObject(json);
  return {
      .width = integerField<int>(object, "width"),
      .height = integerField<int>(object, "height"),
      .fps = integerField<int>(object, "fps"),
  };
}

}  // namespace veltra
