#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <tuple>

#include "codec/PicturePool.h"
#include "harness/harness.h"
#include "host/x11/VLVirtualDisplay.h"
#include "host/x11/X11Connection.h"
#include "host/x11/X11ScreenSource.h"
#include "x11_test_support.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;

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
// One NV12 sample: luma, or plane 1's interleaved U (offset 0) or V (offset 1).
int luma(const ScreenPicture& picture, int x, int y) {
  return picture.plane(0).data[y * picture.plane(0).stride + x];
}
int chroma(const ScreenPicture& picture, int x, int y, int offset) {
  return picture.plane(1).data[y / 2 * picture.plane(1).stride + x / 2 * 2 + offset];
}
// Whether the luma of a 40×40 box around (x, y) strays from `background` anywhere: the cursor.
bool marked(const ScreenPicture& picture, int x, int y, int background) {
  for (int row = std::max(0, y - 20); row < std::min(picture.height(), y + 20); ++row) {
    for (int column = std::max(0, x - 20); column < std::min(picture.width(), x + 20); ++column) {
      if (std::abs(luma(picture, column, row) - background) > 30) return true;
    }
  }
  return false;
}

// A 640×480 display, and a second client that draws on it as an application would: each request
// returns once the server has done it.
class X11CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    display = VLVirtualDisplay::create({640, 480, 60.0});
    painter = x11::Connection::open(display->displayID());
    ASSERT_TRUE(painter && !painter->broken());
    c = painter->get();
    root = painter->root();
  }
  void sync() {
    x11::Reply<xcb_get_input_focus_reply_t>(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }
  void fill(uint32_t pixel, int x, int y, int width, int height, xcb_drawable_t on = XCB_NONE) {
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, on ? on : root, XCB_GC_FOREGROUND, &pixel);
    const xcb_rectangle_t area{int16_t(x), int16_t(y), uint16_t(width), uint16_t(height)};
    xcb_poly_fill_rectangle(c, on ? on : root, gc, 1, &area);
    xcb_free_gc(c, gc);
    sync();
  }
  void warp(int x, int y) {
    xcb_warp_pointer(c, XCB_NONE, root, 0, 0, 0, 0, int16_t(x), int16_t(y));
    sync();
  }

  std::unique_ptr<VLVirtualDisplay> display;
  std::unique_ptr<x11::Connection> painter;
  xcb_connection_t* c = nullptr;
  xcb_window_t root = XCB_NONE;
};

// The first grab is the whole screen in video-range BT.601; later ones report only what changed.
TEST_F(X11CaptureTest, GrabsReportTheScreenFirstThenOnlyWhatChanged) {
  X11ScreenSource source;
  const auto pool = PicturePool::create(640, 480, 1);
  const auto grabChange = [&] {
    EXPECT_TRUE(test::waitUntil([&] { return source.poll(); }));
    ScreenPicture picture = pool->acquire();
    EXPECT_TRUE(source.grab(picture));
    return picture;
  };
  const struct {
    uint32_t rgb;
    int x, y, luma, u, v;
  } quarters[] = {{0xffffff, 0, 0, 235, 128, 128},
                  {0x000000, 320, 0, 16, 128, 128},
                  {0xff0000, 0, 240, 82, 90, 240},
                  {0x0000ff, 320, 240, 41, 240, 110}};
  for (const auto& q : quarters) fill(q.rgb, q.x, q.y, 320, 240);
  warp(100, 100);
  EXPECT_FALSE(source.open(65000, 640, 480));
  EXPECT_FALSE(source.open(display->displayID(), 800, 600));
  EXPECT_FALSE(source.broken());
  ASSERT_TRUE(source.open(display->displayID(), 640, 480));
  ScreenPicture picture = grabChange();
  EXPECT_EQ(picture.damage(), (std::vector<PictureRect>{{0, 0, 640, 480}}));
  for (const auto& q : quarters) {
    EXPECT_NEAR(luma(picture, q.x + 200, q.y + 120), q.luma, 2) << std::hex << q.rgb;
    EXPECT_NEAR(chroma(picture, q.x + 200, q.y + 120, 0), q.u, 2) << std::hex << q.rgb;
    EXPECT_NEAR(chroma(picture, q.x + 200, q.y + 120, 1), q.v, 2) << std::hex << q.rgb;
  }
  EXPECT_TRUE(marked(picture, 100, 100, 235));
  EXPECT_FALSE(source.poll());

  picture = {};
  fill(0xffffff, 400, 100, 40, 30);
  picture = grabChange();
  for (int y = 100; y < 130; ++y) {
    for (int x = 400; x < 440; ++x) ASSERT_TRUE(covers(picture.damage(), x, y)) << x << "," << y;
  }
  EXPECT_LT(area(picture.damage()), 640 * 480 / 20);
  EXPECT_NEAR(luma(picture, 420, 115), 235, 2);

  picture = {};
  warp(500, 400);
  picture = grabChange();
  EXPECT_TRUE(covers(picture.damage(), 100, 100) && covers(picture.damage(), 500, 400));
  EXPECT_LT(area(picture.damage()), 640 * 480 / 20);
  EXPECT_TRUE(marked(picture, 500, 400, 41) && !marked(picture, 100, 100, 235));
  source.close();
}

// Left to the client, the pointer is in no picture and its moves are no change; its image is
// handed out after the open and whenever another cursor shows, but not one too large to send.
TEST_F(X11CaptureTest, APointerLeftOutIsNoChangeAndEachNewCursorIsHandedOut) {
  fill(0xffffff, 0, 0, 640, 480);
  // A black cursor, width × height, over the root window (the only one).
  const auto showCursor = [&](uint16_t width, uint16_t height, uint16_t hotX, uint16_t hotY) {
    const xcb_pixmap_t shape = xcb_generate_id(c);
    xcb_create_pixmap(c, 1, shape, root, width, height);
    fill(1, 0, 0, width, height, shape);
    const xcb_cursor_t cursor = xcb_generate_id(c);
    xcb_create_cursor(c, cursor, shape, shape, 0, 0, 0, 0, 0, 0, hotX, hotY);
    xcb_change_window_attributes(c, root, XCB_CW_CURSOR, &cursor);
    xcb_free_cursor(c, cursor);
    xcb_free_pixmap(c, shape);
    sync();
  };
  showCursor(20, 12, 3, 5);
  warp(100, 100);

  X11ScreenSource source;
  source.setPointerDrawn(false);
  ASSERT_TRUE(source.open(display->displayID(), 640, 480));
  std::optional<CursorImage> image = source.takeCursor();
  ASSERT_TRUE(image);
  EXPECT_EQ(std::tuple(image->width, image->height, image->hotX, image->hotY),
            std::tuple(20, 12, 3, 5));
  EXPECT_EQ(image->pixels, std::vector<uint32_t>(20 * 12, 0xff000000));
  EXPECT_FALSE(source.takeCursor());
  const auto pool = PicturePool::create(640, 480, 1);
  ASSERT_TRUE(source.poll());
  ScreenPicture picture = pool->acquire();
  ASSERT_TRUE(source.grab(picture));
  EXPECT_FALSE(marked(picture, 100, 100, 235));

  xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, 300, 200, 0);
  sync();
  EXPECT_FALSE(test::waitUntil([&] { return source.poll(); }, 200ms));
  EXPECT_FALSE(source.takeCursor());

  // The large one is the one shown, and is skipped; the next comes. (XFIXES answers only a client
  // that stated its version.)
  x11::Reply<xcb_xfixes_query_version_reply_t>(
      xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
  showCursor(CursorImage::kMaximumSide + 1, 8, 0, 0);
  x11::Reply<xcb_xfixes_get_cursor_image_reply_t> shown(
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  ASSERT_TRUE(shown && shown->width == CursorImage::kMaximumSide + 1);
  EXPECT_FALSE(test::waitUntil(
      [&] {
        source.poll();
        return source.takeCursor().has_value();
      },
      200ms));
  showCursor(9, 7, 8, 6);
  ASSERT_TRUE(test::waitUntil([&] {
    source.poll();
    image = source.takeCursor();
    return image.has_value();
  }));
  EXPECT_EQ(std::tuple(image->width, image->height, image->hotX, image->hotY),
            std::tuple(9, 7, 8, 6));
  source.close();
}

}  // namespace
}  // namespace veltra
