// Whole sessions: the real host on a real Xvfb (with the test pattern drawing in it) and the real
// client, in one process on one main queue, over loopback TCP.

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "client/RemoteClient.h"
#include "harness/harness.h"
#include "host/RemoteHost.h"
#include "host/x11/DesktopSession.h"
#include "host/x11/X11Connection.h"
#include "host/x11/X11HostPlatform.h"
#include "host/x11_test_support.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "protocol/RemoteInput.h"
#include "support/AsioMainQueue.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using Kind = RemoteInput::Kind;

constexpr RemoteConfiguration kMode{1920, 1080, 60};
constexpr auto kPatience = 30s;
// Display numbers the virtual display may claim.
constexpr uint32_t kLastDisplayNumber = 1000;
// Mac virtual key 0 ('A') lands on X keycode 38 through the host's key map.
using test::freePort;

constexpr uint16_t kMacKeyA = 0;
constexpr uint8_t kXKeycodeA = 38;

// The displays this process has registered. Only the host under test creates any, so this is
// how the test finds the host's display, which the host does not publish.
std::vector<uint32_t> registeredDisplays() {
  std::vector<uint32_t> displays;
  for (uint32_t id = 0; id <= kLastDisplayNumber; ++id) {
    if (x11::registeredCookie(id)) displays.push_back(id);
  }
  return displays;
}

// Reads a display's input state through a connection of its own, as another X client would.
class DisplayObserver {
 public:
  explicit DisplayObserver(uint32_t displayID) : connection_(x11::Connection::open(displayID)) {}
  bool connected() const { return connection_ != nullptr; }

  struct Pointer {
    int x = -1;
    int y = -1;
    uint16_t mask = 0;
  };
  Pointer pointer() const {
    xcb_connection_t* c = connection_->get();
    x11::Reply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, connection_->root()), nullptr));
    if (!reply) return {};
    return {reply->root_x, reply->root_y, reply->mask};
  }

  // Whether a mapped top-level window is under the pointer, which then has the keyboard.
  bool windowUnderPointer() const {
    xcb_connection_t* c = connection_->get();
    x11::Reply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, connection_->root()), nullptr));
    return reply && reply->child != XCB_WINDOW_NONE;
  }

  bool keyIsDown(uint8_t keycode) const {
    xcb_connection_t* c = connection_->get();
    x11::Reply<xcb_query_keymap_reply_t> reply(
        xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
    return reply && (reply->keys[keycode / 8] & (1 << (keycode % 8))) != 0;
  }

 private:
  std::unique_ptr<x11::Connection> connection_;
};

// What the view of one client saw.
struct Pictures {
  int count = 0;
  int notFullSize = 0;
};

RemoteInput pointerInput(Kind kind, double x, double y, int button = 0) {
  RemoteInput input;
  input.kind = kind;
  input.x = x;
  input.y = y;
  input.button = button;
  return input;
}

RemoteInput keyInput(Kind kind, uint16_t key) {
  RemoteInput input;
  input.kind = kind;
  input.key = key;
  return input;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(registeredDisplays().empty()) << "a display outlived the previous test";
    port_ = freePort();
    // Quoted for the shell that starts it inside the display. Without something drawing, the
    // host would send one picture and then wait for the screen to change.
    host_ = std::make_unique<RemoteHost>(main_, makeX11HostPlatform(main_));
    host_->setSessionChoice(sessionChoice());
    host_->setPort(port_);
    host_->start();
    ASSERT_TRUE(waitFor([&] {
      return host_->status() == "Listening on port " + portText() + " · LAN / private network";
    })) << host_->status();
  }

  void TearDown() override {
    clients_.clear();
    if (!host_) return;
    host_->stop();
    EXPECT_TRUE(waitFor([&] { return !host_->stopping(); })) << host_->status();
    // The platform waits for its displays to end as it goes.
    host_.reset();
  }

  virtual std::string sessionChoice() {
    return "'" + std::string(VELTRA_TEST_PATTERN_PROGRAM) + "'";
  }

  bool waitFor(const std::function<bool()>& condition) {
    return main_.runUntil(condition, kPatience);
  }

  std::string portText() const { return std::to_string(port_); }

  // A client typed in as a user would, counting the pictures its view is given. Destroyed before
  // the host.
  RemoteClient& addClient(const std::string& key, Pictures& pictures,
                          RemoteClientOptions options = {}) {
    auto& client = *clients_.emplace_back(std::make_unique<RemoteClient>(main_, options));
    client.setAddress("127.0.0.1");
    client.setPort(portText());
    client.setConnectionKey(key);
    client.setConfiguration(kMode);
    client.onFrame = [&pictures](const std::shared_ptr<const RemoteFrame>& frame) {
      ++pictures.count;
      if (frame->width() != kMode.width || frame->height() != kMode.height) ++pictures.notFullSize;
    };
    return client;
  }

  // Connects and waits until both sides say they stream and the first picture has arrived.
  void connectAndStream(RemoteClient& client, const Pictures& pictures) {
    client.connect();
    ASSERT_TRUE(waitFor([&] {
      return client.status() == "Connected · 1920×1080 · target 60 fps" && pictures.count > 0;
    })) << "client: "
        << client.status() << "; host: " << host_->status();
    EXPECT_EQ(host_->status(), "Streaming 1920×1080 · requested 60 fps");
    EXPECT_TRUE(host_->connected());
    EXPECT_TRUE(client.connected());
  }

  // The one display the host holds.
  uint32_t hostDisplay() {
    const std::vector<uint32_t> displays = registeredDisplays();
    EXPECT_EQ(displays.size(), 1u);
    return displays.empty() ? 0 : displays.front();
  }

  AsioMainQueue main_;
  uint16_t port_ = 0;
  std::unique_ptr<RemoteHost> host_;
  std::vector<std::unique_ptr<RemoteClient>> clients_;
};

TEST_F(SessionTest, StreamsAcknowledgedPicturesAndMeasuresTheRoundTrip) {
  // Every reading of the ping clock moves it on by 250 ms, so the round trip reads as a whole
  // multiple of 250 ms once a pong has echoed a ping's time, and as 0 before.
  auto pingClock = std::make_shared<double>(750'000'000.0);
  RemoteClientOptions options;
  options.tickInterval = 100ms;
  options.referenceSeconds = [pingClock] { return *pingClock += 0.25; };
  Pictures pictures;
  RemoteClient& client = addClient(host_->connectionKey(), pictures, options);
  connectAndStream(client, pictures);

  // The encoder holds back after three unacknowledged frames: thirty pictures mean the client's
  // acknowledgements reach it.
  ASSERT_TRUE(waitFor([&] { return pictures.count >= 30; })) << pictures.count;
  EXPECT_EQ(pictures.notFullSize, 0);
  ASSERT_NE(client.latestFrame(), nullptr);
  EXPECT_EQ(client.latestFrame()->width(), 1920);
  EXPECT_EQ(client.latestFrame()->height(), 1080);

  ASSERT_TRUE(waitFor([&] { return client.rttMilliseconds() > 0; }));
  EXPECT_EQ(std::fmod(client.rttMilliseconds(), 250.0), 0.0) << client.rttMilliseconds();
  EXPECT_TRUE(client.connected());
  EXPECT_EQ(host_->status(), "Streaming 1920×1080 · requested 60 fps");
}

TEST_F(SessionTest, ClientInputReachesTheVirtualDisplay) {
  Pictures pictures;
  RemoteClient& client = addClient(host_->connectionKey(), pictures);
  connectAndStream(client, pictures);
  client.setInputEnabled(true);
  ASSERT_TRUE(client.inputEnabled());

  DisplayObserver display(hostDisplay());
  ASSERT_TRUE(display.connected());
  // The host injects on its own connection; the observer's queries may overtake it, so state is
  // awaited rather than sampled once.
  auto pointerIs = [&](int x, int y, uint16_t mask) {
    return waitFor([&] {
      const DisplayObserver::Pointer pointer = display.pointer();
      return pointer.x == x && pointer.y == y && (pointer.mask & XCB_BUTTON_MASK_1) == mask;
    });
  };
  auto keyIs = [&](bool down) {
    return waitFor([&] { return display.keyIsDown(kXKeycodeA) == down; });
  };

  // 0.25 × 1919 and 0.5 × 1079, rounded: the fractions span first to last pixel.
  client.send(pointerInput(Kind::move, 0.25, 0.5));
  EXPECT_TRUE(pointerIs(480, 540, 0));
  client.send(pointerInput(Kind::mouseDown, 0.25, 0.5));
  EXPECT_TRUE(pointerIs(480, 540, XCB_BUTTON_MASK_1));
  client.send(pointerInput(Kind::mouseUp, 0.25, 0.5));
  EXPECT_TRUE(pointerIs(480, 540, 0));

  client.send(keyInput(Kind::keyDown, kMacKeyA));
  EXPECT_TRUE(keyIs(true));
  client.send(keyInput(Kind::keyUp, kMacKeyA));
  EXPECT_TRUE(keyIs(false));

  // A key still held when the view stops capturing must not stay stuck on the host.
  client.send(keyInput(Kind::keyDown, kMacKeyA));
  EXPECT_TRUE(keyIs(true));
  client.setInputEnabled(false);
  EXPECT_TRUE(keyIs(false));
}

TEST_F(SessionTest, HostKeepsItsDisplayForTheNextSessionOfTheSameMode) {
  Pictures first;
  RemoteClient& leaving = addClient(host_->connectionKey(), first);
  connectAndStream(leaving, first);
  const uint32_t display = hostDisplay();

  leaving.disconnect("Disconnected");
  EXPECT_EQ(leaving.status(), "Disconnected");
  ASSERT_TRUE(waitFor([&] {
    return host_->status() == "Disconnected · listening on " + portText();
  })) << host_->status();
  EXPECT_FALSE(host_->connected());
  EXPECT_TRUE(host_->running());
  EXPECT_EQ(registeredDisplays(), std::vector<uint32_t>{display});

  Pictures second;
  RemoteClient& next = addClient(host_->connectionKey(), second);
  connectAndStream(next, second);
  EXPECT_EQ(registeredDisplays(), std::vector<uint32_t>{display});
}

TEST_F(SessionTest, StopEndsTheSessionAndRemovesTheDisplay) {
  Pictures pictures;
  RemoteClient& client = addClient(host_->connectionKey(), pictures);
  connectAndStream(client, pictures);
  const uint32_t display = hostDisplay();
  ASSERT_NE(newestXvfbChild(), 0);

  host_->stop();
  ASSERT_TRUE(waitFor([&] { return !host_->stopping(); }));
  EXPECT_EQ(host_->status(), "Stopped");
  EXPECT_FALSE(host_->running());
  EXPECT_FALSE(host_->connected());
  EXPECT_TRUE(waitFor([&] { return !client.connected() && !client.connecting(); }))
      << client.status();

  // The display server ends on the platform's own queue, shortly after the stop completes.
  EXPECT_TRUE(waitFor([&] { return !x11::registeredCookie(display) && newestXvfbChild() == 0; }))
      << "display :" << display << ", server " << newestXvfbChild();
}

TEST_F(SessionTest, WrongKeyIsRefusedOnBothSidesWithoutADisplay) {
  std::string otherKey = RemoteAuthentication::newKey();
  ASSERT_NE(otherKey, host_->connectionKey());
  Pictures pictures;
  RemoteClient& client = addClient(otherKey, pictures);
  client.connect();

  const std::string listening = " · listening on " + portText();
  ASSERT_TRUE(waitFor([&] {
    return !client.connecting() && !client.connected() && host_->status().ends_with(listening);
  })) << "client: "
      << client.status() << "; host: " << host_->status();
  EXPECT_EQ(client.status(), RemoteError::authentication().what());
  EXPECT_FALSE(host_->connected());
  EXPECT_TRUE(host_->running());
  EXPECT_EQ(pictures.count, 0);
  EXPECT_TRUE(registeredDisplays().empty());
}

}  // namespace
}  // namespace veltra

namespace veltra {
namespace {

// A real X client nobody here wrote, as the desktop: xterm, started the way a desktop session
// starts its programs, with processes outside its group beside it.
namespace fs = std::filesystem;

class TerminalSessionTest : public SessionTest {
 protected:
  std::string sessionChoice() override {
    const std::string line = (scratch_.path() / "line").string();
    return escapingProcesses(scratch_.path()) + "exec xterm -geometry 160x50+0+0 -e sh -c '" +
           "touch " + (scratch_.path() / "ready").string() + "; IFS= read -r typed; " +
           "printf %s \"$typed\" > " + line + ".new; mv " + line + ".new " + line + "; sleep 600'";
  }

  TempDirectory scratch_;
};

// A key of the US layout Xvfb starts with: its wire code and whether it takes shift.
struct TypedKey {
  char character;
  uint16_t key;
  bool shift;
};
constexpr TypedKey kTyped[] = {
    {'H', 4, true},   {'i', 34, false}, {',', 43, false}, {' ', 49, false}, {'V', 9, true},
    {'e', 14, false}, {'!', 18, true},  {'(', 25, true},  {'x', 7, false},  {'_', 27, true},
    {')', 29, true},  {'#', 20, true},  {'2', 19, false}, {'?', 44, true},  {'"', 39, true},
    {';', 41, false}, {'.', 47, false}};
constexpr uint16_t kShift = 56;
constexpr uint16_t kReturn = 36;
constexpr uint64_t kShiftFlag = 0x20000;

TEST_F(TerminalSessionTest, AClientTypesIntoARealTerminalThatEndsWithEverythingOnStop) {
  if (findExecutable("xterm").empty()) GTEST_SKIP() << "xterm is not installed";
  Pictures pictures;
  RemoteClient& client = addClient(host_->connectionKey(), pictures);
  connectAndStream(client, pictures);
  client.setInputEnabled(true);
  std::vector<pid_t> escaped = escapedPids(scratch_.path());
  ASSERT_EQ(escaped.size(), 2u);
  // The terminal has the keyboard where the pointer is (no window manager decides otherwise);
  // keys typed before its window is there would go nowhere.
  client.send(pointerInput(Kind::move, 0.1, 0.1));
  DisplayObserver display(hostDisplay());
  ASSERT_TRUE(waitFor(
      [&] { return fs::exists(scratch_.path() / "ready") && display.windowUnderPointer(); }));

  std::string expected;
  auto press = [&](uint16_t key, uint64_t flags) {
    RemoteInput input = keyInput(Kind::keyDown, key);
    input.flags = flags;
    client.send(input);
    input.kind = Kind::keyUp;
    client.send(input);
  };
  for (const TypedKey& typed : kTyped) {
    if (typed.shift) {
      RemoteInput shift = keyInput(Kind::keyDown, kShift);
      shift.flags = kShiftFlag;
      client.send(shift);
    }
    press(typed.key, typed.shift ? kShiftFlag : 0);
    if (typed.shift) client.send(keyInput(Kind::keyUp, kShift));
    expected += typed.character;
  }
  press(kReturn, 0);

  const fs::path line = scratch_.path() / "line";
  ASSERT_TRUE(waitFor([&] { return fs::exists(line); }));
  std::ifstream typedFile(line);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(typedFile), {}), expected);

  host_->stop();
  ASSERT_TRUE(waitFor([&] { return !host_->stopping(); })) << host_->status();
  EXPECT_TRUE(allEnd(escaped, 2s));
}

}  // namespace
}  // namespace veltra
