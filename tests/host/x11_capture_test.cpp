#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "capture_test_support.h"
#include "codec/PicturePool.h"
#include "host/RemoteCapture.h"
#include "host/x11/VLVirtualDisplay.h"
#include "host/x11/X11Connection.h"
#include "host/x11/X11ScreenSource.h"
#include "support/AsioMainQueue.h"
#include "x11_test_support.h"

namespace veltra {
namespace {

// A second client drawing on the display, as an application would. Each call returns once the
// server has done it.
class Painter {
 public:
  explicit Painter(uint32_t displayID) : connection_(x11::Connection::open(displayID)) {}
  bool connected() const { return connection_ && !connection_->broken(); }

  void fill(uint32_t rgb, int x, int y, int width, int height) {
    xcb_connection_t* c = connection_->get();
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, connection_->root(), XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t area{int16_t(x), int16_t(y), uint16_t(width), uint16_t(height)};
    xcb_poly_fill_rectangle(c, connection_->root(), gc, 1, &area);
    xcb_free_gc(c, gc);
    sync();
  }
  void warp(int x, int y) {
    xcb_warp_pointer(connection_->get(), XCB_NONE, connection_->root(), 0, 0, 0, 0, int16_t(x),
                     int16_t(y));
    sync();
  }

 private:
  void sync() {
    xcb_connection_t* c = connection_->get();
    x11::Reply<xcb_get_input_focus_reply_t>(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }
  std::unique_ptr<x11::Connection> connection_;
};

class X11CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  }
  void TearDown() override {
    capture.reset();  // before the display it captures
    source.close();
    painter.reset();
    display.reset();
  }

  void createDisplay(RemoteConfiguration mode) {
    display = VLVirtualDisplay::create({mode.width, mode.height, double(mode.fps)});
    painter.emplace(display->displayID());
    ASSERT_TRUE(painter->connected());
  }
  void startCapture(RemoteConfiguration mode) {
    ASSERT_NO_FATAL_FAILURE(createDisplay(mode));
    capture = std::make_unique<RemoteCapture>(mode, std::make_unique<RecordingEncoder>(record),
                                              std::make_unique<X11ScreenSource>(), main);
    capture->onFailure = [this](std::string text) {
      std::lock_guard lock(record->mutex);
      failures.push_back(std::move(text));
      record->changed.notify_all();
    };
    std::optional<std::string> result;
    capture->start(display->displayID(), [&](std::string error) { result = std::move(error); });
    ASSERT_TRUE(main.runUntil([&] { return result.has_value(); }, test::kPatience));
    ASSERT_EQ(*result, "");
  }
  // The next grab of `source` (opened by the test) once it reports a change.
  ScreenPicture grabChange() {
    EXPECT_TRUE(test::waitUntil([&] { return source.poll(); }));
    ScreenPicture picture = pool->acquire();
    EXPECT_TRUE(source.grab(picture));
    return picture;
  }

  AsioMainQueue main;
  std::unique_ptr<VLVirtualDisplay> display;
  std::optional<Painter> painter;
  X11ScreenSource source;
  std::shared_ptr<PicturePool> pool = PicturePool::create(640, 480, 1);
  std::shared_ptr<RecordingEncoder::Record> record = std::make_shared<RecordingEncoder::Record>();
  std::vector<std::string> failures;  // guarded by record->mutex
  std::unique_ptr<RemoteCapture> capture;
};

class X11CaptureRateTest : public X11CaptureTest,
                           public ::testing::WithParamInterface<RemoteConfiguration> {};

TEST_P(X11CaptureRateTest, PicturesArriveAtTheSizeAndRateWhileAClientDraws) {
  const RemoteConfiguration mode = GetParam();
  ASSERT_NO_FATAL_FAILURE(startCapture(mode));
  std::atomic<bool> drawing{true};
  std::thread client([&] {
    Painter drawer(display->displayID());
    for (uint32_t colour = 0; drawing; colour += 0x010203) drawer.fill(colour, 10, 10, 100, 100);
  });
  int before = 0;
  ASSERT_TRUE(record->waitFor([&] { return (before = record->taken) >= 5; }));
  const test::Clock::time_point from = test::Clock::now();
  const bool enough = record->waitFor([&] { return record->taken >= before + mode.fps / 2; });
  const double seconds = std::chrono::duration<double>(test::Clock::now() - from).count();
  drawing = false;
  client.join();
  ASSERT_TRUE(enough);
  EXPECT_LE(mode.fps / 2, mode.fps * seconds + 2) << "faster than the frame rate";
  EXPECT_LE(seconds, 1.0) << "the capture fell far behind its rate";
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(record->width, mode.width);
  EXPECT_EQ(record->height, mode.height);
  EXPECT_TRUE(failures.empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, X11CaptureRateTest,
                         ::testing::Values(RemoteConfiguration{640, 480, 30},
                                           RemoteConfiguration{1920, 1080, 60}));

bool covers(const std::vector<PictureRect>& damage, int x, int y) {
  return std::any_of(damage.begin(), damage.end(), [&](const PictureRect& r) {
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
  });
}
int64_t area(const std::vector<PictureRect>& damage) {
  int64_t sum = 0;
  for (const PictureRect& r : damage) sum += int64_t{r.width} * r.height;
  return sum;
}
// Whether the luma of a 40×40 box around (x, y) strays from `background` anywhere: the cursor.
bool marked(const NV12Copy& picture, int x, int y, int background) {
  for (int row = std::max(0, y - 20); row < std::min(picture.height, y + 20); ++row) {
    for (int column = std::max(0, x - 20); column < std::min(picture.width, x + 20); ++column) {
      if (std::abs(picture.y(column, row) - background) > 30) return true;
    }
  }
  return false;
}

// The first grab is the whole screen; later ones report the drawing and the pointer's moves,
// far less than the screen, and a still screen reports nothing to grab.
TEST_F(X11CaptureTest, GrabsReportTheScreenFirstThenOnlyWhatChanged) {
  ASSERT_NO_FATAL_FAILURE(createDisplay({640, 480, 60}));
  const int grey = 126;  // 0x808080 in video range
  painter->warp(100, 100);
  painter->fill(0x808080, 0, 0, 640, 480);
  ASSERT_TRUE(source.open(display->displayID(), 640, 480));
  ScreenPicture picture = grabChange();
  EXPECT_EQ(picture.damage(), (std::vector<PictureRect>{{0, 0, 640, 480}}));
  EXPECT_TRUE(marked(NV12Copy(picture), 100, 100, grey));
  EXPECT_FALSE(source.poll());

  picture = {};
  painter->fill(0xffffff, 300, 200, 40, 30);
  picture = grabChange();
  for (int y = 200; y < 230; ++y) {
    for (int x = 300; x < 340; ++x) ASSERT_TRUE(covers(picture.damage(), x, y)) << x << "," << y;
  }
  EXPECT_LT(area(picture.damage()), 640 * 480 / 20);
  EXPECT_NEAR(NV12Copy(picture).y(320, 215), 235, 2);

  picture = {};
  painter->warp(500, 400);
  picture = grabChange();
  EXPECT_TRUE(covers(picture.damage(), 100, 100) && covers(picture.damage(), 500, 400));
  EXPECT_LT(area(picture.damage()), 640 * 480 / 20);
  const NV12Copy moved(picture);
  EXPECT_TRUE(marked(moved, 500, 400, grey) && !marked(moved, 100, 100, grey));
}

TEST_F(X11CaptureTest, ColoursAreVideoRangeBt601) {
  ASSERT_NO_FATAL_FAILURE(createDisplay({640, 480, 60}));
  painter->warp(630, 470);  // the cursor out of the way
  const struct {
    uint32_t rgb;
    int x, y, luma, u, v;
  } quarters[] = {{0xffffff, 0, 0, 235, 128, 128},
                  {0x000000, 320, 0, 16, 128, 128},
                  {0xff0000, 0, 240, 82, 90, 240},
                  {0x0000ff, 320, 240, 41, 240, 110}};
  for (const auto& q : quarters) painter->fill(q.rgb, q.x, q.y, 320, 240);
  ASSERT_TRUE(source.open(display->displayID(), 640, 480));
  const NV12Copy picture(grabChange());
  for (const auto& q : quarters) {
    EXPECT_NEAR(picture.y(q.x + 160, q.y + 120), q.luma, 2) << std::hex << q.rgb;
    EXPECT_NEAR(picture.u(q.x + 160, q.y + 120), q.u, 2) << std::hex << q.rgb;
    EXPECT_NEAR(picture.v(q.x + 160, q.y + 120), q.v, 2) << std::hex << q.rgb;
  }
}

TEST_F(X11CaptureTest, OnlyADisplayOfTheRequestedSizeOpens) {
  ASSERT_NO_FATAL_FAILURE(createDisplay({640, 480, 60}));
  EXPECT_FALSE(source.open(65000, 640, 480));
  EXPECT_FALSE(source.open(display->displayID(), 800, 600));
  EXPECT_FALSE(source.broken());
  EXPECT_TRUE(source.open(display->displayID(), 640, 480));
  EXPECT_TRUE(source.poll());  // nothing grabbed yet
}

TEST_F(X11CaptureTest, KillingTheServerIsReportedAsTheConnectionLost) {
  ASSERT_NO_FATAL_FAILURE(startCapture({640, 480, 60}));
  ASSERT_EQ(::kill(display->serverProcess(), SIGKILL), 0);
  EXPECT_TRUE(record->waitFor([&] { return !failures.empty(); }));
  capture.reset();
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(failures, (std::vector<std::string>{"Virtual display connection lost."}));
}

}  // namespace
}  // namespace veltra
