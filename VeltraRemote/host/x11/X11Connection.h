#pragma once

#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace veltra::x11 {

using Cookie = std::array<uint8_t, 16>;

// Stands in for the system's list of displays: the MIT-MAGIC-COOKIE-1 of every X server this
// process started, by display number. The virtual display registers its server while it lives,
// so that capture and injection, which only know a display identifier, can authenticate to it.
// Displays not registered here are not ours and are never connected to. Any thread.
void registerDisplay(uint32_t displayID, const Cookie& cookie);
void unregisterDisplay(uint32_t displayID);
std::optional<Cookie> registeredCookie(uint32_t displayID);

// One XCB connection to display `:displayID`, screen 0. Used by one thread at a time.
class Connection {
 public:
  // Nothing when the display is not one of ours, or its server cannot be reached or refuses us.
  static std::unique_ptr<Connection> open(uint32_t displayID);
  ~Connection();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  int width() const { return screen_->width_in_pixels; }
  int height() const { return screen_->height_in_pixels; }
  uint32_t displayID() const { return displayID_; }
  // The server went away or the stream broke; nothing more will work on this connection.
  bool broken() const { return xcb_connection_has_error(connection_) != 0; }

 private:
  Connection(xcb_connection_t* connection, xcb_screen_t* screen, uint32_t displayID)
      : connection_(connection), screen_(screen), displayID_(displayID) {}

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  uint32_t displayID_;
};

// A reply owned by a unique_ptr, freed with free() as XCB asks.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

}  // namespace veltra::x11
