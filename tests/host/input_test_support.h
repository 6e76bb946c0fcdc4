#pragma once

#include <cstdint>

#include "protocol/RemoteInput.h"

namespace veltra {

// Modifier flags as the client sends them (CoreGraphics event flags).
constexpr uint64_t kShiftFlag = 0x20000, kControlFlag = 0x40000, kOptionFlag = 0x80000,
                   kCommandFlag = 0x100000;

inline RemoteInput keyInput(RemoteInput::Kind kind, uint16_t key, uint64_t flags = 0) {
  RemoteInput input;
  input.kind = kind;
  input.key = key;
  input.flags = flags;
  return input;
}

inline RemoteInput pointer(RemoteInput::Kind kind, double x, double y, int button = 0,
                           uint64_t flags = 0) {
  RemoteInput input;
  input.kind = kind;
  input.x = x;
  input.y = y;
  input.button = button;
  input.flags = flags;
  return input;
}

inline RemoteInput scroll(double scrollY, double scrollX = 0, int64_t phase = 0) {
  RemoteInput input;
  input.kind = RemoteInput::Kind::scroll;
  input.scrollY = scrollY;
  input.scrollX = scrollX;
  input.scrollPhase = phase;
  return input;
}

}  // namespace veltra
