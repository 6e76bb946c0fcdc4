// A whole session: the real host on a real Xvfb and the real client, in one process on one main
// queue, over loopback TCP. (Refused keys and the reuse of displays are the host's tests, on its
// faked platform.)

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "client/RemoteClient.h"
#include "harness/xvfb.h"
#include "host/RemoteHost.h"
#include "host/x11/X11Connection.h"
#include "host/x11/X11HostPlatform.h"
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
    host_->stop();
    EXPECT_TRUE(waitFor([&] { return !host_->stopping(); })) << host_->status();
  }

  bool waitFor(const std::function<bool()>& condition) {
    return main_.runUntil(condition, test::kPatience);
  }

  AsioMainQueue main_;
  const uint16_t port_ = test::freePort();
  const std::unique_ptr<RemoteHost> host_ =
      std::make_unique<RemoteHost>(main_, makeX11HostPlatform(main_));
};

TEST_F(SessionTest, PicturesAndInputFlowUntilStopRemovesTheDisplay) {
  // Every reading of the ping clock moves it on by 250 ms, so the round trip reads as a whole
  // multiple of 250 ms once a pong has echoed a ping's time, and as 0 before.
  auto pingClock = std::make_shared<double>(750'000'000.0);
  RemoteClientOptions options;
  options.tickInterval = 100ms;
  options.referenceSeconds = [pingClock] { return *pingClock += 0.25; };
  RemoteClient client(main_, options);  // a client as a user types it in
  client.setAddress("127.0.0.1");
  client.setPort(std::to_string(port_));
  client.setConnectionKey(host_->connectionKey());
  client.setConfiguration({1920, 1080, 60});
  int pictures = 0;
  client.onFrame = [&](const std::shared_ptr<const RemoteFrame>& frame) {
    ++pictures;
    EXPECT_TRUE(frame->width() == 1920 && frame->height() == 1080) << "not the display's size";
  };
  client.connect();
  ASSERT_TRUE(waitFor([&] {
    return client.status() == "Connected · 1920×1080 · target 60 fps" &&
           host_->status() == "Streaming 1920×1080 · requested 60 fps" && pictures > 0;
  })) << client.status()
      << "; host: " << host_->status();
  // The encoder holds back after three unacknowledged frames: thirty pictures mean the client's
  // acknowledgements reach it.
  ASSERT_TRUE(waitFor([&] { return pictures >= 30; }));
  ASSERT_TRUE(waitFor([&] { return client.rttMilliseconds() > 0; }));
  EXPECT_EQ(std::fmod(client.rttMilliseconds(), 250.0), 0.0);

  // Keys land on the display, as another X client sees it (pointers and clicks are the remote
  // window's end-to-end test). The host injects on its own connection, which these queries may
  // overtake, so state is awaited rather than sampled.
  ASSERT_EQ(registeredDisplays().size(), 1u);
  const uint32_t display = registeredDisplays().front();
  const auto observer = x11::Connection::open(display);
  ASSERT_TRUE(observer);
  xcb_connection_t* c = observer->get();
  client.setInputEnabled(true);
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
    client.send({.kind = kind, .key = 0});
    EXPECT_TRUE(keyIs(kind == Kind::keyDown));
  }
  client.setInputEnabled(false);
  EXPECT_TRUE(keyIs(false));

  host_->stop();
  ASSERT_TRUE(waitFor([&] { return !host_->stopping(); }));
  EXPECT_EQ(host_->status(), "Stopped");
  EXPECT_TRUE(waitFor([&] { return !client.connected() && !client.connecting(); }));
  // The display server ends on the platform's own queue, shortly after the stop completes.
  EXPECT_TRUE(waitFor([&] {
    return !x11::registeredCookie(display) && test::runningChildrenNamed("Xvfb").empty();
  }));
}

}  // namespace
}  // namespace veltra
