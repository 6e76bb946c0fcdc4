// Local Qt events to RemoteInput values; synthesized key events carry X keycodes as their native
// scan codes, as the xcb platform delivers them.

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <sstream>

#include "view/RemoteInputMapper.h"
#include "view/fake_view_client.h"

namespace veltra {
namespace {

using Lines = std::vector<std::string>;
using Outcome = RemoteInputMapper::Outcome;
constexpr auto C = Qt::ControlModifier, S = Qt::ShiftModifier, A = Qt::AltModifier,
               M = Qt::MetaModifier;
// X keycodes under the evdev rules.
constexpr quint32 kEscape = 9, kA = 38, kControlL = 37, kShiftL = 50, kControlR = 105,
                  kCapsLock = 66, kF11 = 95, kO = 32;
// A 1920×1080 picture in an 800×600 view covers y 75…525.
const RemoteViewport kViewport = RemoteViewport::fitted({1920, 1080}, {800, 600});

class RemoteInputMapperTest : public testing::Test {
 protected:
  void SetUp() override { client.streaming(), client.setInputEnabled(true); }
  Outcome press(quint32 code, Qt::KeyboardModifiers modifiers = {}, bool repeat = false) {
    return mapper.keyPress(QKeyEvent(QEvent::KeyPress, 0, modifiers, code, 0, 0, {}, repeat));
  }
  void release(quint32 code, Qt::KeyboardModifiers modifiers = {}, bool repeat = false) {
    mapper.keyRelease(QKeyEvent(QEvent::KeyRelease, 0, modifiers, code, 0, 0, {}, repeat));
  }
  // A press, a release, or a move (a drag while `button` is held).
  Outcome mouse(QEvent::Type type, QPointF at, Qt::MouseButton button, uint64_t time = 0,
                const RemoteViewport& viewport = kViewport) {
    const bool press = type == QEvent::MouseButtonPress, move = type == QEvent::MouseMove;
    QMouseEvent event(type, at, at, move ? Qt::NoButton : button,
                      press || move ? button : Qt::NoButton, Qt::NoModifier);
    event.setTimestamp(time);
    if (press) return mapper.mousePress(event, viewport);
    move ? mapper.mouseMove(event, viewport) : mapper.mouseRelease(event, viewport);
    return Outcome::none;
  }
  // What went out, as "kind key flags" or "kind button x,y" lines; forgets it.
  Lines sent() {
    Lines lines;
    for (const RemoteInput& in : std::exchange(client.sent, {})) {
      std::ostringstream line;
      line << rawValue(in.kind) << ' ';
      in.kind <= RemoteInput::Kind::flags ? line << in.key << ' ' << std::hex << in.flags
                                          : line << in.button << ' ' << in.x << ',' << in.y;
      lines.push_back(line.str());
    }
    return lines;
  }

  test::FakeViewClient client;
  RemoteInputMapper mapper{client, 400, 4};
};

TEST_F(RemoteInputMapperTest, KeysMapThroughTheTableAndModifiersGoOutAsTheFlagsOfWhatIsHeld) {
  press(kA);
  press(kA, {}, true);
  release(kA, {}, true);  // X's half of a repeat
  release(kA);
  press(0);    // no key
  press(255);  // no row in the table
  press(kF11);
  EXPECT_EQ(sent(), (Lines{"keyDown 0 0", "keyDown 0 0", "keyUp 0 0", "keyDown 103 0"}));
  // Modifier keys go out as flags with their own code; device bits say which hand.
  press(kControlL);
  press(kShiftL, C);
  press(kA, C | S);
  release(kA, C | S);
  release(kShiftL, C | S);
  release(kControlL, C);
  press(kCapsLock);  // toggles on its press only
  release(kCapsLock);
  press(kA);
  EXPECT_EQ(sent(), (Lines{"flags 59 40001", "flags 56 60003", "keyDown 0 60003", "keyUp 0 60003",
                           "flags 56 40001", "flags 59 0", "flags 57 10000", "keyDown 0 10000"}));
  // Releases of modifiers the host never saw pressed (before capture, or forgotten at its end)
  // would toggle them on there.
  client.setInputEnabled(false);
  press(kControlR);
  client.setInputEnabled(true);
  release(kControlR);
  press(kControlL);
  mapper.forgetHeldKeys();
  release(kControlL);
  EXPECT_EQ(sent(), Lines{"flags 59 50001"});
}

TEST_F(RemoteInputMapperTest, OnlyControlAltSuperEscapeEndsCaptureEvenPressedTwice) {
  EXPECT_EQ(press(kEscape, C | A), Outcome::none);
  EXPECT_EQ(press(kEscape, C | A | M | S), Outcome::none);
  EXPECT_EQ(press(kEscape, C | A | M), Outcome::captureReleased);
  EXPECT_EQ(press(kEscape, C | A | M), Outcome::captureReleased);
  EXPECT_EQ(client.releases, 2);
}

TEST_F(RemoteInputMapperTest, TheOverlayChordTogglesAndItsKeyStaysHereUntilReleased) {
  EXPECT_EQ(press(kO, C | A | M), Outcome::overlayToggled);
  EXPECT_EQ(press(kO, {}, true), Outcome::none);  // repeats after the modifiers let go
  release(kO);
  EXPECT_EQ(press(kO, C | A | M | S), Outcome::none);  // with Shift it is the host's
  EXPECT_EQ(sent(), (Lines{"keyDown 31 1e0000"}));
}

TEST_F(RemoteInputMapperTest, OnlyALeftClickOnThePictureWhileStreamingStartsCapture) {
  client.setInputEnabled(false);
  const auto press = QEvent::MouseButtonPress;
  EXPECT_EQ(mouse(press, {400, 50}, Qt::LeftButton), Outcome::none);  // on a bar
  mouse(press, {400, 300}, Qt::RightButton);
  EXPECT_EQ(mouse(press, {400, 300}, Qt::LeftButton, 0, {}), Outcome::none);  // no picture
  EXPECT_FALSE(client.inputEnabled());
  EXPECT_EQ(mouse(press, {400, 300}, Qt::LeftButton, 1000), Outcome::captureRequested);
  EXPECT_EQ(sent(), Lines{"mouseDown 0 0.5,0.5"});
}

TEST_F(RemoteInputMapperTest, ButtonsMapAndDragsAndReleasesOffThePictureArePinnedToItsEdge) {
  for (auto [button, wire] : {std::pair{Qt::LeftButton, "0"}, {Qt::MiddleButton, "2"}}) {
    mouse(QEvent::MouseButtonPress, {700, 300}, button);
    mouse(QEvent::MouseMove, {950, 200}, button);
    mouse(QEvent::MouseButtonRelease, {990, 700}, button);
    const std::string b = wire, y = (std::ostringstream() << 125 / 450.0).str();
    EXPECT_EQ(sent(), (Lines{"mouseDown " + b + " 0.875,0.5", "move " + b + " 1," + y,
                             "mouseUp " + b + " 1,1"}));
  }
  // Presses, moves and scrolls on the bars are dropped; a move with no button is button 0.
  mouse(QEvent::MouseButtonPress, {400, 560}, Qt::RightButton);
  mouse(QEvent::MouseMove, {400, 20}, Qt::NoButton);
  mapper.wheel(QWheelEvent({400, 20}, {}, {}, {0, 120}, {}, {}, Qt::NoScrollPhase, false),
               kViewport);
  mouse(QEvent::MouseMove, {0, 75}, Qt::NoButton);
  EXPECT_EQ(sent(), Lines{"move 0 0,0"});
}

TEST_F(RemoteInputMapperTest, ClickCountsFollowTheDoubleClickIntervalAndDistanceUpTo100) {
  auto click = [&](QPointF at, uint64_t time, Qt::MouseButton button = Qt::LeftButton) {
    mouse(QEvent::MouseButtonPress, at, button, time);
    mouse(QEvent::MouseButtonRelease, at, button, time + 50);
    EXPECT_EQ(client.sent.at(0).clicks, client.sent.at(1).clicks);  // the release has the press's
    const int clicks = client.sent.at(0).clicks;
    client.sent.clear();
    return clicks;
  };
  EXPECT_EQ(click({200, 200}, 1000), 1);
  EXPECT_EQ(click({201, 200}, 1400), 2);
  EXPECT_EQ(click({202, 201}, 1800), 3);
  EXPECT_EQ(click({202, 201}, 2600), 1);                   // too late
  EXPECT_EQ(click({240, 201}, 3000), 1);                   // too far
  EXPECT_EQ(click({240, 201}, 3400, Qt::RightButton), 1);  // another button
  int count = 0;
  for (int i = 0; i < 120; ++i) count = click({300, 300}, 100000 + i * 10);
  EXPECT_EQ(count, 100);
}

TEST_F(RemoteInputMapperTest, WheelNotchesBecomeTheHostsPixelsPerClickAndTouchpadPhasesMap) {
  auto scroll = [&](QPoint pixels, QPoint angle, Qt::ScrollPhase phase) {
    mapper.wheel(QWheelEvent({400, 300}, {}, pixels, angle, {}, {}, phase, false), kViewport);
    const RemoteInput in = std::exchange(client.sent, {}).at(0);
    return std::tuple{in.scrollX, in.scrollY, in.scrollPhase, in.momentumPhase};
  };
  const double click = kScrollPixelsPerWheelClick;
  EXPECT_EQ(scroll({}, {0, 120}, Qt::NoScrollPhase), std::tuple(0.0, click, 0, 0));
  EXPECT_EQ(scroll({}, {-240, -60}, Qt::NoScrollPhase), std::tuple(-2 * click, -click / 2, 0, 0));
  EXPECT_EQ(scroll({3, -7}, {24, -56}, Qt::ScrollBegin), std::tuple(3.0, -7.0, 1, 0));
  EXPECT_EQ(scroll({0, 2}, {0, 16}, Qt::ScrollMomentum), std::tuple(0.0, 2.0, 0, 2));
}

}  // namespace
}  // namespace veltra
