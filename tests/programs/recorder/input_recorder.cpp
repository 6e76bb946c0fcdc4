// Grabs the keyboard and pointer on the root window, so that it needs no window of its own and
// the test pattern stays visible, and writes what arrives to FILE until its X server goes away.

#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
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
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (!out || xcb_connection_has_error(connection)) return 1;
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;

  const auto grab = [&] {
    auto* keyboard =
        xcb_grab_keyboard_reply(connection,
                                xcb_grab_keyboard(connection, 0, root, XCB_CURRENT_TIME,
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                nullptr);
    auto* pointer = xcb_grab_pointer_reply(
        connection,
        xcb_grab_pointer(
            connection, 0, root, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE,
            XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
        nullptr);
    const bool both = keyboard && keyboard->status == XCB_GRAB_STATUS_SUCCESS && pointer &&
                      pointer->status == XCB_GRAB_STATUS_SUCCESS;
    std::free(keyboard);
    std::free(pointer);
    return both;
  };
  // Another client may hold a grab for a moment while the session starts; try for a while.
  for (int attempt = 0; !grab(); ++attempt) {
    if (attempt == 100) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::fprintf(out, "ready\n");
  std::fflush(out);

  while (xcb_generic_event_t* event = xcb_wait_for_event(connection)) {
    const uint8_t type = event->response_type & 0x7f;
    const auto* input = reinterpret_cast<xcb_button_press_event_t*>(event);
    const char* action = type % 2 == 0 ? "press" : "release";
    if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
      std::fprintf(out, "key %s %u\n", action, input->detail);
    } else if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
      std::fprintf(out, "button %s %u %d %d\n", action, input->detail, input->root_x,
                   input->root_y);
    }
    std::fflush(out);
    std::free(event);
  }
  std::fclose(out);
  return 0;
}
