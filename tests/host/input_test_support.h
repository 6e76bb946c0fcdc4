#pragma once

#include <cstdint>

#include "protocol/RemoteInput.h"

namespace veltra {

// Modifier flags as the client sends them (CoreGraphics event flags).
constexpr uint64_t kShiftFlag = 0x20000, kControlFlag = 0x40000, kOptionFlag = 0x80000,
                   kCommandFlag = 0x100000;

inline RemoteInput keyInput(RemoteInput::Kind kind, uint16_t key, uint64_t flags = 0) {
  return {.kind = kind, .key = key, .flags = flags};
}
inline RemoteInput pointer(RemoteInput::Kind kind, double x, double y, int button = 0,
                           uint64_t flags = 0) {
  return {.kind = kind, .flags = flags, .x = x, .y = y, .button = button};
}
inline RemoteInput scroll(double y, double x = 0, int64_t phase = 0) {
  return {.kind = RemoteInput::Kind::scroll, .scrollX = x, .scrollY = y, .scrollPhase = phase};
}

}  // namespace veltra
