#pragma once

#include <cstdint>
#include <optional>

#include "codec/ScreenPicture.h"
#include "protocol/CursorImage.h"

namespace veltra {

// The platform under RemoteCapture: one display's pixels and pointer, and word of what changed.
// RemoteCapture decides when to look and what to do with a picture; X11ScreenSource does the
// looking, a scripted fake stands in for it in the capture's tests.
//
// THREADING: created on any thread, then used on the capture queue only (every method).
class ScreenSource {
 public:
  virtual ~ScreenSource() = default;

  // Whether grab() draws the pointer into the picture (the default) or leaves it to the client,
  // which then gets the image from takeCursor() and draws it over the picture itself: the
  // pointer's moves are then no change and cost no picture. Before open(); kept across opens. A
  // source that cannot leave the pointer out keeps drawing it and reports no cursor.
  virtual void setPointerDrawn(bool drawn) { (void)drawn; }
  // Connects to display `displayID` and starts watching it. False, leaving the source closed,
  // while the display cannot be reached, refuses us, lacks what capture needs, or its screen is
  // not exactly width × height; the caller may try again later. Opening an open source closes
  // it first.
  virtual bool open(uint32_t displayID, int width, int height) = 0;
  // Reads what the display reported since the last call, without waiting for anything but one
  // short query. True when the screen may now differ from what the last grab() saw: drawing, a
  // moved pointer, a new cursor image, or nothing grabbed yet (with the pointer left out, only
  // drawing or nothing grabbed yet).
  virtual bool poll() = 0;
  // With the pointer left out: the cursor image when it changed since the last call, and once
  // after each open(); may cost one short query. Nothing while the pointer is drawn, for an
  // unchanged cursor, or for one larger than CursorImage::kMaximumSide (the client keeps the one
  // it has). A change shows here once poll() has read the display's word of it.
  virtual std::optional<CursorImage> takeCursor() { return std::nullopt; }
  // Copies the whole screen, the pointer drawn in unless left out, into the planes of `picture`
  // (NV12 of the opened size, writable), and sets its damage to what may differ from the previous
  // grab: the drawing since then and where a drawn pointer was and is; the whole screen on the
  // first grab after open(). Changes made from now on show in a later poll(). False when the screen
  // can no longer be captured; broken() then says so.
  virtual bool grab(ScreenPicture& picture) = 0;
  // The display went away or stopped answering: nothing will work again until open().
  virtual bool broken() const = 0;
  // A descriptor that turns readable when the display has news for poll() (its connection), so
  // that a change is grabbed when it happens rather than at the next tick; -1 for a source that
  // is only polled. Owned by the source, valid while it is open.
  virtual int eventDescriptor() const { return -1; }
  // Releases the connection and everything the display holds for us. Safe when closed.
  virtual void close() = 0;
};

}  // namespace veltra
