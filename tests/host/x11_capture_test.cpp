#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "capture_test_support.h"
#include "host/RemoteCapture.h"
#include "host/x11/VLVirtualDisplay.h"
#include "host/x11/X11Connection.h"
#include "host/x11/X11ScreenSource.h"
#include "protocol/PacketSender.h"
#include "support/AsioMainQueue.h"
#include "x11_test_support.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A second client drawing on the display, as an application would. Each call waits until the
// server has done it.
class Painter {
 public:
  explicit Painter(uint32_t displayID) : connection_(x11::Connection::open(displayID)) {}

  bool connected() const { return connection_ && !connection_->broken(); }
  xcb_window_t root() const { return connection_->root(); }

  void fill(uint32_t rgb, int x, int y, int width, int height, xcb_window_t window = XCB_NONE) {
    xcb_connection_t* c = connection_->get();
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window ? window : root(), XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t area{static_cast<int16_t>(x), static_cast<int16_t>(y),
                               static_cast<uint16_t>(width), static_cast<uint16_t>(height)};
    xcb_poly_fill_rectangle(c, window ? window : root(), gc, 1, &area);
    xcb_free_gc(c, gc);
    sync();
  }
  void warp(int x, int y) {
    xcb_warp_pointer(connection_->get(), XCB_NONE, root(), 0, 0, 0, 0, static_cast<int16_t>(x),
                     static_cast<int16_t>(y));
    sync();
  }
  // A mapped window with no background of its own (nothing repaints over our drawing).
  xcb_window_t window(int x, int y, int width, int height) {
    xcb_connection_t* c = connection_->get();
    const xcb_window_t id = xcb_generate_id(c);
    const uint32_t values[] = {1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, id, root(), static_cast<int16_t>(x),
                      static_cast<int16_t>(y), static_cast<uint16_t>(width),
                      static_cast<uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, id);
    sync();
    return id;
  }
  void sync() {
    x11::Reply<xcb_get_input_focus_reply_t> ignored(xcb_get_input_focus_reply(
        connection_->get(), xcb_get_input_focus(connection_->get()), nullptr));
  }

 private:
  std::unique_ptr<x11::Connection> connection_;
};

// Records the videoFrames of the session capture.
class CountingSender final : public PacketSender {
 public:
  void send(RemotePacket type, Bytes, std::function<void()> completion) override {
    if (type == RemotePacket::videoFrame) ++frames;
    if (completion) completion();
  }
  std::atomic<int> frames{0};
};

class X11CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  }

  // A display of the mode, a painter on it, and a capture of it into the recording encoder.
  void startCapture(RemoteConfiguration mode, bool copying = true) {
    display = VLVirtualDisplay::create({mode.width, mode.height, double(mode.fps)});
    painter.emplace(display->displayID());
    ASSERT_TRUE(painter->connected());
    record->copying = copying;
    capture = std::make_unique<RemoteCapture>(mode, std::make_unique<RecordingEncoder>(record),
                                              std::make_unique<X11ScreenSource>(), main);
    capture->onFailure = [this](std::string text) {
      std::lock_guard lock(record->mutex);
      failures.push_back(std::move(text));
      record->changed.notify_all();
    };
    ASSERT_EQ(startAndWait(display->displayID()), "");
    ASSERT_TRUE(record->waitFor([&] { return record->taken >= 1; }));
  }

  std::string startAndWait(uint32_t displayID) {
    std::optional<std::string> result;
    capture->start(displayID, [&](std::string error) { result = std::move(error); });
    EXPECT_TRUE(main.runUntil([&] { return result.has_value(); }, kCaptureBound));
    return result.value_or("(no completion)");
  }

  int taken() {
    std::lock_guard lock(record->mutex);
    return record->taken;
  }

  // Waits until the last picture satisfies `condition`.
  template <typename Condition>
  bool lastPictureShows(Condition condition) {
    return record->waitFor([&] { return record->taken > 0 && condition(record->last); });
  }

  void release() {
    capture.reset();  // before the display it captures
    painter.reset();
    display.reset();
  }
  void TearDown() override { release(); }

  AsioMainQueue main;
  std::unique_ptr<VLVirtualDisplay> display;
  std::optional<Painter> painter;
  std::shared_ptr<RecordingEncoder::Record> record = std::make_shared<RecordingEncoder::Record>();
  std::vector<std::string> failures;  // guarded by record->mutex
  std::unique_ptr<RemoteCapture> capture;
};

bool near(int value, int expected) {
  return std::abs(value - expected) <= 2;
}

TEST_F(X11CaptureTest, PicturesArriveAtTheSizeAndRateWhileAClientDraws) {
  for (RemoteConfiguration mode :
       {RemoteConfiguration{640, 480, 30}, RemoteConfiguration{1920, 1080, 60}}) {
    SCOPED_TRACE(std::to_string(mode.width) + "x" + std::to_string(mode.height));
    record = std::make_shared<RecordingEncoder::Record>();
    ASSERT_NO_FATAL_FAILURE(startCapture(mode, false));

    std::atomic<bool> drawing{true};
    std::thread client([&] {
      Painter drawer(display->displayID());
      for (uint32_t colour = 0; drawing; colour += 0x010203) {
        drawer.fill(colour & 0xffffff, 10, 10, 100, 100);
        std::this_thread::sleep_for(3ms);
      }
    });
    std::this_thread::sleep_for(200ms);  // drawing is under way
    const int before = taken();
    const Clock::time_point from = Clock::now();
    std::this_thread::sleep_for(1s);
    const int during = taken() - before;
    const double seconds = std::chrono::duration<double>(Clock::now() - from).count();
    drawing = false;
    client.join();

    EXPECT_LE(during, mode.fps * seconds + 2);
    EXPECT_GE(during, mode.fps * seconds / 2) << "the capture fell far behind its rate";
    {
      std::lock_guard lock(record->mutex);
      EXPECT_EQ(record->format, AV_PIX_FMT_NV12);
      EXPECT_EQ(record->width, mode.width);
      EXPECT_EQ(record->height, mode.height);
      EXPECT_TRUE(failures.empty());
    }
    release();
  }
}

TEST_F(X11CaptureTest, NothingIsTakenWhileTheScreenIsStill) {
  ASSERT_NO_FATAL_FAILURE(startCapture({640, 480, 60}));
  painter->fill(0x336699, 0, 0, 640, 480);
  ASSERT_TRUE(lastPictureShows([](const NV12Copy& p) { return near(p.y(600, 400), 96); }));
  std::this_thread::sleep_for(300ms);  // let what was pending settle
  const int settled = taken();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(taken(), settled);

  // A single change brings it back.
  painter->fill(0xffffff, 100, 100, 50, 50);
  EXPECT_TRUE(lastPictureShows([](const NV12Copy& p) { return near(p.y(125, 125), 235); }));
}

TEST_F(X11CaptureTest, ColoursAreVideoRangeBt601AndWindowsAreIncluded) {
  ASSERT_NO_FATAL_FAILURE(startCapture({640, 480, 60}));
  painter->warp(630, 470);  // the cursor out of the way
  painter->fill(0xffffff, 0, 0, 320, 240);
  painter->fill(0x000000, 320, 0, 320, 240);
  painter->fill(0xff0000, 0, 240, 320, 240);
  painter->fill(0x0000ff, 320, 240, 320, 240);
  const xcb_window_t window = painter->window(280, 200, 80, 80);
  painter->fill(0x00ff00, 0, 0, 80, 80, window);

  struct Expected {
    int x, y, luma, u, v;
  };
  const Expected samples[] = {{160, 120, 235, 128, 128},  // white
                              {480, 120, 16, 128, 128},   // black
                              {160, 360, 82, 90, 240},    // red
                              {480, 360, 41, 240, 110},   // blue
                              {320, 240, 145, 54, 34}};   // green, inside the window
  const bool shown = lastPictureShows([&](const NV12Copy& p) {
    for (const Expected& e : samples) {
      if (!near(p.y(e.x, e.y), e.luma) || !near(p.u(e.x, e.y), e.u) || !near(p.v(e.x, e.y), e.v)) {
        return false;
      }
    }
    return true;
  });
  std::lock_guard lock(record->mutex);
  EXPECT_TRUE(shown);
  for (const Expected& e : samples) {
    EXPECT_NEAR(record->last.y(e.x, e.y), e.luma, 2) << e.x << "," << e.y;
    EXPECT_NEAR(record->last.u(e.x, e.y), e.u, 2) << e.x << "," << e.y;
    EXPECT_NEAR(record->last.v(e.x, e.y), e.v, 2) << e.x << "," << e.y;
  }
}

// Whether the luma of a 40×40 box around (x, y) strays from `background` anywhere.
bool marked(const NV12Copy& picture, int x, int y, int background) {
  for (int row = std::max(0, y - 20); row < std::min(picture.height, y + 20); ++row) {
    for (int column = std::max(0, x - 20); column < std::min(picture.width, x + 20); ++column) {
      if (std::abs(picture.y(column, row) - background) > 30) return true;
    }
  }
  return false;
}

TEST_F(X11CaptureTest, ThePointerIsDrawnWhereItIsAndItsMotionAloneBringsAPicture) {
  ASSERT_NO_FATAL_FAILURE(startCapture({640, 480, 60}));
  const int grey = 126;  // 0x808080 in video range
  painter->warp(100, 100);
  painter->fill(0x808080, 0, 0, 640, 480);
  EXPECT_TRUE(lastPictureShows([&](const NV12Copy& p) {
    return near(p.y(600, 400), grey) && marked(p, 100, 100, grey) && !marked(p, 400, 300, grey);
  }));

  std::this_thread::sleep_for(100ms);
  const int before = taken();
  painter->warp(400, 300);
  EXPECT_TRUE(lastPictureShows(
      [&](const NV12Copy& p) { return marked(p, 400, 300, grey) && !marked(p, 100, 100, grey); }));
  EXPECT_GT(taken(), before);
}

TEST_F(X11CaptureTest, ADisplayThatDoesNotExistIsGivenUpAfterTenTries) {
  capture = std::make_unique<RemoteCapture>(
      RemoteConfiguration{640, 480, 60}, std::make_unique<RecordingEncoder>(record),
      std::make_unique<X11ScreenSource>(), main,
      RemoteCapture::Options{.lookupTries = 10, .lookupInterval = 10ms});
  const Clock::time_point started = Clock::now();
  EXPECT_EQ(startAndWait(65000), "Virtual display is not available to screen capture.");
  EXPECT_GE(Clock::now() - started, 100ms);
}

TEST_F(X11CaptureTest, OpeningADisplayOfAnotherSizeFails) {
  display = VLVirtualDisplay::create({640, 480, 60});
  X11ScreenSource source;
  EXPECT_FALSE(source.open(display->displayID(), 800, 600));
  EXPECT_FALSE(source.broken());
  EXPECT_TRUE(source.open(display->displayID(), 640, 480));
  EXPECT_TRUE(source.poll());  // nothing grabbed yet
}

TEST_F(X11CaptureTest, KillingTheServerIsReportedAsTheConnectionLost) {
  ASSERT_NO_FATAL_FAILURE(startCapture({640, 480, 60}));
  ASSERT_EQ(::kill(display->serverProcess(), SIGKILL), 0);
  EXPECT_TRUE(record->waitFor([&] { return !failures.empty(); }));
  std::this_thread::sleep_for(100ms);
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(failures, (std::vector<std::string>{"Virtual display connection lost."}));
}

TEST_F(X11CaptureTest, TheSessionCaptureStreamsH264OfTheDisplay) {
  display = VLVirtualDisplay::create({640, 480, 30});
  auto sender = std::make_shared<CountingSender>();
  capture = RemoteCapture::create({640, 480, 30}, sender, main);
  std::string failure;
  capture->onFailure = [&](std::string text) { main.post([&, text] { failure = text; }); };
  ASSERT_EQ(startAndWait(display->displayID()), "");
  Painter drawer(display->displayID());
  for (int frame = 0; frame < 10 && failure.empty(); ++frame) {
    drawer.fill(0x102030u * static_cast<uint32_t>(frame), 0, 0, 320, 240);
    const int before = sender->frames;
    if (!main.runUntil([&] { return sender->frames > before; }, kCaptureBound)) break;
    capture->encoder().acknowledgeFrame();
  }
  EXPECT_GE(sender->frames, 10);
  EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace veltra
