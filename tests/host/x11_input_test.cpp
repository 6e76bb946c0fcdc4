#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <memory>
#include <vector>

#include "host/RemoteInputInjector.h"
#include "host/x11/KeyMap.h"
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

// A display's input state through a connection of its own, as another client sees it. The
// server may answer it before it has read the injector's requests: state is awaited, not sampled.
class Observer {
 public:
  explicit Observer(uint32_t displayID) : connection_(x11::Connection::open(displayID)) {}
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

  bool keyIsDown(uint8_t keycode) const {
    x11::Reply<xcb_query_keymap_reply_t> reply(
        xcb_query_keymap_reply(c(), xcb_query_keymap(c()), nullptr));
    return reply && (reply->keys[keycode / 8] & (1 << (keycode % 8))) != 0;
  }

  // The first keysym of a keycode in the server's keyboard mapping.
  xcb_keysym_t keysym(uint8_t keycode) const {
    x11::Reply<xcb_get_keyboard_mapping_reply_t> reply(
        xcb_get_keyboard_mapping_reply(c(), xcb_get_keyboard_mapping(c(), keycode, 1), nullptr));
    if (!reply || xcb_get_keyboard_mapping_keysyms_length(reply.get()) < 1) return 0;
    return xcb_get_keyboard_mapping_keysyms(reply.get())[0];
  }

  // Selects button presses on the root window; with no other window, every click lands there.
  bool watchButtons() const {
    const uint32_t mask = XCB_EVENT_MASK_BUTTON_PRESS;
    return !x11::Reply<xcb_generic_error_t>(xcb_request_check(
        c(),
        xcb_change_window_attributes_checked(c(), connection_->root(), XCB_CW_EVENT_MASK, &mask)));
  }
  // Buttons pressed since, in order, up to and including `last`.
  std::vector<int> buttonPressesThrough(int last) const {
    std::vector<int> pressed;
    test::waitUntil([&] {
      while (x11::Reply<xcb_generic_event_t> event{xcb_poll_for_event(c())}) {
        if ((event->response_type & 0x7f) != XCB_BUTTON_PRESS) continue;
        pressed.push_back(reinterpret_cast<xcb_button_press_event_t*>(event.get())->detail);
        if (pressed.back() == last) return true;
      }
      return false;
    });
    return pressed;
  }

 private:
  xcb_connection_t* c() const { return connection_->get(); }
  std::unique_ptr<x11::Connection> connection_;
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

TEST_F(X11InputTest, KeysButtonsAndDragsReachTheServerAndReleaseAllClearsThem) {
  auto keyDown = [&](uint8_t code) {
    return test::waitUntil([&] { return observer->keyIsDown(code); });
  };
  injector.apply(keyInput(Kind::keyDown, 0));
  EXPECT_TRUE(keyDown(38));
  injector.apply(keyInput(Kind::keyUp, 0));
  EXPECT_TRUE(test::waitUntil([&] { return !observer->keyIsDown(38); }));

  // A shift-drag with two buttons, then a shift-command-click with the third.
  injector.apply(pointer(Kind::mouseDown, 0.5, 0.25, 0, kShiftFlag));
  EXPECT_TRUE(observer->becomes({320, 120, kButton1}));
  EXPECT_TRUE(keyDown(50)) << "Shift_L";
  injector.apply(pointer(Kind::mouseDown, 0.5, 0.25, 2, kShiftFlag));
  injector.apply(pointer(Kind::move, 1, 1));
  EXPECT_TRUE(observer->becomes({639, 479, kButton1 | kButton2}));
  injector.apply(pointer(Kind::mouseUp, 1, 1, 0, kShiftFlag));
  injector.apply(pointer(Kind::mouseDown, 0, 1, 1, kShiftFlag | kCommandFlag));
  EXPECT_TRUE(observer->becomes({0, 479, kButton2 | kButton3}));
  EXPECT_TRUE(keyDown(133)) << "Super_L";

  injector.releaseAll();
  EXPECT_TRUE(test::waitUntil([&] {
    return observer->pointer().mask == 0 && !observer->keyIsDown(50) && !observer->keyIsDown(133);
  }));
}

TEST_F(X11InputTest, ScrollArrivesAsWheelClicks) {
  ASSERT_TRUE(observer->watchButtons());
  injector.apply(pointer(Kind::move, 0.5, 0.5));
  injector.apply(scroll(160, 0));                         // three steps up
  injector.apply(scroll(-60, 0));                         // one down
  injector.apply(scroll(0, 60));                          // one left
  injector.apply(scroll(0, -60, 1));                      // a new gesture: one right
  injector.apply(scroll(20, 20));                         // below a step: nothing
  injector.apply(pointer(Kind::mouseDown, 0.5, 0.5, 0));  // marks the end
  injector.apply(pointer(Kind::mouseUp, 0.5, 0.5, 0));
  EXPECT_THAT(observer->buttonPressesThrough(1), ElementsAre(4, 4, 4, 5, 6, 7, 1));
}

TEST_F(X11InputTest, KeyTableAgreesWithTheServersKeyboard) {
  // a, Return, Super_L, Shift_L, Left.
  for (const auto& [macKey, keysym] : {std::pair<uint16_t, xcb_keysym_t>{0, 0x61},
                                       {36, 0xff0d},
                                       {55, 0xffeb},
                                       {56, 0xffe1},
                                       {123, 0xff51}}) {
    EXPECT_EQ(observer->keysym(x11::xKeycodeForMacKey(macKey).value_or(0)), keysym) << macKey;
  }
}

TEST_F(X11InputTest, InputForADisplayThatHasGoneIsDroppedAndANewDisplayIsReached) {
  injector.apply(keyInput(Kind::keyDown, 0));
  injector.apply(pointer(Kind::mouseDown, 0.25, 0.25, 0));
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

TEST_F(X11InputTest, FollowsTheDisplayItIsPointedAt) {
  auto second = VLVirtualDisplay::create(VirtualDisplayRequest(320, 200, 60));
  Observer secondObserver(second->displayID());
  injector.apply(pointer(Kind::move, 0.25, 0.25));
  ASSERT_TRUE(observer->becomes({160, 120, 0}));
  injector.setDisplayID(second->displayID());
  injector.apply(pointer(Kind::move, 1, 1));
  injector.setDisplayID(display->displayID());
  injector.apply(pointer(Kind::move, 0, 0));
  EXPECT_TRUE(secondObserver.becomes({319, 199, 0}));
  EXPECT_TRUE(observer->becomes({0, 0, 0}));
}

TEST_F(X11InputTest, ReleasesPostedJustBeforeTheInjectorGoesStillLand) {
  for (int round = 0; round < 5; ++round) {
    auto shortLived = std::make_unique<RemoteInputInjector>(std::make_unique<x11::X11InputSink>());
    shortLived->setDisplayID(display->displayID());
    shortLived->apply(keyInput(Kind::keyDown, 0));
    shortLived->apply(pointer(Kind::mouseDown, 0, 0, 0));
    ASSERT_TRUE(test::waitUntil([&] { return observer->keyIsDown(38); }));
    shortLived->releaseAll();
    shortLived.reset();
    EXPECT_TRUE(
        test::waitUntil([&] { return !observer->keyIsDown(38) && observer->pointer().mask == 0; }));
  }
}

}  // namespace
}  // namespace veltra
