// veltra-test-pattern: fills the X display named by DISPLAY with moving content at a fixed frame
// rate, so that a host has something to stream in demos and tests. It draws a full-screen window:
// a slowly shifting colour band background, bars that sweep across it and a frame counter in big
// digits, redrawing only what moved, as a real desktop would. Every picture also carries the
// time it was drawn as a latency stamp in the bottom-left corner (see latency_stamp.h), which the
// moving content never covers.
//
//   veltra-test-pattern [--fps N]   (N from 1 to 240, default 60)
//
// It runs until its X server goes away (or it is signalled).

#include <time.h>
#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "latency_stamp.h"

namespace {

constexpr int kDigitRows = 5;
constexpr int kDigitColumns = 3;
// 3×5 bitmaps of the digits 0-9, one row per 3 bits.
constexpr std::array<std::array<uint8_t, kDigitRows>, 10> kDigits{{
    {7, 5, 5, 5, 7},
    {2, 6, 2, 2, 7},
    {7, 1, 7, 4, 7},
    {7, 1, 7, 1, 7},
    {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7},
    {7, 4, 7, 5, 7},
    {7, 1, 2, 2, 2},
    {7, 5, 7, 5, 7},
    {7, 5, 7, 1, 7},
}};

uint32_t rgb(int r, int g, int b) {
  return static_cast<uint32_t>((r & 0xff) << 16 | (g & 0xff) << 8 | (b & 0xff));
}

class Painter {
 public:
  Painter(xcb_connection_t* connection, xcb_window_t window)
      : connection_(connection), window_(window), gc_(xcb_generate_id(connection)) {
    xcb_create_gc(connection_, gc_, window_, 0, nullptr);
  }

  void fill(uint32_t colour, int x, int y, int width, int height) {
    if (width <= 0 || height <= 0) return;
    xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &colour);
    xcb_rectangle_t rectangle{static_cast<int16_t>(x), static_cast<int16_t>(y),
                              static_cast<uint16_t>(width), static_cast<uint16_t>(height)};
    xcb_poly_fill_rectangle(connection_, window_, gc_, 1, &rectangle);
  }

  // One request for all of them, so no capture sees some drawn and others not.
  void fill(uint32_t colour, const std::vector<xcb_rectangle_t>& rectangles) {
    if (rectangles.empty()) return;
    xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &colour);
    xcb_poly_fill_rectangle(connection_, window_, gc_, static_cast<uint32_t>(rectangles.size()),
                            rectangles.data());
  }

 private:
  xcb_connection_t* connection_;
  xcb_window_t window_;
  xcb_gcontext_t gc_;
};

struct Scene {
  int width;
  int height;
  int fps;

  // The background changes every two seconds (a full redraw, like a page being scrolled).
  int epoch(int frame) const { return frame / (2 * fps); }
  int bandHeight() const { return height / 16 > 0 ? height / 16 : 1; }
  uint32_t background(int band, int frame) const {
    int shade = (band * 23 + epoch(frame) * 37) % 96;
    return rgb(24 + shade, 40 + shade / 2, 72 + shade);
  }

  // Paints the background of one rectangle, band by band.
  void fillBackground(Painter& painter, int frame, int x, int y, int w, int h) const {
    for (int band = y / bandHeight(); band * bandHeight() < y + h; ++band) {
      const int top = band * bandHeight() > y ? band * bandHeight() : y;
      const int bottom = (band + 1) * bandHeight() < y + h ? (band + 1) * bandHeight() : y + h;
      painter.fill(background(band, frame), x, top, w, bottom - top);
    }
  }

  void drawBackground(Painter& painter, int frame) const {
    fillBackground(painter, frame, 0, 0, width, height);
  }

  // Vertical bars sweeping across at different speeds; each frame repaints only their old and
  // new positions.
  void drawBars(Painter& painter, int frame, bool erase) const {
    const std::array<uint32_t, 3> colours{rgb(230, 80, 60), rgb(70, 200, 110), rgb(240, 220, 90)};
    for (int bar = 0; bar < 3; ++bar) {
      const int barWidth = width / 40;
      const int speed = (bar + 1) * width / 240 + 1;
      const int x = (frame * speed + bar * width / 3) % (width + barWidth) - barWidth;
      const int top = height / 5 + bar * height / 5;
      if (erase) {
        fillBackground(painter, frame, x, top, barWidth, height / 6);
      } else {
        painter.fill(colours[static_cast<size_t>(bar)], x, top, barWidth, height / 6);
      }
    }
  }

  void drawCounter(Painter& painter, int frame) const {
    const int cell = height / 60;
    const std::string text = std::to_string(frame);
    const int left = width / 20;
    const int top = height / 20;
    painter.fill(rgb(10, 10, 10), left - cell, top - cell, (8 * 4) * cell + 2 * cell,
                 (kDigitRows + 2) * cell);
    for (size_t i = 0; i < text.size() && i < 8; ++i) {
      const auto& digit = kDigits[static_cast<size_t>(text[i] - '0')];
      for (int row = 0; row < kDigitRows; ++row) {
        for (int column = 0; column < kDigitColumns; ++column) {
          if (digit[static_cast<size_t>(row)] & (4 >> column)) {
            painter.fill(rgb(250, 250, 250), left + (static_cast<int>(i) * 4 + column) * cell,
                         top + row * cell, cell, cell);
          }
        }
      }
    }
  }

  // Drawn last, with the time taken just before: what a client reads is when the picture was
  // complete.
  void drawStamp(Painter& painter) const {
    const auto plan =
        veltra::latency_stamp::drawPlan(width, height, veltra::latency_stamp::monotonicMicros());
    std::vector<xcb_rectangle_t> white;
    for (const auto& block : plan) {
      if (!block.white) {
        painter.fill(rgb(0, 0, 0), block.x, block.y, block.width, block.height);
        continue;
      }
      white.push_back(xcb_rectangle_t{static_cast<int16_t>(block.x), static_cast<int16_t>(block.y),
                                      static_cast<uint16_t>(block.width),
                                      static_cast<uint16_t>(block.height)});
    }
    painter.fill(rgb(255, 255, 255), white);
  }
};

void addNanoseconds(timespec& time, long nanoseconds) {
  time.tv_nsec += nanoseconds;
  while (time.tv_nsec >= 1'000'000'000L) {
    time.tv_nsec -= 1'000'000'000L;
    ++time.tv_sec;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int fps = 60;
  veltra::CommandLine commandLine(
      "veltra-test-pattern",
      "Fills the X display named by DISPLAY with moving, latency-stamped content.",
      "veltra-test-pattern [--fps N]");
  commandLine.app()
      .add_option("--fps", fps, "Frames per second, from 1 to 240 (default 60)")
      ->type_name("N")
      ->check(veltra::wholeNumber(1, 240));
  if (auto done = commandLine.parse(argc, argv)) return *done;

  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection)) {
    std::fprintf(stderr, "veltra-test-pattern: cannot open the display\n");
    return 1;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&screens);
  xcb_screen_t* screen = screens.data;
  const Scene scene{screen->width_in_pixels, screen->height_in_pixels, fps};

  // Override-redirect: no window manager moves or decorates it.
  xcb_window_t window = xcb_generate_id(connection);
  const uint32_t values[] = {screen->black_pixel, 1};
  xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0,
                    static_cast<uint16_t>(scene.width), static_cast<uint16_t>(scene.height), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(connection, window);
  Painter painter(connection, window);

  const long period = 1'000'000'000L / fps;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (int frame = 0; !xcb_connection_has_error(connection); ++frame) {
    if (frame % (2 * fps) == 0) {
      scene.drawBackground(painter, frame);
    } else {
      scene.drawBars(painter, frame - 1, true);
    }
    scene.drawBars(painter, frame, false);
    scene.drawCounter(painter, frame);
    scene.drawStamp(painter);
    xcb_flush(connection);
    // Drain events (exposures) so the server's queue to us never fills.
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) std::free(event);

    addNanoseconds(next, period);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Fell more than a frame behind: start counting from now instead of rushing to catch up.
    if (now.tv_sec > next.tv_sec + 1) next = now;
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
  xcb_disconnect(connection);
  return 0;
}
