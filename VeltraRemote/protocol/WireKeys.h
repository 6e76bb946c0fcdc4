#pragma once

#include <cstdint>

namespace veltra {

// One key of the wire: the macOS virtual key code that input packets carry and the X keycode of
// the same physical key under the evdev rules (Linux evdev code + 8, which the generator
// checks). The host injects by it and the client's view reads its keyboard by it, so both ends
// agree on every key.
struct WireKey {
  uint16_t wireKey;
  uint8_t xKeycode;
};

// Every key of keymap.tsv, in the order of the file (ascending wire code); generated from it at
// build time, so the file is the table's only source. Keys not listed have no counterpart.
inline constexpr WireKey kWireKeys[] = {
#include "protocol/WireKeyTable.inc"
};

}  // namespace veltra
