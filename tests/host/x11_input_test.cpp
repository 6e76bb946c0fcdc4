#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

#include "host/RemoteInputInjector.h"
#include "host/x11/VLVirtualDisplay.h"
#include "host/x11/X11Connection.h"
#include "host/x11/X11InputSink.h"
#include "host_test_support.h"
#include "x11_test_support.h"

namespace veltra {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace test;
using Kind = RemoteInput::Kind;

constexpr uint16_t kButton1 = XCB_BUTTON_MASK_1, kButton2 = XCB_BUTTON_MASK_2,
                   kButton3 = XCB_BUTTON_MASK_3;

struct PointerState {
  int x = -1;
  int y = -1;
  uint16_t mask = 0;
  bool operator==(const PointerState&) const = default;
};

// A display's input state through a connection of its own, as another client sees it, and an
// application there: a window of its own with the keyboard focus, counting the key presses and
// releases it gets. Like a desktop session's settings daemon at login, it turns the server's
// auto-repeat on. The server may answer before it has read the injector's requests: state is
// awaited, not sampled.
class Observer {
 public:
  explicit Observer(uint32_t displayID) : connection_(x11::Connection::open(displayID)) {
    if (!connection_) return;
    const xcb_window_t window = xcb_generate_id(c());
    const uint32_t events = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE,
                   repeat = XCB_AUTO_REPEAT_MODE_ON;
    xcb_create_window(c(), XCB_COPY_FROM_PARENT, window, connection_->root(), 0, 0, 100, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                      &events);
    xcb_map_window(c(), window);
    xcb_set_input_focus(c(), XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    xcb_change_keyboard_control(c(), XCB_KB_AUTO_REPEAT_MODE, &repeat);
    std::free(xcb_get_input_focus_reply(c(), xcb_get_input_focus(c()), nullptr));
  }
  bool connected() const { return connection_ != nullptr; }

  PointerState pointer() const {
    x11::Reply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(c(), xcb_query_pointer(c(), connection_->root()), nullptr));
    if (!reply) return {};
    return {reply->root_x, reply->root_y,
            static_cast<uint16_t>(reply->mask & (kButton1 | kButton2 | kButton3))};
  }
  bool becomes(const PointerState& state) const {
    return test::waitUntil([&] { return pointer() == state; });
  }

  // Reads what has arrived; whether exactly `presses` presses and `releases` releases have.
  bool counted(int presses, int releases) {
    while (x11::Reply<xcb_generic_event_t> event{xcb_poll_for_event(c())}) {
      presses_ += (event->response_type & 0x7f) == XCB_KEY_PRESS;
      releases_ += (event->response_type & 0x7f) == XCB_KEY_RELEASE;
    }
    return presses_ == presses && releases_ == releases;
  }

 private:
  xcb_connection_t* c() const { return connection_->get(); }
  std::unique_ptr<x11::Connection> connection_;
  int presses_ = 0, releases_ = 0;
};

class X11InputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    display = VLVirtualDisplay::create(VirtualDisplayRequest(640, 480, 60));
    observer = std::make_unique<Observer>(display->displayID());
    ASSERT_TRUE(observer->connected());
    injector.setDisplayID(display->displayID());
  }

  std::unique_ptr<VLVirtualDisplay> display;
  std::unique_ptr<Observer> observer;
  RemoteInputInjector injector{std::make_unique<x11::X11InputSink>()};
};

TEST_F(X11InputTest, FollowsItsDisplayDropsInputForOneThatHasGoneAndReachesTheNext) {
  auto second = VLVirtualDisplay::create(VirtualDisplayRequest(320, 200, 60));
  Observer secondObserver(second->displayID());
  injector.setDisplayID(second->displayID());
  injector.apply(pointer(Kind::move, 1, 1));
  injector.setDisplayID(display->displayID());
  injector.apply(keyInput(Kind::keyDown, 0));
  injector.apply(pointer(Kind::mouseDown, 0.25, 0.25, 0));
  EXPECT_TRUE(secondObserver.becomes({319, 199, 0}));
  ASSERT_TRUE(observer->becomes({160, 120, kButton1}));
  observer.reset();
  display.reset();

  // Nothing has been written since the server went; the next input must notice and drop.
  injector.apply(keyInput(Kind::keyDown, 1));
  injector.apply(pointer(Kind::mouseDown, 1, 1, 1));
  injector.apply(scroll(500, 500));
  EXPECT_THAT(injector.keys(), ElementsAre(0));
  EXPECT_THAT(injector.buttons(), ElementsAre(0));
  EXPECT_EQ(injector.position(), (PixelPoint{160, 120}));
  injector.releaseAll();
  EXPECT_THAT(injector.keys(), IsEmpty());
  EXPECT_THAT(injector.buttons(), IsEmpty());

  // The next session's display (which may reuse the number) is reached afresh.
  display = VLVirtualDisplay::create(VirtualDisplayRequest(320, 200, 60));
  observer = std::make_unique<Observer>(display->displayID());
  injector.setDisplayID(display->displayID());
  injector.apply(keyInput(Kind::keyDown, 0));
  injector.apply(pointer(Kind::mouseDown, 1, 1, 2));
  EXPECT_TRUE(observer->becomes({319, 199, kButton2}));

  // This time releaseAll is the first to write to the closed connection: nothing may break, and
  // the sets empty all the same.
  observer.reset();
  display.reset();
  injector.releaseAll();
  EXPECT_THAT(injector.keys(), IsEmpty());
  EXPECT_THAT(injector.buttons(), IsEmpty());
}

TEST_F(X11InputTest, ReleasesPostedJustBeforeTheInjectorGoesStillLand) {
  for (int round = 0; round < 5; ++round) {
    auto shortLived = std::make_unique<RemoteInputInjector>(std::make_unique<x11::X11InputSink>());
    shortLived->setDisplayID(display->displayID());
    shortLived->apply(keyInput(Kind::keyDown, 0));
    shortLived->apply(pointer(Kind::mouseDown, 0, 0, 0));
    ASSERT_TRUE(test::waitUntil([&] { return observer->counted(round + 1, round); }));
    shortLived->releaseAll();
    shortLived.reset();
    EXPECT_TRUE(test::waitUntil(
        [&] { return observer->counted(round + 1, round + 1) && observer->pointer().mask == 0; }));
  }
}

// The server's own repeat would start after about 660 ms: held for 1.5 s, the key has still been
// pressed once. Each repeat of the client's keyboard is one more press; the key-up ends the key.
TEST_F(X11InputTest, AHeldKeyRepeatsOnlyAsTheClientsKeyboardDoes) {
  injector.apply(keyInput(Kind::keyDown, 0));
  ASSERT_TRUE(test::waitUntil([&] { return observer->counted(1, 0); }));
  EXPECT_FALSE(test::waitUntil([&] { return !observer->counted(1, 0); }, 1500ms));
  for (int repeat = 0; repeat < 3; ++repeat) injector.apply(keyInput(Kind::keyDown, 0));
  EXPECT_TRUE(test::waitUntil([&] { return observer->counted(4, 3); }));
  injector.apply(keyInput(Kind::keyUp, 0));
  EXPECT_TRUE(test::waitUntil([&] { return observer->counted(4, 4); }));
}

}  // namespace
}  // namespace veltra
