#include "protocol/VideoFormat.h"

#include "protocol/Base64.h"
#include "protocol/JsonFields.h"
#include "protocol/RemoteError.h"

namespace veltra {
namespace {

Bytes base64Field(const nlohmann::json& object, const char* key) {
  std::optional<Bytes> bytes = base64Decode(jsonfields::stringField(object, key));
  if (!bytes) throw JsonError(std::string("JSON value \"") + key + "\" is not valid Base64.");
  return std::move(*bytes);
}

}  // namespace

Bytes VideoFormat::encodeJson() const {
  const nlohmann::json object = {
      {"sps", base64Encode(sps)},
      {"pps", base64Encode(pps)},
      {"width", width},
      {"height", height},
  };
  const std::string text = object.dump();
  return Bytes(text.begin(), text.end());
}

VideoFormat VideoFormat::decodeJson(ByteView json) {
  using jsonfields::integerField;
  const nlohmann::json object = jsonfields::parseObject(json);
  return {
      .sps = base64Field(object, "sps"),
      .pps = base64Field(object, "pps"),
      .width = integerField<int>(object, "width"),
      .height = integerField<int>(object, "height"),
  };
}

}  // namespace veltra
