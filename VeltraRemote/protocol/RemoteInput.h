#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "support/Bytes.h"

namespace veltra {

// Scroll pixels per wheel click, on both ends: the host turns this many pixels into one click,
// and a client sends one notch of its wheel as this many pixels, so a notch here is a click there.
// It is the ratio Chromium Remote Desktop's Linux host uses (kWheelTicksPerPixel = 3/160, which
// it took from WebKit's GTK port).
inline constexpr double kScrollPixelsPerWheelClick = 160.0 / 3.0;

// One keyboard, pointer or scroll event from the client. Every field travels whatever the kind,
// and every field is held to its range by isValid(), used or not.
struct RemoteInput {
  enum class Kind { keyDown, keyUp, flags, move, mouseDown, mouseUp, scroll };

  Kind kind = Kind::keyDown;
  uint16_t key = 0;    // virtual key code, 0...127
  uint64_t flags = 0;  // modifier-flag bits, passed through untested
  double x = 0;        // 0 = left edge, 1 = right edge
  double y = 0;        // 0 = top, 1 = bottom
  int button = 0;      // 0 primary, 1 secondary, 2 middle
  double scrollX = 0;  // pixels, |v| <= 10000
  double scrollY = 0;
  int clicks = 0;             // 0...100
  int64_t scrollPhase = 0;    // 0...255
  int64_t momentumPhase = 0;  // 0...3

  bool isValid() const;

  // Compact JSON with every key. Throws JsonError if a double is not finite: JSON has no spelling
  // for it, and writing null would only fail on the other side.
  Bytes encodeJson() const;
  // Throws JsonError on a missing key, a wrong type, a number outside its field's width or a kind
  // other than the seven raw values. Ranges are left to isValid().
  static RemoteInput decodeJson(ByteView json);

  friend bool operator==(const RemoteInput&, const RemoteInput&) = default;
};

// The kind's raw value, e.g. "mouseDown".
std::string_view rawValue(RemoteInput::Kind kind);
// The kind with exactly this raw value (case-sensitive), or nothing.
std::optional<RemoteInput::Kind> inputKind(std::string_view rawValue);

}  // namespace veltra
