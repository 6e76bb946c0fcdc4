#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/RemoteInputInjector.h"
#include "host/x11/KeyMap.h"
#include "host_test_support.h"

namespace veltra {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace test;
using Kind = RemoteInput::Kind;

// The line of a mac key's X key going down or up, as the recording sink writes it.
std::string x(uint16_t macKey, bool press) {
  return "key " + std::to_string(*x11::xKeycodeForMacKey(macKey)) + (press ? " down" : " up");
}
constexpr uint16_t kA = 0;  // X keycode 38

class InjectorTest : public ::testing::Test {
 protected:
  InjectorTest() {
    record->bounds = {0, 0, 640, 480};
    injector->setDisplayID(7);
  }
  std::vector<std::string> take() { return std::exchange(record->inputEvents, {}); }

  std::shared_ptr<PlatformRecord> record = std::make_shared<PlatformRecord>();
  std::unique_ptr<RemoteInputInjector> injector =
      std::make_unique<RemoteInputInjector>(std::make_unique<RecordingInputSink>(record));
};

TEST_F(InjectorTest, EachGateDropsEveryKindWithoutPostingOrChangingAnything) {
  // Something held and a scroll remainder of 40 px, so that a change would show.
  injector->apply(keyInput(Kind::keyDown, kA));
  injector->apply(pointer(Kind::mouseDown, 0.5, 0.5, 1));
  injector->apply(scroll(40));
  take();
  record->xtestAsked = record->boundsAsked = 0;
  auto everyKind = [&](RemoteInput input) {
    for (Kind kind : {Kind::keyDown, Kind::keyUp, Kind::flags, Kind::move, Kind::mouseDown,
                      Kind::mouseUp, Kind::scroll}) {
      input.kind = kind;
      input.key = 1;
      input.scrollY = 40;
      injector->apply(input);
    }
  };

  everyKind(pointer(Kind::move, 1.5, 0));
  EXPECT_EQ(record->xtestAsked, 0) << "an invalid input is refused before the display is asked";
  record->xtest = false;
  everyKind(pointer(Kind::move, 0, 0));
  EXPECT_EQ(record->xtestAsked, 7);
  record->xtest = true;
  injector->setDisplayID(0);
  everyKind(pointer(Kind::move, 0, 0));
  EXPECT_EQ(record->boundsAsked, 0) << "without XTEST or a display the bounds are not asked";
  injector->setDisplayID(7);
  for (DisplayBounds empty : {DisplayBounds{0, 0, 0, 480}, DisplayBounds{0, 0, 640, 0}}) {
    record->bounds = empty;
    everyKind(pointer(Kind::move, 0, 0));
  }

  EXPECT_THAT(take(), IsEmpty());
  EXPECT_THAT(injector->keys(), ElementsAre(kA));
  EXPECT_THAT(injector->buttons(), ElementsAre(1));
  EXPECT_EQ(injector->position(), (PixelPoint{320, 240}));
  // 40 + 10 px stays below the 53.3 px step; a dropped 40 px counted on top would cross it.
  record->bounds = {0, 0, 640, 480};
  injector->apply(scroll(10));
  EXPECT_THAT(take(), IsEmpty());
}

TEST_F(InjectorTest, PointerMapsOntoTheDisplaysPixelsAndButtonsPressWhereTheyAre) {
  record->bounds = {100, 0, 1920, 1080};
  injector->apply(pointer(Kind::move, 1, 1));
  // 0.5 × 1919 = 959.5 rounds up; 0.25 × 1079 = 269.75 rounds to 270.
  injector->apply(pointer(Kind::mouseDown, 0.5, 0.25, 0));
  injector->apply(pointer(Kind::mouseDown, 0.5, 0.25, 2));
  record->bounds = {50, 60, 1, 1};
  injector->apply(pointer(Kind::mouseDown, 0.9, 1, 1));
  EXPECT_THAT(injector->buttons(), ElementsAre(0, 1, 2));
  injector->apply(pointer(Kind::mouseUp, 0, 0, 0));
  injector->apply(pointer(Kind::mouseUp, 0, 0, 2));
  injector->apply(pointer(Kind::mouseUp, 0, 0, 2));  // not held, still released: X may hold it
  EXPECT_THAT(injector->buttons(), ElementsAre(1));
  EXPECT_THAT(take(), ElementsAre("motion 2019,1079", "flush",                  //
                                  "motion 1060,270", "button 1 down", "flush",  //
                                  "motion 1060,270", "button 2 down", "flush",  //
                                  "motion 50,60", "button 3 down", "flush",     //
                                  "motion 50,60", "button 1 up", "flush",       //
                                  "motion 50,60", "button 2 up", "flush",       //
                                  "motion 50,60", "button 2 up", "flush"));
}

// Through the injector's own lookup, which a wrong or lost row of its map would fail.
TEST_F(InjectorTest, EveryWireKeyPostsItsXKeyAndKeysWithoutOneAreDroppedWhole) {
  for (const WireKey& key : kWireKeys) {
    injector->apply(keyInput(Kind::keyDown, key.wireKey));
    injector->apply(keyInput(Kind::keyUp, key.wireKey));
    injector->apply(keyInput(Kind::keyUp, key.wireKey));  // not held: still posted
    const std::string down = "key " + std::to_string(key.xKeycode) + " down";
    const std::string up = "key " + std::to_string(key.xKeycode) + " up";
    ASSERT_THAT(take(), ElementsAre(down, "flush", up, "flush", up, "flush")) << key.wireKey;
  }
  EXPECT_THAT(injector->keys(), IsEmpty());
  // Caps lock is a lock: each change of it through flags is one tap, and it is never held.
  injector->apply(keyInput(Kind::flags, 57, 0x10000));
  EXPECT_THAT(take(), ElementsAre(x(57, true), x(57, false), "flush"));
  // fn (63) and the unassigned 52 and 127 have no X key: dropped with their modifiers' alignment.
  for (uint16_t none : {63, 52, 127}) {
    injector->apply(keyInput(Kind::flags, none, kShiftFlag));
    injector->apply(keyInput(Kind::keyDown, none, kShiftFlag));
  }
  EXPECT_THAT(take(), IsEmpty());
  EXPECT_THAT(injector->keys(), IsEmpty());
  EXPECT_EQ(x11::xKeycodeForMacKey(500), std::nullopt);
}

// One modifier group of the flags word: its flag, its left and right mac keys, and the
// device-side bit that says the right-hand key is down.
struct ModifierGroup {
  const char* name;
  uint64_t flag;
  uint16_t left, right;
  uint64_t rightBit;
};
class ModifierTest : public InjectorTest, public ::testing::WithParamInterface<ModifierGroup> {};

TEST_P(ModifierTest, HeldKeysOfTheGroupFollowTheFlagsOfEachKeyAndButton) {
  const auto [name, flag, left, right, rightBit] = GetParam();
  // A flags change of a key toggles it.
  injector->apply(keyInput(Kind::flags, right, flag | rightBit));
  EXPECT_THAT(injector->keys(), ElementsAre(right));
  injector->apply(keyInput(Kind::flags, right, 0));
  EXPECT_THAT(take(), ElementsAre(x(right, true), "flush", x(right, false), "flush"));

  // The flag with no key of the group held presses the left key; a held key of the group
  // satisfies the flag whichever side the bit names.
  injector->apply(keyInput(Kind::keyDown, kA, flag));
  injector->apply(keyInput(Kind::keyUp, kA, flag | rightBit));
  EXPECT_THAT(take(), ElementsAre(x(left, true), x(kA, true), "flush", x(kA, false), "flush"));
  // Its release was lost (the client window lost focus): the next click without the flag lets
  // go of it before the pointer moves; with the right bit, the right key goes down.
  injector->apply(pointer(Kind::mouseDown, 0, 0, 0));
  injector->apply(pointer(Kind::mouseUp, 0, 0, 0, flag | rightBit));
  EXPECT_THAT(take(), ElementsAre(x(left, false), "motion 0,0", "button 1 down", "flush",
                                  x(right, true), "motion 0,0", "button 1 up", "flush"));

  // A modifier's own key event is left to itself; moves and scrolls align nothing.
  injector->apply(keyInput(Kind::keyUp, right, 0));
  injector->apply(keyInput(Kind::keyDown, left, 0));
  injector->apply(pointer(Kind::move, 0, 0));
  injector->apply(scroll(0));
  EXPECT_THAT(take(),
              ElementsAre(x(right, false), "flush", x(left, true), "flush", "motion 0,0", "flush"));
  EXPECT_THAT(injector->keys(), ElementsAre(left));
}

INSTANTIATE_TEST_SUITE_P(Groups, ModifierTest,
                         ::testing::Values(ModifierGroup{"shift", kShiftFlag, 56, 60, 0x4},
                                           ModifierGroup{"control", kControlFlag, 59, 62, 0x2000},
                                           ModifierGroup{"option", kOptionFlag, 58, 61, 0x40},
                                           ModifierGroup{"command", kCommandFlag, 55, 54, 0x10}),
                         [](const auto& each) { return std::string(each.param.name); });

TEST_F(InjectorTest, ScrollPixelsBecomeWholeWheelClicks) {
  // Five small deltas stay below the 53.3 px step; the sixth crosses it.
  for (int i = 0; i < 5; ++i) injector->apply(scroll(10));
  EXPECT_THAT(take(), IsEmpty());
  injector->apply(scroll(10));
  EXPECT_THAT(take(), ElementsAre("button 4 down", "button 4 up", "flush"));
  // 6.7 px was left; 6.7 − 100 = −93.3 px is 1.75 steps down: one click, −40 px left.
  injector->apply(scroll(-100));
  EXPECT_THAT(take(), ElementsAre("button 5 down", "button 5 up", "flush"));
  // −40 + 60 = 20 px: no click, so the remainder kept its sign.
  injector->apply(scroll(60));
  EXPECT_THAT(take(), IsEmpty());
  // Exactly three steps make three clicks (no rounding drift), with 20 px still carried up.
  injector->apply(scroll(160, -160));
  EXPECT_THAT(take(),
              ElementsAre("button 4 down", "button 4 up", "button 4 down", "button 4 up",
                          "button 4 down", "button 4 up", "button 7 down", "button 7 up",
                          "button 7 down", "button 7 up", "button 7 down", "button 7 up", "flush"));
  injector->apply(scroll(0, 60));
  EXPECT_THAT(take(), ElementsAre("button 6 down", "button 6 up", "flush"));
  // A new gesture forgets what the last one left (here 50 px on each axis).
  injector->apply(scroll(30, 43.3));
  injector->apply(scroll(10, 10, 1));
  EXPECT_THAT(take(), IsEmpty());
}

TEST_F(InjectorTest, ReleaseAllLetsGoOfKeysThenButtonsWithoutGatesAndDestroyingPostsNothing) {
  injector->releaseAll();
  EXPECT_THAT(take(), IsEmpty()) << "nothing held, nothing posted";
  injector->apply(keyInput(Kind::keyDown, kA));
  injector->apply(keyInput(Kind::flags, 59, kControlFlag));
  injector->apply(pointer(Kind::mouseDown, 0, 0, 2, kControlFlag));
  injector->apply(pointer(Kind::mouseDown, 0, 0, 1, kControlFlag));
  take();
  record->xtest = false;
  injector->setDisplayID(0);
  injector->releaseAll();
  EXPECT_THAT(take(), ElementsAre("key 38 up", "key 37 up", "button 3 up", "button 2 up", "flush"));
  EXPECT_THAT(injector->keys(), IsEmpty());
  EXPECT_THAT(injector->buttons(), IsEmpty());

  injector->setDisplayID(7);
  record->xtest = true;
  injector->apply(keyInput(Kind::keyDown, kA));
  take();
  injector.reset();
  EXPECT_THAT(record->inputEvents, IsEmpty());
}

}  // namespace
}  // namespace veltra
