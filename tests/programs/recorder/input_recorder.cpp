// veltra-input-recorder: a small X client for the end-to-end test that records the key and
// button events its display receives, one line each, in FILE:
//
//   key press|release KEYCODE
//   button press|release BUTTON X Y
//
// It grabs the keyboard and the pointer on the root window, so it needs no window of its own and
// everything else on the display (the test pattern) stays visible. "ready" is the first line,
// written once both grabs hold. Runs until its X server goes away.
//
//   veltra-input-recorder FILE

#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "command_line.h"

int main(int argc, char** argv) {
  veltra::CommandLine commandLine("veltra-input-recorder",
                                  "Records the keys and buttons its X display receives, for tests.",
                                  "veltra-input-recorder FILE");
  std::string path;
  commandLine.app().add_option("FILE", path, "Where the events are written")->required();
  if (auto done = commandLine.parse(argc, argv)) return *done;
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (!out) return 1;
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection)) return 1;
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;

  // Another client may hold a grab for a moment while the session starts; try for a while.
  bool grabbed = false;
  for (int attempt = 0; attempt < 100 && !grabbed; ++attempt) {
    auto keyboard = std::unique_ptr<xcb_grab_keyboard_reply_t, decltype(&std::free)>(
        xcb_grab_keyboard_reply(connection,
                                xcb_grab_keyboard(connection, 0, root, XCB_CURRENT_TIME,
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                nullptr),
        &std::free);
    auto pointer = std::unique_ptr<xcb_grab_pointer_reply_t, decltype(&std::free)>(
        xcb_grab_pointer_reply(
            connection,
            xcb_grab_pointer(
                connection, 0, root, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE,
                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
            nullptr),
        &std::free);
    grabbed = keyboard && keyboard->status == XCB_GRAB_STATUS_SUCCESS && pointer &&
              pointer->status == XCB_GRAB_STATUS_SUCCESS;
    if (!grabbed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!grabbed) return 1;
  std::fprintf(out, "ready\n");
  std::fflush(out);

  while (xcb_generic_event_t* event = xcb_wait_for_event(connection)) {
    switch (event->response_type & 0x7f) {
      case XCB_KEY_PRESS:
      case XCB_KEY_RELEASE: {
        auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
        std::fprintf(out, "key %s %u\n",
                     (event->response_type & 0x7f) == XCB_KEY_PRESS ? "press" : "release",
                     key->detail);
        break;
      }
      case XCB_BUTTON_PRESS:
      case XCB_BUTTON_RELEASE: {
        auto* button = reinterpret_cast<xcb_button_press_event_t*>(event);
        std::fprintf(out, "button %s %u %d %d\n",
                     (event->response_type & 0x7f) == XCB_BUTTON_PRESS ? "press" : "release",
                     button->detail, button->root_x, button->root_y);
        break;
      }
      default:
        break;
    }
    std::fflush(out);
    std::free(event);
  }
  std::fclose(out);
  return 0;
}
