#include "view/RemoteInputMapper.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include "view/RemoteKeyMap.h"
#include "view/RemoteViewClient.h"

namespace veltra {
namespace {

using Kind = RemoteInput::Kind;
namespace keys = remote_keys;

// Qt's scroll phases as the wire's (NSEventPhase): began 1, changed 2, ended 4.
int64_t scrollPhase(Qt::ScrollPhase phase) {
  switch (phase) {
    case Qt::ScrollBegin:
      return 1;
    case Qt::ScrollUpdate:
      return 2;
    case Qt::ScrollEnd:
      return 4;
    default:
      return 0;
  }
}

// A wheel reports eighths of a degree, 120 to the notch.
constexpr double kAnglePerNotch = 120;

uint64_t kindFlags(Qt::KeyboardModifiers modifiers) {
  uint64_t flags = 0;
  if (modifiers & Qt::ShiftModifier) flags |= keys::kShiftFlag;
  if (modifiers & Qt::ControlModifier) flags |= keys::kControlFlag;
  // AltGr (group switch) is the right Alt key on many layouts.
  if (modifiers & (Qt::AltModifier | Qt::GroupSwitchModifier)) flags |= keys::kOptionFlag;
  // Qt calls Super "Meta" on X11.
  if (modifiers & Qt::MetaModifier) flags |= keys::kCommandFlag;
  if (modifiers & Qt::KeypadModifier) flags |= keys::kNumericPadFlag;
  return flags;
}

std::optional<uint16_t> wireKey(const QKeyEvent& event) {
  return keys::wireKeyForEvdev(static_cast<int>(event.nativeScanCode()) - 8);
}

}  // namespace

int remoteButton(Qt::MouseButton button) {
  switch (button) {
    case Qt::LeftButton:
      return 0;
    case Qt::RightButton:
      return 1;
    default:
      return 2;
  }
}

RemoteInputMapper::RemoteInputMapper(RemoteViewClient& client, int doubleClickInterval,
                                     int doubleClickDistance)
    : client_(client), clicks_(doubleClickInterval, doubleClickDistance) {}

uint64_t RemoteInputMapper::flags(Qt::KeyboardModifiers modifiers,
                                  std::optional<uint16_t> ownKey) const {
  uint64_t flags = kindFlags(modifiers);
  // A modifier key's own event may carry the state before it or after it, depending on the
  // platform: for its kind, the keys held here after the event decide.
  if (auto own = ownKey ? keys::modifierForWireKey(*ownKey) : std::nullopt) flags &= ~own->flag;
  for (uint16_t key : heldModifiers_) {
    if (auto modifier = keys::modifierForWireKey(key))
      flags |= modifier->flag | modifier->deviceFlag;
  }
  if (capsLock_) flags |= keys::kCapsLockFlag;
  return flags;
}

void RemoteInputMapper::pruneHeldKeys(Qt::KeyboardModifiers modifiers, uint16_t ownKey) {
  const uint64_t down = kindFlags(modifiers);
  std::erase_if(heldModifiers_, [&](uint16_t key) {
    auto modifier = keys::modifierForWireKey(key);
    return key != ownKey && modifier && !(down & modifier->flag);
  });
}

void RemoteInputMapper::forgetHeldKeys() {
  heldModifiers_.clear();
  chordKey_.reset();
}

RemoteInputMapper::Outcome RemoteInputMapper::keyPress(const QKeyEvent& event) {
  const auto key = wireKey(event);
  if (!key) return Outcome::none;
  pruneHeldKeys(event.modifiers(), *key);

  RemoteInput input;
  input.clicks = 1;
  if (auto modifier = keys::modifierForWireKey(*key)) {
    if (event.isAutoRepeat()) return Outcome::none;
    if (*key == keys::kCapsLock) {
      capsLock_ = !capsLock_;
    } else if (client_.inputEnabled()) {
      // Only presses the host saw are held here, so that no release toggles a modifier on.
      if (!heldModifiers_.insert(*key).second) return Outcome::none;
    } else {
      return Outcome::none;
    }
    input.kind = Kind::flags;
    input.key = *key;
    input.flags = flags(event.modifiers(), *key);
    client_.send(input);
    return Outcome::none;
  }

  // The overlay chord's key is ours until released, its repeats too, whatever is held by then.
  if (key == chordKey_) return Outcome::none;
  input.key = *key;
  input.flags = flags(event.modifiers());
  const uint64_t chord = keys::kControlFlag | keys::kOptionFlag | keys::kCommandFlag;
  if ((input.flags & keys::kChordModifiers) == chord) {
    if (*key == keys::kEscape) {
      client_.setInputEnabled(false);
      forgetHeldKeys();
      return Outcome::captureReleased;
    }
    // Only while capturing: otherwise the window's own shortcut sees the same keys.
    if (*key == keys::kO && client_.inputEnabled()) {
      chordKey_ = *key;
      return Outcome::overlayToggled;
    }
  }
  input.kind = Kind::keyDown;
  client_.send(input);
  return Outcome::none;
}

void RemoteInputMapper::keyRelease(const QKeyEvent& event) {
  // X repeats a held key as release-press pairs; the wire knows only repeated presses.
  if (event.isAutoRepeat()) return;
  const auto key = wireKey(event);
  if (!key) return;
  pruneHeldKeys(event.modifiers(), *key);
  if (key == chordKey_) {
    chordKey_.reset();
    return;
  }

  RemoteInput input;
  input.clicks = 1;
  input.key = *key;
  if (keys::modifierForWireKey(*key)) {
    // Caps lock is a lock: its press already toggled it.
    if (*key == keys::kCapsLock || heldModifiers_.erase(*key) == 0) return;
    input.kind = Kind::flags;
    input.flags = flags(event.modifiers(), *key);
  } else {
    input.kind = Kind::keyUp;
    input.flags = flags(event.modifiers());
  }
  client_.send(input);
}

RemoteInputMapper::Outcome RemoteInputMapper::mousePress(const QMouseEvent& event,
                                                         const RemoteViewport& viewport) {
  Outcome outcome = Outcome::none;
  if (event.button() == Qt::LeftButton) {
    // Only a left click on the picture itself takes input; on the bars it does nothing at all.
    if (!viewport.normalized(event.position(), false)) return Outcome::none;
    client_.setInputEnabled(true);
    outcome = Outcome::captureRequested;
  }
  const int count = clicks_.press(remoteButton(event.button()), event.position(),
                                  static_cast<uint64_t>(event.timestamp()));
  sendPointer(Kind::mouseDown, event, viewport, false, count);
  return outcome;
}

void RemoteInputMapper::mouseRelease(const QMouseEvent& event, const RemoteViewport& viewport) {
  sendPointer(Kind::mouseUp, event, viewport, true, clicks_.release(remoteButton(event.button())));
}

void RemoteInputMapper::mouseMove(const QMouseEvent& event, const RemoteViewport& viewport) {
  // A held button makes the move a drag, which follows the pointer past the picture's edge.
  sendPointer(Kind::move, event, viewport, event.buttons() != Qt::NoButton, 1);
}

void RemoteInputMapper::sendPointer(Kind kind, const QMouseEvent& event,
                                    const RemoteViewport& viewport, bool clamp, int clicks) {
  const auto point = viewport.normalized(event.position(), clamp);
  if (!point) return;
  RemoteInput input;
  input.kind = kind;
  input.flags = flags(event.modifiers());
  input.x = point->x();
  input.y = point->y();
  input.clicks = clicks;
  if (kind != Kind::move) {
    input.button = remoteButton(event.button());
  } else if (event.buttons() & Qt::LeftButton) {
    input.button = 0;
  } else if (event.buttons() & Qt::RightButton) {
    input.button = 1;
  } else if (event.buttons() != Qt::NoButton) {
    input.button = 2;
  }
  client_.send(input);
}

void RemoteInputMapper::wheel(const QWheelEvent& event, const RemoteViewport& viewport) {
  const auto point = viewport.normalized(event.position(), false);
  if (!point) return;
  RemoteInput input;
  input.kind = Kind::scroll;
  input.flags = flags(event.modifiers());
  input.x = point->x();
  input.y = point->y();
  input.clicks = 1;
  // A touchpad's pixels go as they come; a wheel's notches as the pixels of one host click each.
  if (!event.pixelDelta().isNull()) {
    input.scrollX = event.pixelDelta().x();
    input.scrollY = event.pixelDelta().y();
  } else {
    input.scrollX = event.angleDelta().x() / kAnglePerNotch * kScrollPixelsPerWheelClick;
    input.scrollY = event.angleDelta().y() / kAnglePerNotch * kScrollPixelsPerWheelClick;
  }
  if (event.phase() == Qt::ScrollMomentum) {
    input.momentumPhase = 2;
  } else {
    input.scrollPhase = scrollPhase(event.phase());
  }
  client_.send(input);
}

}  // namespace veltra
