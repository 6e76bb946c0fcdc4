#include "host/x11/X11InputSink.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>

#include "host/x11/KeyMap.h"
#include "host/x11/X11Connection.h"

namespace veltra::x11 {
namespace {

// XTEST's "whichever device the server picks" (the XTEST core devices).
constexpr uint8_t kAnyDevice = 0;

}  // namespace

X11InputSink::X11InputSink() = default;

X11InputSink::~X11InputSink() {
  close();
}

void X11InputSink::close() {
  if (!connection_) return;
  // The server drops the requests of a client that hung up before it read them, which would
  // lose the releases of a releaseAll() just before a display change or our destruction. One
  // round trip makes sure everything posted was taken; it answers at once on a live server and
  // fails at once on a dead one.
  if (!connection_->broken()) {
    xcb_connection_t* c = connection_->get();
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }
  connection_.reset();
  hasXTest_ = false;
}

Connection* X11InputSink::connectionTo(uint32_t displayID) {
  // 0 means no display. Never let it become ":0", the user's own desktop.
  if (displayID == 0) return nullptr;
  if (connection_) {
    discardIncoming();
    if (connection_->displayID() != displayID || connection_->broken()) close();
  }
  if (!connection_) {
    connection_ = Connection::open(displayID);
    if (!connection_) return nullptr;
    // A round trip, once per connection: XCB keeps the answer.
    const xcb_query_extension_reply_t* xtest =
        xcb_get_extension_data(connection_->get(), &xcb_test_id);
    hasXTest_ = xtest != nullptr && xtest->present;
    // Keep our input flowing while another client grabs the server (window managers do, briefly,
    // while they rearrange windows); otherwise it would wait behind the grab.
    if (hasXTest_) xcb_test_grab_control(connection_->get(), 1);
  }
  return connection_.get();
}

Connection* X11InputSink::postable() const {
  if (!connection_ || !hasXTest_ || connection_->broken()) return nullptr;
  return connection_.get();
}

void X11InputSink::discardIncoming() {
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_->get())) std::free(event);
}

bool X11InputSink::canInject(uint32_t displayID) {
  return connectionTo(displayID) != nullptr && hasXTest_;
}

DisplayBounds X11InputSink::bounds(uint32_t displayID) {
  Connection* connection = connectionTo(displayID);
  if (!connection || connection->broken()) return {};
  // The virtual display is the whole of its server's screen 0.
  return {0, 0, connection->width(), connection->height()};
}

std::optional<uint32_t> X11InputSink::keyCode(uint16_t macKey) {
  if (auto code = xKeycodeForMacKey(macKey)) return *code;
  return std::nullopt;
}

void X11InputSink::key(uint32_t keyCode, bool press) {
  if (Connection* connection = postable()) {
    // Held keys repeat at the client's pace, never the server's. Its auto-repeat is turned off
    // before each press, not once at start (Xvfb's -r), because a desktop session's settings
    // daemon turns it on again at login. One-way, and the server does nothing when it is off
    // already.
    if (press) {
      const uint32_t off = XCB_AUTO_REPEAT_MODE_OFF;
      xcb_change_keyboard_control(connection->get(), XCB_KB_AUTO_REPEAT_MODE, &off);
    }
    xcb_test_fake_input(connection->get(), press ? XCB_KEY_PRESS : XCB_KEY_RELEASE,
                        static_cast<uint8_t>(keyCode), XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                        kAnyDevice);
  }
}

void X11InputSink::motion(PixelPoint point) {
  if (Connection* connection = postable()) {
    // detail 0: absolute coordinates on `root`.
    xcb_test_fake_input(connection->get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME,
                        connection->root(), static_cast<int16_t>(point.x),
                        static_cast<int16_t>(point.y), kAnyDevice);
  }
}

void X11InputSink::button(int xButton, bool press) {
  if (Connection* connection = postable()) {
    xcb_test_fake_input(connection->get(), press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE,
                        static_cast<uint8_t>(xButton), XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                        kAnyDevice);
  }
}

void X11InputSink::flush() {
  if (Connection* connection = postable()) xcb_flush(connection->get());
}

}  // namespace veltra::x11
