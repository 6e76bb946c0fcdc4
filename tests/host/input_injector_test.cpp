#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host/RemoteInputInjector.h"
#include "host/x11/KeyMap.h"
#include "input_test_support.h"

namespace veltra {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Kind = RemoteInput::Kind;

// Records what the injector posts as readable lines ("key 50 down", "motion 10,20", "flush").
// The log is shared so that it outlives the injector.
class RecordingSink final : public InputEventSink {
 public:
  explicit RecordingSink(std::shared_ptr<std::vector<std::string>> log) : log_(std::move(log)) {}

  bool canInject(uint32_t) override {
    ++xtestAsked;
    return xtest;
  }
  DisplayBounds bounds(uint32_t) override {
    ++boundsAsked;
    return displayBounds;
  }
  std::optional<uint32_t> keyCode(uint16_t macKey) override {
    if (auto code = x11::xKeycodeForMacKey(macKey)) return *code;
    return std::nullopt;
  }
  void key(uint32_t code, bool press) override {
    log_->push_back("key " + std::to_string(code) + (press ? " down" : " up"));
  }
  void motion(PixelPoint point) override {
    log_->push_back("motion " + std::to_string(point.x) + "," + std::to_string(point.y));
  }
  void button(int xButton, bool press) override {
    log_->push_back("button " + std::to_string(xButton) + (press ? " down" : " up"));
  }
  void flush() override { log_->push_back("flush"); }

  bool xtest = true;
  DisplayBounds displayBounds{0, 0, 640, 480};
  int xtestAsked = 0;
  int boundsAsked = 0;

 private:
  std::shared_ptr<std::vector<std::string>> log_;
};

// Mac codes and their X keycodes under the evdev rules.
constexpr uint16_t kA = 0, kCommand = 55, kRightCommand = 54, kShift = 56, kRightShift = 60,
                   kOption = 58, kControl = 59, kRightControl = 62, kRightOption = 61, kCaps = 57;

class InjectorTest : public ::testing::Test {
 protected:
  InjectorTest() {
    auto recording = std::make_unique<RecordingSink>(log);
    sink = recording.get();
    injector = std::make_unique<RemoteInputInjector>(std::move(recording));
    injector->setDisplayID(7);
  }

  // The log so far, emptied.
  std::vector<std::string> take() { return std::exchange(*log, {}); }

  std::shared_ptr<std::vector<std::string>> log = std::make_shared<std::vector<std::string>>();
  RecordingSink* sink;
  std::unique_ptr<RemoteInputInjector> injector;
};

TEST_F(InjectorTest, EachGateDropsEveryKindWithoutPostingOrChangingAnything) {
  // Something held and a scroll remainder of 40 px, so that a change would show.
  injector->apply(keyInput(Kind::keyDown, kA));
  injector->apply(pointer(Kind::mouseDown, 0.5, 0.5, 1));
  injector->apply(scroll(40));
  take();
  sink->xtestAsked = sink->boundsAsked = 0;

  RemoteInput invalid = pointer(Kind::move, 1.5, 0);
  const Kind kinds[] = {Kind::keyDown,   Kind::keyUp,   Kind::flags, Kind::move,
                        Kind::mouseDown, Kind::mouseUp, Kind::scroll};
  auto everyKind = [&](RemoteInput input) {
    for (Kind kind : kinds) {
      input.kind = kind;
      input.key = 1;
      input.scrollY = 40;
      injector->apply(input);
    }
  };

  everyKind(invalid);
  EXPECT_EQ(sink->xtestAsked, 0) << "an invalid input is refused before the display is asked";

  sink->xtest = false;
  everyKind(pointer(Kind::move, 0, 0));
  EXPECT_EQ(sink->xtestAsked, 7);
  EXPECT_EQ(sink->boundsAsked, 0) << "without XTEST the bounds are not asked";

  sink->xtest = true;
  injector->setDisplayID(0);
  everyKind(pointer(Kind::move, 0, 0));
  EXPECT_EQ(sink->boundsAsked, 0) << "without a display the bounds are not asked";

  injector->setDisplayID(7);
  for (DisplayBounds empty : {DisplayBounds{0, 0, 0, 480}, DisplayBounds{0, 0, 640, 0}}) {
    sink->displayBounds = empty;
    everyKind(pointer(Kind::move, 0, 0));
  }

  EXPECT_THAT(take(), IsEmpty());
  EXPECT_THAT(injector->keys(), ElementsAre(kA));
  EXPECT_THAT(injector->buttons(), ElementsAre(1));
  EXPECT_EQ(injector->position(), (PixelPoint{320, 240}));
  // 40 + 10 px stays below the 53.3 px step; a dropped 40 px counted on top would cross it.
  sink->displayBounds = {0, 0, 640, 480};
  injector->apply(scroll(10));
  EXPECT_THAT(take(), IsEmpty());
}

TEST_F(InjectorTest, PointerMapsOntoTheDisplaysPixels) {
  sink->displayBounds = {100, 0, 1920, 1080};
  injector->apply(pointer(Kind::move, 0, 0));
  injector->apply(pointer(Kind::move, 1, 1));
  // 0.5 × 1919 = 959.5 rounds up; 0.25 × 1079 = 269.75 rounds to 270.
  injector->apply(pointer(Kind::move, 0.5, 0.25));
  EXPECT_EQ(injector->position(), (PixelPoint{1060, 270}));
  sink->displayBounds = {50, 60, 1, 1};
  injector->apply(pointer(Kind::move, 0.9, 1));
  EXPECT_THAT(take(), ElementsAre("motion 100,0", "flush", "motion 2019,1079", "flush",
                                  "motion 1060,270", "flush", "motion 50,60", "flush"));
}

TEST_F(InjectorTest, ButtonsPressWhereTheyAreAndDragTogether) {
  injector->apply(pointer(Kind::mouseDown, 0, 0, 0));
  injector->apply(pointer(Kind::move, 0.5, 0, 0));
  injector->apply(pointer(Kind::mouseDown, 0.5, 0, 2));
  injector->apply(pointer(Kind::mouseDown, 0.5, 0, 1));
  EXPECT_THAT(injector->buttons(), ElementsAre(0, 1, 2));
  injector->apply(pointer(Kind::mouseUp, 1, 0, 0));
  injector->apply(pointer(Kind::mouseUp, 1, 0, 1));
  injector->apply(pointer(Kind::mouseUp, 1, 0, 2));
  // Not held, still released: the server may hold it from a press we lost.
  injector->apply(pointer(Kind::mouseUp, 1, 0, 2));
  EXPECT_THAT(injector->buttons(), IsEmpty());
  EXPECT_THAT(take(), ElementsAre("motion 0,0", "button 1 down", "flush",    //
                                  "motion 320,0", "flush",                   //
                                  "motion 320,0", "button 2 down", "flush",  //
                                  "motion 320,0", "button 3 down", "flush",  //
                                  "motion 639,0", "button 1 up", "flush",    //
                                  "motion 639,0", "button 3 up", "flush",    //
                                  "motion 639,0", "button 2 up", "flush",    //
                                  "motion 639,0", "button 2 up", "flush"));
}

TEST_F(InjectorTest, KeysAndFlagsChanges) {
  injector->apply(keyInput(Kind::keyDown, kA));
  EXPECT_THAT(injector->keys(), ElementsAre(kA));
  injector->apply(keyInput(Kind::keyUp, kA));
  injector->apply(keyInput(Kind::keyUp, kA));  // not held: still posted
  EXPECT_THAT(injector->keys(), IsEmpty());
  EXPECT_THAT(take(),
              ElementsAre("key 38 down", "flush", "key 38 up", "flush", "key 38 up", "flush"));

  // Option changes twice: down, then up, and the set is back to empty.
  injector->apply(keyInput(Kind::flags, kOption, kOptionFlag));
  EXPECT_THAT(injector->keys(), ElementsAre(kOption));
  injector->apply(keyInput(Kind::flags, kOption, 0));
  // Caps lock toggles the lock with one tap each time and is never held.
  injector->apply(keyInput(Kind::flags, kCaps, 0x10000));
  EXPECT_THAT(injector->keys(), IsEmpty());
  EXPECT_THAT(take(), ElementsAre("key 64 down", "flush", "key 64 up", "flush", "key 66 down",
                                  "key 66 up", "flush"));

  // fn (63) and the unassigned 52 have no X key: dropped whole, modifier alignment included.
  injector->apply(keyInput(Kind::flags, 63, kShiftFlag));
  injector->apply(keyInput(Kind::keyDown, 52, kShiftFlag));
  EXPECT_THAT(take(), IsEmpty());
  EXPECT_THAT(injector->keys(), IsEmpty());
}

TEST_F(InjectorTest, HeldModifiersFollowTheFlagsOfEachKeyAndButton) {
  // Command went down, but its release was lost (the client window lost focus).
  injector->apply(keyInput(Kind::flags, kCommand, kCommandFlag));
  take();
  injector->apply(keyInput(Kind::keyDown, kA, 0));
  EXPECT_THAT(take(), ElementsAre("key 133 up", "key 38 down", "flush"));
  EXPECT_THAT(injector->keys(), ElementsAre(kA));

  // A flag with no key held presses the group's key: left unless the right-hand bit is set.
  injector->apply(keyInput(Kind::keyUp, kA, kShiftFlag | kControlFlag | 0x2000));
  EXPECT_THAT(take(), ElementsAre("key 50 down", "key 105 down", "key 38 up", "flush"));
  EXPECT_THAT(injector->keys(), ElementsAre(kShift, kRightControl));
  injector->apply(keyInput(Kind::keyDown, kA, kOptionFlag | kCommandFlag | 0x40 | 0x10));
  EXPECT_THAT(take(), ElementsAre("key 50 up", "key 105 up", "key 108 down", "key 134 down",
                                  "key 38 down", "flush"));
  EXPECT_THAT(injector->keys(), ElementsAre(kA, kRightCommand, kRightOption));

  // Command-click: the modifiers settle before the pointer moves and the button goes down. A
  // held key of the group satisfies its flag whichever side it is; caps lock's bit is no group.
  injector->apply(pointer(Kind::mouseDown, 0, 0, 0, kCommandFlag | 0x10000 | 0x4));
  EXPECT_THAT(take(), ElementsAre("key 108 up", "motion 0,0", "button 1 down", "flush"));
  injector->apply(pointer(Kind::mouseUp, 0, 0, 0, kShiftFlag | 0x4));
  EXPECT_THAT(take(),
              ElementsAre("key 62 down", "key 134 up", "motion 0,0", "button 1 up", "flush"));

  // A modifier's own key event is left to itself; moves and scrolls align nothing.
  injector->apply(keyInput(Kind::keyUp, kRightShift, 0));
  injector->apply(keyInput(Kind::keyDown, kShift, kShiftFlag));
  injector->apply(pointer(Kind::move, 0, 0, 0, kControlFlag));
  injector->apply(scroll(0, 0, 0));
  EXPECT_THAT(take(),
              ElementsAre("key 62 up", "flush", "key 50 down", "flush", "motion 0,0", "flush"));
  EXPECT_THAT(injector->keys(), ElementsAre(kA, kShift));
}

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

  EXPECT_THAT(injector->keys(), IsEmpty());
  EXPECT_THAT(injector->buttons(), IsEmpty());
  EXPECT_EQ(injector->position(), (PixelPoint{0, 0}));
}

TEST_F(InjectorTest, ReleaseAllLetsGoOfKeysThenButtonsWithoutGates) {
  injector->releaseAll();
  EXPECT_THAT(take(), IsEmpty()) << "nothing held, nothing posted";

  injector->apply(keyInput(Kind::keyDown, kA));
  injector->apply(keyInput(Kind::flags, kControl, kControlFlag));
  injector->apply(pointer(Kind::mouseDown, 0, 0, 2, kControlFlag));
  injector->apply(pointer(Kind::mouseDown, 0, 0, 1, kControlFlag));
  take();
  sink->xtest = false;
  injector->setDisplayID(0);
  injector->releaseAll();
  EXPECT_THAT(take(), ElementsAre("key 38 up", "key 37 up", "button 3 up", "button 2 up", "flush"));
  EXPECT_THAT(injector->keys(), IsEmpty());
  EXPECT_THAT(injector->buttons(), IsEmpty());
}

TEST_F(InjectorTest, DestroyingPostsNothing) {
  injector->apply(keyInput(Kind::keyDown, kA));
  injector->apply(pointer(Kind::mouseDown, 0, 0, 0));
  take();
  injector.reset();
  EXPECT_THAT(*log, IsEmpty());
}

TEST(KeyMapTest, GeneratedTableMatchesTheTsvFile) {
  std::ifstream file(std::string(VELTRA_TEST_DATA_DIR) + "/../../VeltraRemote/protocol/keymap.tsv");
  ASSERT_TRUE(file) << "keymap.tsv not found";
  std::vector<std::pair<int, int>> rows;
  std::string line;
  bool header = true;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (std::exchange(header, false)) continue;
    std::istringstream fields(line);
    int mac, evdev, xKeycode;
    std::string macName, evdevName;
    fields >> mac >> macName >> evdev >> evdevName >> xKeycode;
    ASSERT_TRUE(fields) << line;
    rows.emplace_back(mac, xKeycode);
  }
  ASSERT_EQ(rows.size(), 119u);
  ASSERT_EQ(std::size(kWireKeys), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(kWireKeys[i].wireKey, rows[i].first);
    EXPECT_EQ(kWireKeys[i].xKeycode, rows[i].second);
    EXPECT_EQ(x11::xKeycodeForMacKey(rows[i].first), rows[i].second);
  }
  EXPECT_EQ(x11::xKeycodeForMacKey(0), 38);              // A
  EXPECT_EQ(x11::xKeycodeForMacKey(126), 111);           // up arrow
  EXPECT_EQ(x11::xKeycodeForMacKey(63), std::nullopt);   // fn
  EXPECT_EQ(x11::xKeycodeForMacKey(127), std::nullopt);  // unassigned
  EXPECT_EQ(x11::xKeycodeForMacKey(500), std::nullopt);
}

}  // namespace
}  // namespace veltra
