#include "protocol/SessionExtensions.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "protocol/JsonFields.h"

namespace veltra {
namespace {

constexpr std::pair<SessionExtension, const char*> kNames[] = {
    {SessionExtension::clipboard, "clipboard"},
    {SessionExtension::cursor, "cursor"},
    {SessionExtension::audio, "audio"},
};

}  // namespace

std::vector<std::string> SessionExtensions::names() const {
  std::vector<std::string> names;
  for (const auto& [extension, name] : kNames) {
    if (has(extension)) names.emplace_back(name);
  }
  return names;
}

Bytes configurationJson(const RemoteConfiguration& configuration, SessionExtensions extensions,
                        const std::string& encoder) {
  if (extensions.empty() && encoder.empty()) return configuration.encodeJson();
  nlohmann::json object = {
      {"width", configuration.width},
      {"height", configuration.height},
      {"fps", configuration.fps},
      {"extensions", extensions.names()},
  };
  if (!encoder.empty()) object["encoder"] = encoder;
  // An encoder name is ours, but replace rather than throw should it ever hold invalid UTF-8.
  const std::string text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return Bytes(text.begin(), text.end());
}

ConfigurationExtras configurationExtras(ByteView json) {
  ConfigurationExtras extras;
  nlohmann::json object;
  try {
    object = jsonfields::parseObject(json);
  } catch (const std::exception&) {
    return extras;
  }
  if (const auto found = object.find("extensions"); found != object.end() && found->is_array()) {
    SessionExtensions named;
    for (const nlohmann::json& entry : *found) {
      if (!entry.is_string()) continue;
      for (const auto& [extension, name] : kNames) {
        if (entry.get_ref<const std::string&>() == name) named = named | extension;
      }
    }
    extras.extensions = named;
  }
  if (const auto found = object.find("encoder"); found != object.end() && found->is_string()) {
    extras.encoder = found->get<std::string>();
  }
  return extras;
}

}  // namespace veltra
