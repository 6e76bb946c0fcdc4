// A whole session: the real host on a real Xvfb and the real client, in one process on one main
// queue, over loopback TCP.

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cmath>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "client/RemoteClient.h"
#include "harness/xvfb.h"
#include "host/RemoteHost.h"
#include "host/x11/X11Connection.h"
#include "host/x11/X11HostPlatform.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "support/AsioMainQueue.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using Kind = RemoteInput::Kind;

// The displays this process has registered. Only the host under test creates any, so this is
// how the test finds the host's display, which the host does not publish.
std::vector<uint32_t> registeredDisplays() {
  std::vector<uint32_t> displays;
  for (uint32_t id = 0; id <= 1000; ++id)
    if (x11::registeredCookie(id)) displays.push_back(id);
  return displays;
}

struct Viewer {
  Viewer(MainQueue& main, const RemoteClientOptions& options) : client(main, options) {}
  RemoteClient client;
  int pictures = 0;
  int notFullSize = 0;
};

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    // Without something drawing, the host would send one picture and then wait for the screen
    // to change. Quoted for the shell that starts it inside the display.
    host_->setSessionChoice("'" VELTRA_TEST_PATTERN_PROGRAM "'");
    host_->setPort(port_);
    host_->start();
    ASSERT_TRUE(waitFor([&] { return host_->status().starts_with("Listening on port "); }))
        << host_->status();
  }

  void TearDown() override {
    viewers_.clear();
    host_->stop();
    EXPECT_TRUE(waitFor([&] { return !host_->stopping(); })) << host_->status();
  }

  bool waitFor(const std::function<bool()>& condition) {
    return main_.runUntil(condition, test::kPatience);
  }

  // A client as a user types it in, counting the pictures its view is given.
  Viewer& addViewer(const std::string& key, const RemoteClientOptions& options = {}) {
    Viewer& viewer = viewers_.emplace_back(main_, options);
    viewer.client.setAddress("127.0.0.1");
    viewer.client.setPort(std::to_string(port_));
    viewer.client.setConnectionKey(key);
    viewer.client.setConfiguration({1920, 1080, 60});
    viewer.client.onFrame = [&viewer](const std::shared_ptr<const RemoteFrame>& frame) {
      ++viewer.pictures;
      if (frame->width() != 1920 || frame->height() != 1080) ++viewer.notFullSize;
    };
    return viewer;
  }

  // Connects; whether both sides then say they stream and the first picture has arrived.
  bool streams(Viewer& viewer) {
    viewer.client.connect();
    return waitFor([&] {
      return viewer.client.status() == "Connected · 1920×1080 · target 60 fps" &&
             host_->status() == "Streaming 1920×1080 · requested 60 fps" && viewer.pictures > 0;
    });
  }

  AsioMainQueue main_;
  const uint16_t port_ = test::freePort();
  const std::unique_ptr<RemoteHost> host_ =
      std::make_unique<RemoteHost>(main_, makeX11HostPlatform(main_));
  std::list<Viewer> viewers_;  // destroyed before the host
};

TEST_F(SessionTest, ClientsTakeTurnsOnOneDisplayWithTheirInputUntilStopRemovesIt) {
  const std::string listening = " · listening on " + std::to_string(port_);
  Viewer& stranger = addViewer(RemoteAuthentication::newKey());
  stranger.client.connect();
  ASSERT_TRUE(waitFor([&] {
    return !stranger.client.connecting() && host_->status().ends_with(listening);
  })) << stranger.client.status()
      << "; host: " << host_->status();
  EXPECT_EQ(stranger.client.status(), RemoteError::authentication().what());
  EXPECT_TRUE(registeredDisplays().empty());

  // Every reading of the ping clock moves it on by 250 ms, so the round trip reads as a whole
  // multiple of 250 ms once a pong has echoed a ping's time, and as 0 before.
  auto pingClock = std::make_shared<double>(750'000'000.0);
  RemoteClientOptions options;
  options.tickInterval = 100ms;
  options.referenceSeconds = [pingClock] { return *pingClock += 0.25; };
  Viewer& first = addViewer(host_->connectionKey(), options);
  ASSERT_TRUE(streams(first)) << first.client.status() << "; host: " << host_->status();
  // The encoder holds back after three unacknowledged frames: thirty pictures mean the client's
  // acknowledgements reach it.
  ASSERT_TRUE(waitFor([&] { return first.pictures >= 30; })) << first.pictures;
  EXPECT_EQ(first.notFullSize, 0);
  ASSERT_TRUE(waitFor([&] { return first.client.rttMilliseconds() > 0; }));
  EXPECT_EQ(std::fmod(first.client.rttMilliseconds(), 250.0), 0.0);

  // Input lands on the display, as another X client sees it. The host injects on its own
  // connection, which these queries may overtake, so state is awaited rather than sampled.
  ASSERT_EQ(registeredDisplays().size(), 1u);
  const uint32_t display = registeredDisplays().front();
  const auto observer = x11::Connection::open(display);
  ASSERT_TRUE(observer);
  xcb_connection_t* c = observer->get();
  first.client.setInputEnabled(true);
  // 0.25 × 1919 and 0.5 × 1079, rounded: the fractions span first to last pixel.
  for (const Kind kind : {Kind::move, Kind::mouseDown, Kind::mouseUp}) {
    first.client.send({.kind = kind, .x = 0.25, .y = 0.5});
    EXPECT_TRUE(waitFor([&] {
      x11::Reply<xcb_query_pointer_reply_t> pointer(
          xcb_query_pointer_reply(c, xcb_query_pointer(c, observer->root()), nullptr));
      return pointer && pointer->root_x == 480 && pointer->root_y == 540 &&
             ((pointer->mask & XCB_BUTTON_MASK_1) != 0) == (kind == Kind::mouseDown);
    }));
  }
  // Wire key 0 ('A') is X keycode 38. A key still held when the view stops capturing must not
  // stay stuck on the host.
  const auto keyIs = [&](bool down) {
    return waitFor([&] {
      x11::Reply<xcb_query_keymap_reply_t> keys(
          xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
      return keys && ((keys->keys[38 / 8] >> (38 % 8) & 1) != 0) == down;
    });
  };
  for (const Kind kind : {Kind::keyDown, Kind::keyUp, Kind::keyDown}) {
    first.client.send({.kind = kind, .key = 0});
    EXPECT_TRUE(keyIs(kind == Kind::keyDown));
  }
  first.client.setInputEnabled(false);
  EXPECT_TRUE(keyIs(false));

  // The next client of the same mode gets the same display.
  first.client.disconnect("Disconnected");
  ASSERT_TRUE(waitFor([&] { return host_->status() == "Disconnected" + listening; }))
      << host_->status();
  Viewer& next = addViewer(host_->connectionKey());
  ASSERT_TRUE(streams(next)) << next.client.status() << "; host: " << host_->status();
  EXPECT_EQ(registeredDisplays(), std::vector<uint32_t>{display});

  host_->stop();
  ASSERT_TRUE(waitFor([&] { return !host_->stopping(); }));
  EXPECT_EQ(host_->status(), "Stopped");
  EXPECT_TRUE(waitFor([&] { return !next.client.connected() && !next.client.connecting(); }));
  // The display server ends on the platform's own queue, shortly after the stop completes.
  EXPECT_TRUE(waitFor([&] {
    return !x11::registeredCookie(display) && test::runningChildrenNamed("Xvfb").empty();
  }));
}

}  // namespace
}  // namespace veltra
