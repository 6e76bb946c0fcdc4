#include "host/RemoteInputInjector.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace veltra {
namespace {

using Kind = RemoteInput::Kind;

constexpr uint16_t kCapsLock = 57;

// A modifier as the client's flags word reports it: the group's flag, its two keys, and the
// device-side bit that says the right-hand key is down.
struct ModifierGroup {
  uint64_t flag;
  uint16_t leftKey;
  uint16_t rightKey;
  uint64_t rightBit;
};

constexpr ModifierGroup kModifierGroups[] = {
    {0x20000, 56, 60, 0x4},     // shift
    {0x40000, 59, 62, 0x2000},  // control
    {0x80000, 58, 61, 0x40},    // option (Alt)
    {0x100000, 55, 54, 0x10},   // command (Super)
};

// RemoteInput numbering (primary, secondary, middle) to X's (left 1, right 3, middle 2).
constexpr int kXButtons[] = {1, 3, 2};

constexpr int kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6, kWheelRight = 7;

// Remainders are kept in thirds of a pixel so that the step (kScrollPixelsPerWheelClick, 160/3)
// is the whole number 160 and whole-pixel deltas add up without rounding drift.
constexpr double kThirdsPerWheelClick = kScrollPixelsPerWheelClick * 3;

// NSEventPhaseBegan: the first event of a new scroll gesture.
constexpr int64_t kScrollPhaseBegan = 0x1;

int mapAxis(double fraction, int origin, int extent) {
  // Fraction 1 is the last pixel, not one past it.
  return origin + static_cast<int>(std::lround(fraction * std::max(extent - 1, 0)));
}

// Takes the whole clicks out of `remainder` (thirds of a pixel) and returns them, signed.
int takeWholeClicks(double& remainder) {
  const double clicks = std::trunc(remainder / kThirdsPerWheelClick);
  remainder -= clicks * kThirdsPerWheelClick;
  return static_cast<int>(clicks);
}

}  // namespace

RemoteInputInjector::RemoteInputInjector(std::unique_ptr<InputEventSink> sink)
    : sink_(std::move(sink)) {}

RemoteInputInjector::~RemoteInputInjector() = default;

void RemoteInputInjector::apply(const RemoteInput& input) {
  // The order of the gates is part of the contract: the first that fails decides.
  if (!input.isValid()) return;
  if (!sink_->canInject(displayID_)) return;
  if (displayID_ == 0) return;
  const DisplayBounds bounds = sink_->bounds(displayID_);
  if (bounds.empty()) return;

  bool posted = true;
  switch (input.kind) {
    case Kind::keyDown:
    case Kind::keyUp:
    case Kind::flags:
      posted = applyKey(input);
      break;
    case Kind::move:
    case Kind::mouseDown:
    case Kind::mouseUp:
      applyPointer(input, bounds);
      break;
    case Kind::scroll:
      posted = applyScroll(input);
      break;
  }
  if (posted) sink_->flush();
}

bool RemoteInputInjector::applyKey(const RemoteInput& input) {
  // Checked before anything moves, so that a key with no counterpart changes nothing.
  if (!sink_->keyCode(input.key)) return false;
  const uint16_t key = input.key;

  if (input.kind == Kind::flags) {
    // Caps lock is a lock, not a held key: each change of it is one tap.
    if (key == kCapsLock) {
      postKey(key, true);
      postKey(key, false);
    } else if (keys_.erase(key) > 0) {
      postKey(key, false);
    } else {
      keys_.insert(key);
      postKey(key, true);
    }
    return true;
  }

  alignModifiers(input.flags, key);
  const bool press = input.kind == Kind::keyDown;
  if (press) {
    // A press of a key already held is the client's keyboard repeating it. The display repeats
    // nothing itself and would drop a second press, so the repeat goes out as a release and a
    // press, which is how applications see a keyboard's repeat.
    if (!keys_.insert(key).second) postKey(key, false);
  } else {
    keys_.erase(key);
  }
  // A release of a key we do not hold still goes out: the server may hold it from a press we
  // lost track of, and a spare release is harmless.
  postKey(key, press);
  return true;
}

void RemoteInputInjector::applyPointer(const RemoteInput& input, const DisplayBounds& bounds) {
  position_ = {mapAxis(input.x, bounds.x, bounds.width), mapAxis(input.y, bounds.y, bounds.height)};

  if (input.kind == Kind::move) {
    // A held button makes this a drag on its own; X needs no separate event type for it.
    sink_->motion(position_);
    return;
  }

  alignModifiers(input.flags, std::nullopt);
  const bool press = input.kind == Kind::mouseDown;
  if (press) {
    buttons_.insert(input.button);
  } else {
    buttons_.erase(input.button);
  }
  // The button acts where the client clicked, even if no move reached us before it. Click
  // counts are not sent: X leaves double-click detection to the receiving application.
  sink_->motion(position_);
  sink_->button(kXButtons[input.button], press);
}

bool RemoteInputInjector::applyScroll(const RemoteInput& input) {
  if (input.scrollPhase & kScrollPhaseBegan) {
    scrollRemainderX_ = 0;
    scrollRemainderY_ = 0;
  }
  scrollRemainderY_ += input.scrollY * 3;
  scrollRemainderX_ += input.scrollX * 3;
  const int vertical = takeWholeClicks(scrollRemainderY_);
  const int horizontal = takeWholeClicks(scrollRemainderX_);

  // On the wire (macOS convention) a positive delta moves the content down or right, which is
  // what scrolling up or left does: wheel up (4) and wheel left (6).
  const int verticalButton = vertical > 0 ? kWheelUp : kWheelDown;
  const int horizontalButton = horizontal > 0 ? kWheelLeft : kWheelRight;
  for (int i = 0; i < std::abs(vertical); ++i) {
    sink_->button(verticalButton, true);
    sink_->button(verticalButton, false);
  }
  for (int i = 0; i < std::abs(horizontal); ++i) {
    sink_->button(horizontalButton, true);
    sink_->button(horizontalButton, false);
  }
  return vertical != 0 || horizontal != 0;
}

void RemoteInputInjector::alignModifiers(uint64_t flags, std::optional<uint16_t> postedKey) {
  for (const ModifierGroup& group : kModifierGroups) {
    // A modifier's own key event already says what the client wants of that group (a keyDown
    // of shift arrives with the shift flag set).
    if (postedKey == group.leftKey || postedKey == group.rightKey) continue;

    const bool wanted = (flags & group.flag) != 0;
    const bool held = keys_.contains(group.leftKey) || keys_.contains(group.rightKey);
    if (!wanted && held) {
      for (uint16_t key : {group.leftKey, group.rightKey}) {
        if (keys_.erase(key) > 0) postKey(key, false);
      }
    } else if (wanted && !held) {
      const uint16_t key = (flags & group.rightBit) ? group.rightKey : group.leftKey;
      if (!sink_->keyCode(key)) continue;
      keys_.insert(key);
      postKey(key, true);
    }
  }
}

void RemoteInputInjector::postKey(uint16_t macKey, bool press) {
  if (const std::optional<uint32_t> code = sink_->keyCode(macKey)) sink_->key(*code, press);
}

void RemoteInputInjector::releaseAll() {
  if (keys_.empty() && buttons_.empty()) return;
  for (uint16_t key : keys_) postKey(key, false);
  for (int button : buttons_) sink_->button(kXButtons[button], false);
  sink_->flush();
  keys_.clear();
  buttons_.clear();
}

}  // namespace veltra
