// Local Qt events to RemoteInput values, with synthesized events carrying X keycodes as their
// native scan codes, as the xcb platform delivers them.

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <memory>
#include <optional>

#include "view/RemoteInputMapper.h"
#include "view/RemoteKeyMap.h"
#include "view/fake_view_client.h"

namespace veltra {
namespace {

using Kind = RemoteInput::Kind;
using Outcome = RemoteInputMapper::Outcome;
using test::FakeViewClient;

// X keycodes under the evdev rules.
constexpr quint32 kXEscape = 9, kXA = 38, kXControlL = 37, kXShiftL = 50, kXAltL = 64,
                  kXSuperL = 133, kXControlR = 105, kXCapsLock = 66, kXF11 = 95;

constexpr int kInterval = 400, kDistance = 4;

// A 1920×1080 picture in an 800×600 view: it covers y 75…525.
const RemoteViewport kViewport = RemoteViewport::fitted(QSizeF(1920, 1080), QSizeF(800, 600));

QKeyEvent key(QEvent::Type type, quint32 xKeycode, Qt::KeyboardModifiers modifiers = {},
              bool repeat = false) {
  return QKeyEvent(type, 0, modifiers, xKeycode, 0, 0, QString(), repeat);
}

// Events cannot be copied or moved; the tests dereference this at the call.
std::unique_ptr<QMouseEvent> mouse(QEvent::Type type, QPointF position, Qt::MouseButton button,
                                   Qt::MouseButtons buttons, uint64_t time = 0) {
  auto event =
      std::make_unique<QMouseEvent>(type, position, position, button, buttons, Qt::NoModifier);
  event->setTimestamp(time);
  return event;
}

class RemoteInputMapperTest : public testing::Test {
 protected:
  // A session with a picture, capture on.
  void capture() {
    client.streaming();
    client.setInputEnabled(true);
    client.requests.clear();
    client.releases = 0;
  }
  Outcome press(quint32 xKeycode, Qt::KeyboardModifiers modifiers = {}, bool repeat = false) {
    return mapper.keyPress(key(QEvent::KeyPress, xKeycode, modifiers, repeat));
  }
  void release(quint32 xKeycode, Qt::KeyboardModifiers modifiers = {}, bool repeat = false) {
    mapper.keyRelease(key(QEvent::KeyRelease, xKeycode, modifiers, repeat));
  }
  // Presses Control, Alt and Super, left ones, as a user forms the chord.
  Qt::KeyboardModifiers holdChordModifiers() {
    press(kXControlL);
    press(kXAltL, Qt::ControlModifier);
    press(kXSuperL, Qt::ControlModifier | Qt::AltModifier);
    return Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
  }

  FakeViewClient client;
  RemoteInputMapper mapper{client, kInterval, kDistance};
};

TEST(RemoteKeyMapTest, TheGeneratedTableMapsEvdevCodesToWireCodes) {
  EXPECT_EQ(remote_keys::wireKeyForEvdev(30), 0);    // A
  EXPECT_EQ(remote_keys::wireKeyForEvdev(1), 53);    // Escape
  EXPECT_EQ(remote_keys::wireKeyForEvdev(125), 55);  // left Super: command
  EXPECT_EQ(remote_keys::wireKeyForEvdev(97), 62);   // right Control
  EXPECT_EQ(remote_keys::wireKeyForEvdev(0), std::nullopt);
  EXPECT_EQ(remote_keys::wireKeyForEvdev(-8), std::nullopt);
  EXPECT_EQ(remote_keys::wireKeyForEvdev(248), std::nullopt);
  EXPECT_EQ(remote_keys::wireKeyForEvdev(100000), std::nullopt);
}

TEST_F(RemoteInputMapperTest, TheReleaseChordEndsCaptureAndIsNeverSent) {
  capture();
  const Qt::KeyboardModifiers chord = holdChordModifiers();
  ASSERT_EQ(client.sent.size(), 3u);  // the three modifier presses, as flags
  EXPECT_EQ(press(kXEscape, chord), Outcome::captureReleased);
  EXPECT_FALSE(client.inputEnabled());
  EXPECT_EQ(client.releases, 1);
  EXPECT_EQ(client.sent.size(), 3u);

  // The chord also works while capture is already off (the user presses it twice).
  EXPECT_EQ(press(kXEscape, chord), Outcome::captureReleased);
  EXPECT_EQ(client.releases, 2);
}

TEST_F(RemoteInputMapperTest, TheChordWithShiftIsAnOrdinaryEscape) {
  capture();
  holdChordModifiers();
  press(kXShiftL, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  client.sent.clear();
  EXPECT_EQ(
      press(kXEscape, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier | Qt::ShiftModifier),
      Outcome::none);
  EXPECT_TRUE(client.inputEnabled());
  ASSERT_EQ(client.sent.size(), 1u);
  EXPECT_EQ(client.sent[0].kind, Kind::keyDown);
  EXPECT_EQ(client.sent[0].key, 53);
  // Escape with only two of the three is not the chord either.
  EXPECT_EQ(press(kXEscape, Qt::ControlModifier | Qt::AltModifier), Outcome::none);
  EXPECT_TRUE(client.inputEnabled());
}

TEST_F(RemoteInputMapperTest, ModifiersGoOutAsFlagsAndBuildTheFlagsWord) {
  capture();
  press(kXControlL);
  press(kXShiftL, Qt::ControlModifier);
  press(kXA, Qt::ControlModifier | Qt::ShiftModifier);
  release(kXA, Qt::ControlModifier | Qt::ShiftModifier);
  release(kXShiftL, Qt::ControlModifier | Qt::ShiftModifier);
  ASSERT_EQ(client.sent.size(), 5u);
  EXPECT_EQ(client.sent[0].kind, Kind::flags);
  EXPECT_EQ(client.sent[0].key, 59);
  EXPECT_EQ(client.sent[0].flags, 0x40001u);  // control, left control
  EXPECT_EQ(client.sent[1].kind, Kind::flags);
  EXPECT_EQ(client.sent[1].key, 56);
  // Control + Shift + A: control and shift, with the left-hand device bits of both.
  EXPECT_EQ(client.sent[2].kind, Kind::keyDown);
  EXPECT_EQ(client.sent[2].key, 0);
  EXPECT_EQ(client.sent[2].flags, 0x40000u | 0x20000u | 0x1u | 0x2u);
  EXPECT_EQ(client.sent[3].kind, Kind::keyUp);
  EXPECT_EQ(client.sent[3].flags, client.sent[2].flags);
  // Shift's release leaves control alone.
  EXPECT_EQ(client.sent[4].kind, Kind::flags);
  EXPECT_EQ(client.sent[4].key, 56);
  EXPECT_EQ(client.sent[4].flags, 0x40001u);
}

TEST_F(RemoteInputMapperTest, RepeatsAreKeyDownsAndUnmappedKeysAreDropped) {
  capture();
  press(kXA);
  press(kXA, {}, true);
  release(kXA, {}, true);  // X's half of a repeat
  release(kXA);
  press(0);    // no key
  press(255);  // no row in the table
  release(255);
  ASSERT_EQ(client.sent.size(), 3u);
  EXPECT_EQ(client.sent[0].kind, Kind::keyDown);
  EXPECT_EQ(client.sent[1].kind, Kind::keyDown);
  EXPECT_EQ(client.sent[2].kind, Kind::keyUp);
  // F11 is the remote computer's key like any other.
  press(kXF11);
  EXPECT_EQ(client.sent.back().key, 103);
}

TEST_F(RemoteInputMapperTest, ModifierReleasesTheHostNeverSawPressedAreNotSent) {
  client.streaming();
  // Held before capture began: the host never saw it, and a flags would toggle it on there.
  press(kXControlR);
  client.setInputEnabled(true);
  release(kXControlR);
  EXPECT_TRUE(client.sent.empty());

  // Held when capture ended: the host let go of it already.
  press(kXControlL);
  ASSERT_EQ(client.sent.size(), 1u);
  mapper.forgetHeldKeys();
  release(kXControlL);
  EXPECT_EQ(client.sent.size(), 1u);

  // Caps lock toggles on its press only.
  press(kXCapsLock);
  release(kXCapsLock);
  ASSERT_EQ(client.sent.size(), 2u);
  EXPECT_EQ(client.sent[1].key, 57);
  EXPECT_EQ(client.sent[1].flags & 0x10000u, 0x10000u);
}

TEST_F(RemoteInputMapperTest, OnlyALeftClickOnThePictureStartsCapture) {
  client.streaming();
  // On the bar above the picture: nothing at all.
  EXPECT_EQ(mapper.mousePress(
                *mouse(QEvent::MouseButtonPress, QPointF(400, 50), Qt::LeftButton, Qt::LeftButton),
                kViewport),
            Outcome::none);
  EXPECT_TRUE(client.requests.empty());
  // A right click on the picture is not a request for capture.
  mapper.mousePress(
      *mouse(QEvent::MouseButtonPress, QPointF(400, 300), Qt::RightButton, Qt::RightButton),
      kViewport);
  EXPECT_TRUE(client.requests.empty());
  EXPECT_FALSE(client.inputEnabled());
  // Without a picture there is nothing to click.
  EXPECT_EQ(mapper.mousePress(
                *mouse(QEvent::MouseButtonPress, QPointF(400, 300), Qt::LeftButton, Qt::LeftButton),
                RemoteViewport{}),
            Outcome::none);

  EXPECT_EQ(mapper.mousePress(
                *mouse(QEvent::MouseButtonPress, QPointF(400, 300), Qt::LeftButton, Qt::LeftButton),
                kViewport),
            Outcome::captureRequested);
  EXPECT_TRUE(client.inputEnabled());
  ASSERT_EQ(client.sent.size(), 1u);
  EXPECT_EQ(client.sent[0].kind, Kind::mouseDown);
  EXPECT_EQ(client.sent[0].button, 0);
  EXPECT_EQ(client.sent[0].x, 0.5);
  EXPECT_EQ(client.sent[0].y, 0.5);
}

TEST_F(RemoteInputMapperTest, ALeftClickWhileNotConnectedIsRefusedAndSendsNothing) {
  mapper.mousePress(
      *mouse(QEvent::MouseButtonPress, QPointF(400, 300), Qt::LeftButton, Qt::LeftButton),
      kViewport);
  EXPECT_EQ(client.requests, std::vector<bool>{true});
  EXPECT_FALSE(client.inputEnabled());
  EXPECT_EQ(client.releases, 1);
  EXPECT_TRUE(client.sent.empty());
}

TEST_F(RemoteInputMapperTest, ButtonsMapToPrimarySecondaryAndOther) {
  capture();
  const std::pair<Qt::MouseButton, int> cases[] = {
      {Qt::LeftButton, 0}, {Qt::RightButton, 1},   {Qt::MiddleButton, 2},
      {Qt::BackButton, 2}, {Qt::ForwardButton, 2}, {Qt::ExtraButton5, 2},
  };
  for (auto [button, expected] : cases) {
    client.sent.clear();
    mapper.mousePress(*mouse(QEvent::MouseButtonPress, QPointF(100, 100), button, button),
                      kViewport);
    mapper.mouseMove(*mouse(QEvent::MouseMove, QPointF(110, 100), Qt::NoButton, button), kViewport);
    mapper.mouseRelease(*mouse(QEvent::MouseButtonRelease, QPointF(110, 100), button, {}),
                        kViewport);
    ASSERT_EQ(client.sent.size(), 3u);
    for (const RemoteInput& input : client.sent) EXPECT_EQ(input.button, expected) << button;
  }
  // A move with no button held is button 0 whatever was pressed before.
  client.sent.clear();
  mapper.mouseMove(*mouse(QEvent::MouseMove, QPointF(120, 100), Qt::NoButton, {}), kViewport);
  ASSERT_EQ(client.sent.size(), 1u);
  EXPECT_EQ(client.sent[0].kind, Kind::move);
  EXPECT_EQ(client.sent[0].button, 0);
}

TEST_F(RemoteInputMapperTest,
       DragsAndReleasesOutsideArePinnedWhilePressesMovesAndScrollsAreDropped) {
  capture();
  // Presses, moves and scrolls on the bars are dropped.
  mapper.mousePress(
      *mouse(QEvent::MouseButtonPress, QPointF(400, 560), Qt::RightButton, Qt::RightButton),
      kViewport);
  mapper.mouseMove(*mouse(QEvent::MouseMove, QPointF(400, 20), Qt::NoButton, {}), kViewport);
  QWheelEvent outside(QPointF(400, 20), QPointF(400, 20), QPoint(), QPoint(0, 120), {}, {},
                      Qt::NoScrollPhase, false);
  mapper.wheel(outside, kViewport);
  EXPECT_TRUE(client.sent.empty());

  // A drag that leaves to the right is pinned to x = 1, and so is the release out there.
  mapper.mousePress(
      *mouse(QEvent::MouseButtonPress, QPointF(700, 300), Qt::LeftButton, Qt::LeftButton),
      kViewport);
  mapper.mouseMove(*mouse(QEvent::MouseMove, QPointF(950, 200), Qt::NoButton, Qt::LeftButton),
                   kViewport);
  mapper.mouseRelease(*mouse(QEvent::MouseButtonRelease, QPointF(990, 700), Qt::LeftButton, {}),
                      kViewport);
  ASSERT_EQ(client.sent.size(), 3u);
  EXPECT_EQ(client.sent[1].kind, Kind::move);
  EXPECT_EQ(client.sent[1].x, 1);
  EXPECT_NEAR(client.sent[1].y, (200 - 75) / 450.0, 1e-12);
  EXPECT_EQ(client.sent[1].button, 0);
  EXPECT_EQ(client.sent[2].kind, Kind::mouseUp);
  EXPECT_EQ(client.sent[2].x, 1);
  EXPECT_EQ(client.sent[2].y, 1);
}

TEST_F(RemoteInputMapperTest, ClickCountsFollowTheDoubleClickIntervalAndDistance) {
  capture();
  auto click = [&](QPointF at, uint64_t time, Qt::MouseButton button = Qt::LeftButton) {
    client.sent.clear();
    mapper.mousePress(*mouse(QEvent::MouseButtonPress, at, button, button, time), kViewport);
    mapper.mouseRelease(*mouse(QEvent::MouseButtonRelease, at, button, {}, time + 50), kViewport);
    EXPECT_EQ(client.sent.size(), 2u);
    EXPECT_EQ(client.sent[0].clicks, client.sent[1].clicks);  // the release carries the press's
    return client.sent.empty() ? 0 : client.sent[0].clicks;
  };
  EXPECT_EQ(click(QPointF(200, 200), 1000), 1);
  EXPECT_EQ(click(QPointF(201, 200), 1000 + kInterval), 2);
  EXPECT_EQ(click(QPointF(202, 201), 1000 + 2 * kInterval), 3);
  EXPECT_EQ(click(QPointF(202, 201), 1000 + 4 * kInterval), 1);  // too late
  EXPECT_EQ(click(QPointF(202, 201), 1000 + 5 * kInterval), 2);
  EXPECT_EQ(click(QPointF(240, 201), 1000 + 6 * kInterval), 1);                   // too far
  EXPECT_EQ(click(QPointF(240, 201), 1000 + 7 * kInterval, Qt::RightButton), 1);  // other button

  // A long series stops growing at 100.
  int count = 0;
  for (int i = 0; i < 120; ++i) count = click(QPointF(300, 300), 100000 + i * 10);
  EXPECT_EQ(count, 100);
}

TEST_F(RemoteInputMapperTest, WheelNotchesBecomeTheHostsPixelsPerClickAndPhasesMap) {
  capture();
  const QPointF at(400, 300);
  auto scroll = [&](QPoint pixels, QPoint angle, Qt::ScrollPhase phase) {
    client.sent.clear();
    mapper.wheel(QWheelEvent(at, at, pixels, angle, {}, {}, phase, false), kViewport);
    EXPECT_EQ(client.sent.size(), 1u);
    return client.sent.empty() ? RemoteInput{} : client.sent[0];
  };
  RemoteInput notch = scroll(QPoint(), QPoint(0, 120), Qt::NoScrollPhase);
  EXPECT_EQ(notch.kind, Kind::scroll);
  EXPECT_DOUBLE_EQ(notch.scrollY, kScrollPixelsPerWheelClick);  // up, one host click
  EXPECT_EQ(notch.scrollX, 0);
  EXPECT_EQ(notch.scrollPhase, 0);
  EXPECT_EQ(notch.momentumPhase, 0);
  EXPECT_EQ(notch.x, 0.5);
  EXPECT_DOUBLE_EQ(scroll(QPoint(), QPoint(-240, -60), Qt::NoScrollPhase).scrollX,
                   -2 * kScrollPixelsPerWheelClick);

  // A touchpad's pixels go as they come, with their phases.
  RemoteInput began = scroll(QPoint(3, -7), QPoint(24, -56), Qt::ScrollBegin);
  EXPECT_EQ(began.scrollX, 3);
  EXPECT_EQ(began.scrollY, -7);
  EXPECT_EQ(began.scrollPhase, 1);
  EXPECT_EQ(scroll(QPoint(0, 5), QPoint(0, 40), Qt::ScrollUpdate).scrollPhase, 2);
  EXPECT_EQ(scroll(QPoint(0, 0), QPoint(0, 0), Qt::ScrollEnd).scrollPhase, 4);
  const RemoteInput momentum = scroll(QPoint(0, 2), QPoint(0, 16), Qt::ScrollMomentum);
  EXPECT_EQ(momentum.scrollPhase, 0);
  EXPECT_EQ(momentum.momentumPhase, 2);
}

}  // namespace
}  // namespace veltra
