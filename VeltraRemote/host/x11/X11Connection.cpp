#include "host/x11/X11Connection.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace veltra::x11 {
namespace {

std::mutex registryMutex;
std::map<uint32_t, Cookie>& registry() {
  static std::map<uint32_t, Cookie> displays;
  return displays;
}

}  // namespace

void registerDisplay(uint32_t displayID, const Cookie& cookie) {
  std::lock_guard lock(registryMutex);
  registry()[displayID] = cookie;
}

void unregisterDisplay(uint32_t displayID) {
  std::lock_guard lock(registryMutex);
  registry().erase(displayID);
}

std::optional<Cookie> registeredCookie(uint32_t displayID) {
  std::lock_guard lock(registryMutex);
  auto found = registry().find(displayID);
  if (found == registry().end()) return std::nullopt;
  return found->second;
}

std::unique_ptr<Connection> Connection::open(uint32_t displayID) {
  // Only servers this process started: a number whose server is gone may be taken by someone
  // else's, and our pictures and input must not reach it.
  auto cookie = registeredCookie(displayID);
  if (!cookie) return nullptr;
  const std::string name = ":" + std::to_string(displayID);
  static char method[] = "MIT-MAGIC-COOKIE-1";
  xcb_auth_info_t auth{static_cast<int>(sizeof method - 1), method,
                       static_cast<int>(cookie->size()), reinterpret_cast<char*>(cookie->data())};
  int screenNumber = 0;
  xcb_connection_t* connection =
      xcb_connect_to_display_with_auth_info(name.c_str(), &auth, &screenNumber);
  // xcb_connect never returns null; a failed connection is an object in the error state.
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) {
    xcb_disconnect(connection);
    return nullptr;
  }
  return std::unique_ptr<Connection>(new Connection(connection, screens.data, displayID));
}

Connection::~Connection() {
  xcb_disconnect(connection_);
}

}  // namespace veltra::x11
