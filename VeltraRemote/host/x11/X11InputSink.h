#pragma once

#include <memory>

#include "host/InputEventSink.h"

namespace veltra::x11 {

class Connection;

// Synthetic input through XTEST on the display's own X server. It keeps one connection, to the
// display last asked about: opened lazily, reopened when the display changes or the connection
// broke. Round trips happen only when a connection is opened (the XTEST query) or closed (see
// close()); posting and flushing are one-way, so an input never waits for the server.
//
// The server's auto-repeat is turned off with every key press, so that a held key repeats only as
// the client's keyboard repeats it (see RemoteInputInjector).
//
// Events and errors arrive on the connection even though nothing is selected (a MappingNotify,
// an error for a request the server refused); they are read and dropped without blocking before
// each input, which is also how a server that went away is noticed.
//
// THREADING: main thread only.
class X11InputSink final : public InputEventSink {
 public:
  X11InputSink();
  // Waits for the server to take what was posted (one round trip), then disconnects.
  ~X11InputSink() override;

  X11InputSink(const X11InputSink&) = delete;
  X11InputSink& operator=(const X11InputSink&) = delete;

  bool canInject(uint32_t displayID) override;
  DisplayBounds bounds(uint32_t displayID) override;
  std::optional<uint32_t> keyCode(uint16_t macKey) override;
  void key(uint32_t keyCode, bool press) override;
  void motion(PixelPoint point) override;
  void button(int xButton, bool press) override;
  void flush() override;

 private:
  // The connection to `displayID`, (re)opened as needed; null when unreachable.
  Connection* connectionTo(uint32_t displayID);
  // The connection events may be posted on: open, unbroken, with XTEST; or null.
  Connection* postable() const;
  void discardIncoming();
  // Closes the connection once the server has taken everything posted on it.
  void close();

  // Held through a pointer so that XCB's headers stay out of this one.
  std::unique_ptr<Connection> connection_;
  bool hasXTest_ = false;
};

}  // namespace veltra::x11
