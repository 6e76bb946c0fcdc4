// veltra-test-pattern: fills the X display named by DISPLAY with moving content at a fixed frame
// rate, so that a host has something to stream in demos and tests. It draws a full-screen window:
// a slowly shifting colour band background, bars that sweep across it and a frame counter in big
// digits, redrawing only what moved, as a real desktop would. Every picture also carries the
// time it was drawn as a latency stamp in the bottom-left corner (see latency_stamp.h), which the
// moving content never covers.
//
// With --click it also marks each second of CLOCK_MONOTONIC for the sound bench: the first
// picture whose stamp falls in a new second carries a white band below the bars (in that picture
// only), and right after drawing it the pattern plays a short, loud tone burst through the sound
// server that PULSE_SERVER names (the host's display has one). The flash picture's stamp is then
// the click's write time, to a few microseconds. Without a sound server it flashes silently.
//
// With --grain it also fills its top-left 640×360 with new noise every picture, as grainy video
// would: content that asks for more bits than a slow link carries, at little cost to draw.
//
//   veltra-test-pattern [--fps N] [--click] [--grain]   (N from 1 to 240, default 60)
//
// It runs until its X server goes away (or it is signalled).

#include <pulse/simple.h>
#include <time.h>
#include <xcb/xcb.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
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

  // Drawn last, with the time taken just before it: what a client reads is when the picture was
  // complete.
  void drawStamp(Painter& painter, uint64_t micros) const {
    const auto plan = veltra::latency_stamp::drawPlan(width, height, micros);
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

  // The --click flash: a band across the screen below the bars and above the stamp.
  xcb_rectangle_t flashArea() const {
    const auto stamp = veltra::latency_stamp::drawPlan(width, height, 0);
    const int top = height * 4 / 5;
    int bottom = height * 23 / 25;
    if (!stamp.empty() && stamp.front().y - height / 100 < bottom)
      bottom = stamp.front().y - height / 100;
    return xcb_rectangle_t{static_cast<int16_t>(width / 20), static_cast<int16_t>(top),
                           static_cast<uint16_t>(width * 9 / 10),
                           static_cast<uint16_t>(bottom > top ? bottom - top : 0)};
  }
};

// The --click sound: a 15 ms, 2 kHz tone burst at -2 dBFS, 48 kHz stereo, starting at full
// strength so that its onset is one sample. The playback stream is opened once, with a target of
// 20 ms and a start threshold of one frame: the stream sits empty between clicks, and a click
// written into it plays at once instead of waiting behind a server-sized buffer.
class ClickSound {
 public:
  static constexpr int kRate = 48'000;
  static constexpr int kChannels = 2;

  // Nothing when no sound server can be reached (quietly: the flash still marks the second).
  // Without PULSE_SERVER there is no display's server to play to, and libpulse would otherwise
  // try the user's own or start one.
  static std::unique_ptr<ClickSound> open() {
    if (std::getenv("PULSE_SERVER") == nullptr) return nullptr;
    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, kChannels};
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(20'000, &format));
    attributes.prebuf = static_cast<uint32_t>(pa_frame_size(&format));
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(-1);
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "veltra-test-pattern", PA_STREAM_PLAYBACK, nullptr,
                                      "click", &format, nullptr, &attributes, &error);
    if (stream == nullptr) return nullptr;
    // On a display's fresh sound server, what the first playback stream plays in its first
    // ~0.6 s comes out that late, all at once. 10 ms of silence played to the end takes that
    // start, before any click (and before the first picture: the drain lasts it out).
    const std::vector<int16_t> silence(kRate / 100 * kChannels, 0);
    if (pa_simple_write(stream, silence.data(), silence.size() * sizeof(int16_t), &error) < 0 ||
        pa_simple_drain(stream, &error) < 0) {
      pa_simple_free(stream);
      return nullptr;
    }
    return std::unique_ptr<ClickSound>(new ClickSound(stream));
  }

  ~ClickSound() { pa_simple_free(stream_); }
  ClickSound(const ClickSound&) = delete;
  ClickSound& operator=(const ClickSound&) = delete;

  // Returns at once: the burst is shorter than the stream's target, and the stream is empty.
  void play() {
    int error = 0;
    pa_simple_write(stream_, burst_.data(), burst_.size() * sizeof(int16_t), &error);
  }

 private:
  explicit ClickSound(pa_simple* stream) : stream_(stream) {
    constexpr int kFrames = kRate * 15 / 1000;
    constexpr double kTone = 2'000;
    constexpr double kAmplitude = 26'000;
    burst_.resize(size_t{kFrames} * kChannels);
    for (int frame = 0; frame < kFrames; ++frame) {
      // Cosine: the first sample is the peak.
      const auto sample = static_cast<int16_t>(
          std::lround(kAmplitude * std::cos(2 * std::numbers::pi * kTone * frame / kRate)));
      for (int channel = 0; channel < kChannels; ++channel)
        burst_[static_cast<size_t>(frame * kChannels + channel)] = sample;
    }
  }

  pa_simple* stream_;
  std::vector<int16_t> burst_;
};

void addNanoseconds(timespec& time, long nanoseconds) {
  time.tv_nsec += nanoseconds;
  while (time.tv_nsec >= 1'000'000'000L) {
    time.tv_nsec -= 1'000'000'000L;
    ++time.tv_sec;
  }
}

}  // namespace

// One of eight noise images, generated once, in strips that each fit a core X request.
void drawGrain(xcb_connection_t* connection, xcb_window_t window, uint8_t depth, int frame) {
  constexpr int kWidth = 640, kHeight = 360, kStrip = 60, kImages = 8;
  static const std::vector<uint32_t> noise = [] {
    std::vector<uint32_t> pixels(size_t{kWidth} * kHeight * kImages);
    uint32_t seed = 12345;
    for (uint32_t& pixel : pixels) pixel = (seed = seed * 1664525 + 1013904223) >> 8;
    return pixels;
  }();
  static const xcb_gcontext_t gc = [&] {
    const xcb_gcontext_t id = xcb_generate_id(connection);
    xcb_create_gc(connection, id, window, 0, nullptr);
    return id;
  }();
  const uint32_t* image = noise.data() + size_t{kWidth} * kHeight * (frame % kImages);
  for (int top = 0; top < kHeight; top += kStrip) {
    xcb_put_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, kWidth, kStrip, 0,
                  static_cast<int16_t>(top), 0, depth, kWidth * kStrip * 4,
                  reinterpret_cast<const uint8_t*>(image + size_t{kWidth} * top));
  }
}

int main(int argc, char** argv) {
  int fps = 60;
  bool click = false;
  veltra::CommandLine commandLine(
      "veltra-test-pattern",
      "Fills the X display named by DISPLAY with moving, latency-stamped content.",
      "veltra-test-pattern [--fps N] [--click] [--grain]");
  commandLine.app()
      .add_option("--fps", fps, "Frames per second, from 1 to 240 (default 60)")
      ->type_name("N")
      ->check(veltra::wholeNumber(1, 240));
  commandLine.app().add_flag("--click", click,
                             "Once a second, flash a picture and play a click with it");
  bool grain = false;
  commandLine.app().add_flag("--grain", grain,
                             "Fill the top-left 640x360 with new noise each time");
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
  std::unique_ptr<ClickSound> sound = click ? ClickSound::open() : nullptr;
  const xcb_rectangle_t flash = scene.flashArea();
  uint64_t flashSecond = 0;
  bool flashShown = false;

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
    if (grain) drawGrain(connection, window, screen->root_depth, frame);
    if (flashShown)
      scene.fillBackground(painter, frame, flash.x, flash.y, flash.width, flash.height);
    const uint64_t drawn = veltra::latency_stamp::monotonicMicros();
    // The first stamp in a new second flashes, so that the bench finds the flash picture by its
    // stamp alone; the first picture of all only starts the count.
    flashShown = click && flashSecond != 0 && drawn / 1'000'000 != flashSecond;
    if (click && drawn / 1'000'000 != flashSecond) flashSecond = drawn / 1'000'000;
    if (flashShown) painter.fill(rgb(255, 255, 255), {flash});
    scene.drawStamp(painter, drawn);
    xcb_flush(connection);
    if (flashShown && sound) sound->play();
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
