#include "view/RemoteKeyMap.h"

#include <array>

#include "protocol/WireKeys.h"

namespace veltra::remote_keys {
namespace {

// X keycodes are evdev codes + 8 (the generator refuses a table where they are not), so one
// 256-entry index serves every lookup; -1 means no key.
constexpr std::array<int16_t, 256> kByXKeycode = [] {
  std::array<int16_t, 256> table{};
  table.fill(-1);
  for (const WireKey& key : kWireKeys) table[key.xKeycode] = static_cast<int16_t>(key.wireKey);
  return table;
}();

}  // namespace

std::optional<uint16_t> wireKeyForEvdev(int evdev) {
  const int xKeycode = evdev + 8;
  if (evdev < 0 || xKeycode >= static_cast<int>(kByXKeycode.size())) return std::nullopt;
  if (kByXKeycode[xKeycode] < 0) return std::nullopt;
  return static_cast<uint16_t>(kByXKeycode[xKeycode]);
}

std::optional<Modifier> modifierForWireKey(uint16_t key) {
  // Device bits as CoreGraphics sets them (NX_DEVICE*KEYMASK): they tell left from right.
  switch (key) {
    case kCapsLock:
      return Modifier{kCapsLockFlag, 0};
    case 56:
      return Modifier{kShiftFlag, 0x2};
    case 60:
      return Modifier{kShiftFlag, 0x4};
    case 59:
      return Modifier{kControlFlag, 0x1};
    case 62:
      return Modifier{kControlFlag, 0x2000};
    case 58:
      return Modifier{kOptionFlag, 0x20};
    case 61:
      return Modifier{kOptionFlag, 0x40};
    case 55:
      return Modifier{kCommandFlag, 0x8};
    case 54:
      return Modifier{kCommandFlag, 0x10};
    default:
      return std::nullopt;
  }
}

}  // namespace veltra::remote_keys
