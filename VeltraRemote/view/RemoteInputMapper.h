#pragma once

#include <Qt>
#include <cstdint>
#include <optional>
#include <set>

#include "protocol/RemoteInput.h"
#include "view/RemoteClickCounter.h"
#include "view/RemoteViewport.h"

class QKeyEvent;
class QMouseEvent;
class QWheelEvent;

namespace veltra {

class RemoteViewClient;

// Turns Qt's key, pointer and wheel events into RemoteInput values for the client, and decides
// when a click starts input capture and when the release chord (Escape with exactly Control, Alt
// and Super among Shift, Control, Alt and Super) ends it. The same modifiers with O, the overlay
// chord, are the window's too: neither its press nor its release reaches the host. Knows nothing of
// widgets: the view passes the picture's viewport with each pointer event and acts on the outcome.
//
// Keys: the native scan code (an X keycode) minus 8 is the evdev code, which the key table maps
// to the wire; keys without a row are dropped. Modifier keys go out as `flags` with their own
// code. Pointer: left, right and middle are buttons 0, 1 and 2, every other button 2; positions
// are fractions of the picture. Wheel notches become pixels at the host's pixels per click.
//
// THREADING: GUI thread only.
class RemoteInputMapper {
 public:
  enum class Outcome {
    none,
    // A left click into the picture asked for capture: the view should take keyboard focus.
    captureRequested,
    // The release chord turned capture off: the view should give up keyboard focus.
    captureReleased,
    // The overlay chord, pressed while capturing: the window should show or hide its statistics.
    overlayToggled,
  };

  // `client` must outlive the mapper. Click series follow the double-click interval (ms) and
  // distance (logical pixels) given.
  RemoteInputMapper(RemoteViewClient& client, int doubleClickInterval, int doubleClickDistance);

  Outcome keyPress(const QKeyEvent& event);
  void keyRelease(const QKeyEvent& event);
  // `viewport` is where the picture lies in the view; empty when there is no picture.
  Outcome mousePress(const QMouseEvent& event, const RemoteViewport& viewport);
  void mouseRelease(const QMouseEvent& event, const RemoteViewport& viewport);
  void mouseMove(const QMouseEvent& event, const RemoteViewport& viewport);
  void wheel(const QWheelEvent& event, const RemoteViewport& viewport);

  // Capture ended: keys still held down here were released on the host, so their releases must
  // not be sent (a `flags` toggles the host's modifier); the overlay chord's key is forgotten.
  void forgetHeldKeys();

  // The wire's flags word for an event with Qt's `modifiers`, from the modifier keys held;
  // `ownKey` is the wire code of the event's key when it is a modifier key.
  uint64_t flags(Qt::KeyboardModifiers modifiers, std::optional<uint16_t> ownKey = {}) const;

 private:
  void sendPointer(RemoteInput::Kind kind, const QMouseEvent& event, const RemoteViewport& viewport,
                   bool clamp, int clicks);
  // Drops held modifier keys of kinds that Qt says are no longer down (released while the
  // view did not have focus), except `ownKey`, whose event may report the state before it.
  void pruneHeldKeys(Qt::KeyboardModifiers modifiers, uint16_t ownKey);

  RemoteViewClient& client_;
  RemoteClickCounter clicks_;
  std::set<uint16_t> heldModifiers_;
  bool capsLock_ = false;
  // The key of the overlay chord while it is held, so that its release stays here too.
  std::optional<uint16_t> chordKey_;
};

// Wire button of a Qt button: left 0, right 1, anything else 2.
int remoteButton(Qt::MouseButton button);

}  // namespace veltra
