#pragma once

#include <cstdint>
#include <optional>

#include "protocol/WireKeys.h"

namespace veltra::x11 {

// The X keycode for `macKey`, or nothing for a key with no counterpart (such as fn, 63).
std::optional<uint8_t> xKeycodeForMacKey(uint16_t macKey);

}  // namespace veltra::x11
