#include "protocol/RemoteInput.h"

#include <array>
#include <cmath>
#include <utility>

#include "protocol/JsonFields.h"
#include "protocol/RemoteError.h"

namespace veltra {
namespace {

using Kind = RemoteInput::Kind;

constexpr std::array<std::pair<Kind, std::string_view>, 7> kKindNames{{
    {Kind::keyDown, "keyDown"},
    {Kind::keyUp, "keyUp"},
    {Kind::flags, "flags"},
    {Kind::move, "move"},
    {Kind::mouseDown, "mouseDown"},
    {Kind::mouseUp, "mouseUp"},
    {Kind::scroll, "scroll"},
}};

// For doubles NaN fails both comparisons, so this refuses it along with the infinities.
template <typename T>
bool inClosedRange(T value, T low, T high) {
  return value >= low && value <= high;
}

double finiteForEncoding(double value, const char* key) {
  if (!std::isfinite(value)) {
    throw JsonError(std::string("JSON value \"") + key + "\" is not finite and cannot be encoded.");
  }
  return value;
}

}  // namespace

std::string_view rawValue(RemoteInput::Kind kind) {
  for (const auto& [candidate, name] : kKindNames) {
    if (candidate == kind) return name;
  }
  return {};
}

std::optional<RemoteInput::Kind> inputKind(std::string_view rawValue) {
  for (const auto& [kind, name] : kKindNames) {
    if (name == rawValue) return kind;
  }
  return std::nullopt;
}

bool RemoteInput::isValid() const {
  return key <= 127 && inClosedRange(x, 0.0, 1.0) && inClosedRange(y, 0.0, 1.0) &&
         inClosedRange(button, 0, 2) && inClosedRange(scrollX, -10000.0, 10000.0) &&
         inClosedRange(scrollY, -10000.0, 10000.0) && inClosedRange(clicks, 0, 100) &&
         inClosedRange<int64_t>(scrollPhase, 0, 255) && inClosedRange<int64_t>(momentumPhase, 0, 3);
}

Bytes RemoteInput::encodeJson() const {
  const nlohmann::json object = {
      {"kind", rawValue(kind)},
      {"key", key},
      {"flags", flags},
      {"x", finiteForEncoding(x, "x")},
      {"y", finiteForEncoding(y, "y")},
      {"button", button},
      {"scrollX", finiteForEncoding(scrollX, "scrollX")},
      {"scrollY", finiteForEncoding(scrollY, "scrollY")},
      {"clicks", clicks},
      {"scrollPhase", scrollPhase},
      {"momentumPhase", momentumPhase},
  };
  // nlohmann writes doubles in a shortest form that reads back to the same value.
  const std::string text = object.dump();
  return Bytes(text.begin(), text.end());
}

RemoteInput RemoteInput::decodeJson(ByteView json) {
  using jsonfields::doubleField;
  using jsonfields::integerField;
  const nlohmann::json object = jsonfields::parseObject(json);
  const std::optional<Kind> kind = inputKind(jsonfields::stringField(object, "kind"));
  if (!kind) throw JsonError("JSON value \"kind\" is not a known input kind.");
  return {
      .kind = *kind,
      .key = integerField<uint16_t>(object, "key"),
      .flags = integerField<uint64_t>(object, "flags"),
      .x = doubleField(object, "x"),
      .y = doubleField(object, "y"),
      .button = integerField<int>(object, "button"),
      .scrollX = doubleField(object, "scrollX"),
      .scrollY = doubleField(object, "scrollY"),
      .clicks = integerField<int>(object, "clicks"),
      .scrollPhase = integerField<int64_t>(object, "scrollPhase"),
      .momentumPhase = integerField<int64_t>(object, "momentumPhase"),
  };
}

}  // namespace veltra
