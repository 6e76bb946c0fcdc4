#pragma once

#include <cstdint>
#include <optional>

namespace veltra {

// The wire's key codes (macOS virtual key codes) for the keys this machine reports, and what the
// modifier keys among them contribute to the flags word. The table is generated from keymap.tsv,
// the same file the host's injector is generated from, so both ends agree on every key.
// Pure lookups, any thread.
namespace remote_keys {

// Wire codes of the keys the view treats specially.
inline constexpr uint16_t kEscape = 53;
inline constexpr uint16_t kO = 31;
inline constexpr uint16_t kCapsLock = 57;

// Flag bits of the wire's flags word (CoreGraphics event flags).
inline constexpr uint64_t kCapsLockFlag = 0x10000;
inline constexpr uint64_t kShiftFlag = 0x20000;
inline constexpr uint64_t kControlFlag = 0x40000;
inline constexpr uint64_t kOptionFlag = 0x80000;
inline constexpr uint64_t kCommandFlag = 0x100000;
inline constexpr uint64_t kNumericPadFlag = 0x200000;
// The four modifiers the release chord is judged by.
inline constexpr uint64_t kChordModifiers = kShiftFlag | kControlFlag | kOptionFlag | kCommandFlag;

// The wire key code of a Linux evdev key code, or nothing for a key without one.
std::optional<uint16_t> wireKeyForEvdev(int evdev);

// A modifier key: the flag of its kind (shift, control…) and its device bit (which of the two).
struct Modifier {
  uint64_t flag;
  uint64_t deviceFlag;
};
// Caps lock, shift, control, option and command keys, left and right; nothing for other keys.
std::optional<Modifier> modifierForWireKey(uint16_t key);

}  // namespace remote_keys
}  // namespace veltra
