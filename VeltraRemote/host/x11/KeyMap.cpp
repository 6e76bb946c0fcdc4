#include "host/x11/KeyMap.h"

#include <array>

namespace veltra::x11 {
namespace {

// Wire key codes are below 128, so a direct index serves every lookup. X keycodes start at 8,
// which leaves 0 free to mean "no counterpart".
constexpr std::array<uint8_t, 128> kByMacKey = [] {
  std::array<uint8_t, 128> table{};
  for (const WireKey& key : kWireKeys) table[key.wireKey] = key.xKeycode;
  return table;
}();

}  // namespace

std::optional<uint8_t> xKeycodeForMacKey(uint16_t macKey) {
  if (macKey >= kByMacKey.size() || kByMacKey[macKey] == 0) return std::nullopt;
  return kByMacKey[macKey];
}

}  // namespace veltra::x11
