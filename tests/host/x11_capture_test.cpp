#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <memory>

#include "codec/PicturePool.h"
#include "host/x11/VLVirtualDisplay.h"
#include "host/x11/X11Connection.h"
#include "host/x11/X11ScreenSource.h"
#include "x11_test_support.h"

namespace veltra {
namespace {

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

// The first grab is the whole screen in video-range BT.601; later ones report only what changed.
TEST(X11CaptureTest, GrabsReportTheScreenFirstThenOnlyWhatChanged) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  const auto display = VLVirtualDisplay::create({640, 480, 60.0});
  // A second client draws, as an application would; each drawing returns once the server did it.
  const auto painter = x11::Connection::open(display->displayID());
  ASSERT_TRUE(painter && !painter->broken());
  xcb_connection_t* c = painter->get();
  const auto sync = [c] {
    x11::Reply<xcb_get_input_focus_reply_t>(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  };
  const auto fill = [&](uint32_t rgb, int x, int y, int width, int height) {
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, painter->root(), XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t area{int16_t(x), int16_t(y), uint16_t(width), uint16_t(height)};
    xcb_poly_fill_rectangle(c, painter->root(), gc, 1, &area);
    xcb_free_gc(c, gc);
    sync();
  };
  const auto warp = [&](int x, int y) {
    xcb_warp_pointer(c, XCB_NONE, painter->root(), 0, 0, 0, 0, int16_t(x), int16_t(y));
    sync();
  };
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

}  // namespace
}  // namespace veltra
