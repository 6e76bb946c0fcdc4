#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace veltra::x11 {

// One row of keymap.tsv: a macOS virtual key code (what the wire carries) and the X keycode of
// the same physical key under the evdev rules (Linux evdev code + 8).
struct KeyMapping {
  uint16_t macKey;
  uint8_t xKeycode;
};

// Every row, in the order of the file (ascending mac code). The table is generated from
// keymap.tsv at build time, so the file is its only source.
std::span<const KeyMapping> keyMappings();

// The X keycode for `macKey`, or nothing for a key with no counterpart (such as fn, 63).
std::optional<uint8_t> xKeycodeForMacKey(uint16_t macKey);

}  // namespace veltra::x11
