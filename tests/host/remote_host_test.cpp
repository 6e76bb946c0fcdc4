#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "protocol/RemoteInput.h"
#include "remote_host_fixture.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::json;
using test::RemoteHostTest;
using Strings = std::vector<std::string>;

TEST_F(RemoteHostTest, StartChecksRunInOrderThenItStartsAndStopsOnceAndReportsAFailingListener) {
  RemoteHost& host = makeHost();
  record_->screenPermission = record_->inputPermission = false;
  host.setConnectionKey("not a key");
  host.setPort(80);
  auto startSays = [&](const char* part) {
    host.start();
    EXPECT_NE(host.status().find(part), std::string::npos) << host.status();
  };
  startSays("Xvfb");
  record_->screenPermission = true;
  startSays("XTEST");
  record_->inputPermission = true;
  startSays("key");
  host.setConnectionKey("  " + RemoteAuthentication::newKey() + "\n");  // trimmed
  startSays("port");
  host.setPort(1023);
  startSays("port");
  EXPECT_FALSE(host.running());

  // Past the checks: started and stopped twice, it runs once.
  host.setPort(port_);
  startListening();
  statuses_ = {host.status()};
  host.start();  // ignored: a second listener would fail to bind and say so
  host.stop();
  host.stop();
  ASSERT_TRUE(waitFor([&] { return !host.stopping(); }));
  EXPECT_EQ(statuses_, (Strings{statuses_.front(), "Stopped"}));
  EXPECT_FALSE(host.running());
  // The port is free again (the listener closes on the network thread, around "Stopped"); a
  // listener that fails leaves its reason as the final status.
  asio::io_context context;
  std::optional<asio::ip::tcp::acceptor> squatter;
  ASSERT_TRUE(waitFor([&] {
    try {
      squatter.emplace(context, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port_));
    } catch (const std::system_error&) {
    }
    return squatter.has_value();
  }));
  host.start();
  ASSERT_TRUE(waitFor([&] { return !host.running() && !host.stopping(); }));
  EXPECT_EQ(statuses_.back(), "Address already in use");
}

TEST_F(RemoteHostTest, ASessionStreamsAnswersPingsAndHandlesInputOnlyWhileCapturing) {
  RemoteHost& host = makeHost();
  startListening();
  auto client = connect();
  EXPECT_EQ(host.status(), "Authenticated · waiting for display configuration");

  // Before the stream runs, input and acknowledgements go nowhere.
  const Bytes click =
      RemoteInput{.kind = RemoteInput::Kind::mouseDown, .x = 1, .y = 1}.encodeJson();
  client->send(RemotePacket::input, click);
  client->send(RemotePacket::frameAck);
  client->send(RemotePacket::ping, std::string("12.5"));
  client->send(RemotePacket::ping);
  ASSERT_TRUE(waitFor([&] { return client->received(RemotePacket::pong).size() == 2; }));
  EXPECT_EQ(client->received(RemotePacket::pong), (Strings{"12.5", ""}));
  EXPECT_TRUE(record_->inputEvents.empty());

  client->send(RemotePacket::configuration, json({1920, 1080, 60}));
  ASSERT_TRUE(statusIs("Streaming 1920×1080 · requested 60 fps"));
  ASSERT_TRUE(waitFor([&] { return !client->received(RemotePacket::configuration).empty(); }));
  EXPECT_EQ(client->received(RemotePacket::configuration).front(), json({1920, 1080, 60}));

  // A second configuration is ignored: no second display, the stream keeps its mode.
  client->send(RemotePacket::configuration, json({2560, 1440, 120}));
  client->send(RemotePacket::input, click);
  client->send(RemotePacket::input, std::string("{\"kind\":"));  // dropped, session goes on
  client->send(RemotePacket::frameAck);
  client->send(RemotePacket::frameAck);
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard lock(record_->mutex);
    return record_->encoderAcks == 2;
  }));
  EXPECT_EQ(record_->displaysCreated.size(), 1u);
  EXPECT_EQ(host.status(), "Streaming 1920×1080 · requested 60 fps");
  EXPECT_EQ(record_->inputEvents, (Strings{"motion 1919,1079", "button 1 down", "flush"}));

  client->send(RemotePacket::releaseInput);
  ASSERT_TRUE(waitFor([&] { return record_->inputEvents.size() == 5; }));
  EXPECT_EQ(record_->inputEvents[3], "button 1 up");
  // A client that named no extension gets none, and its extension packets go nowhere.
  client->send(RemotePacket::clipboard, std::string("stray"));
  client->send(RemotePacket::ping);
  ASSERT_TRUE(waitFor([&] { return client->received(RemotePacket::pong).size() == 3; }));
  EXPECT_TRUE(record_->clipboardsStarted.empty());
  EXPECT_TRUE(record_->clipboardTexts.empty());
  EXPECT_TRUE(record_->audioStarted.empty());
  EXPECT_FALSE(client->receivedExtensionPackets());

  // The client leaves: one teardown, the display stays for the next session.
  client->cancel();
  ASSERT_TRUE(statusIs(clientLeft()));
  EXPECT_FALSE(host.connected());
  EXPECT_TRUE(record_->displaysReleased.empty());
  std::lock_guard lock(record_->mutex);
  EXPECT_EQ(record_->encoderStops, 1);
}

TEST_F(RemoteHostTest, NamedExtensionsAreConfirmedAndTheClipboardTravelsOnceEachWay) {
  auto now = RemoteHost::Options::Clock::now();
  RemoteHost::Options options;
  options.now = [&] { return now; };
  RemoteHost& host = makeHost(options);
  startListening();
  auto client = connect();
  const std::string offer =
      R"({"extensions":["clipboard","telepathy","cursor"],"fps":60,"height":1080,"width":1920})";
  client->send(RemotePacket::configuration, offer);
  ASSERT_TRUE(waitFor([&] { return !client->received(RemotePacket::configuration).empty(); }));
  EXPECT_EQ(client->received(RemotePacket::configuration).front(),
            R"({"encoder":"fake264","extensions":["clipboard","cursor"],"fps":60,"height":1080,)"
            R"("width":1920})");
  ASSERT_TRUE(waitFor([&] { return record_->copy != nullptr; }));
  EXPECT_EQ(record_->clipboardsStarted, (std::vector<uint32_t>{7}));
  EXPECT_TRUE(record_->audioStarted.empty());  // not offered

  // A copy in the display goes out once; the client's copy comes in, and when the display then
  // reports it as its own (a program copying the pasted text again), it does not go back.
  record_->copy({.text = "Grüße, 世界 ✓"});
  record_->copy({.text = "Grüße, 世界 ✓"});
  client->send(RemotePacket::clipboard, std::string("Zwölf Boxkämpfer"));
  ASSERT_TRUE(waitFor([&] { return record_->clipboardTexts.size() == 1; }));
  EXPECT_EQ(record_->clipboardTexts[0], "Zwölf Boxkämpfer");
  record_->copy({.text = "Zwölf Boxkämpfer"});
  client->send(RemotePacket::clipboard, std::string("\xC3"));  // not UTF-8: dropped
  record_->copy({.text = {}, .tooLarge = true});
  EXPECT_TRUE(statusIs("Streaming 1920×1080 · requested 60 fps · copied text over 1 MiB not sent"));
  // A burst: the first goes at once, the newest follows once the interval has passed.
  now += 1s;
  record_->copy({.text = "one"});
  record_->copy({.text = "two"});
  record_->copy({.text = "three"});
  ASSERT_TRUE(waitFor([&] { return client->received(RemotePacket::clipboard).size() == 2; }));
  now += ClipboardExchange::kInterval;
  ASSERT_TRUE(waitFor([&] { return client->received(RemotePacket::clipboard).size() == 3; }));
  EXPECT_EQ(client->received(RemotePacket::clipboard), (Strings{"Grüße, 世界 ✓", "one", "three"}));
  EXPECT_EQ(host.status(), "Streaming 1920×1080 · requested 60 fps");
  EXPECT_EQ(record_->clipboardTexts.size(), 1u);

  // The clipboard ends with the session. Where the platform makes no clipboard, the next client
  // gets the other extensions it offered; its sound flows from the confirmation on, to the end.
  client->cancel();
  ASSERT_TRUE(statusIs(clientLeft()));
  EXPECT_FALSE(record_->copy);
  record_->clipboard = false;
  auto next = connect();
  next->send(
      RemotePacket::configuration,
      R"({"extensions":["clipboard","cursor","audio"],"fps":60,"height":1080,"width":1920})");
  ASSERT_TRUE(waitFor([&] {
    return !next->received(RemotePacket::audio).empty() &&
           !next->received(RemotePacket::configuration).empty();
  }));
  ASSERT_EQ(next->types().front(), RemotePacket::configuration);
  EXPECT_EQ(next->received(RemotePacket::configuration).front(),
            R"({"encoder":"fake264","extensions":["cursor","audio"],"fps":60,"height":1080,)"
            R"("width":1920})");
  const AudioPacket later{9, 2'000'000, {1, 2, 3, 4}};
  record_->play(later);
  ASSERT_TRUE(waitFor([&] { return next->received(RemotePacket::audio).size() == 2; }));
  const Bytes first = FakeAudio::kFirst.encode(), second = later.encode();
  EXPECT_EQ(next->received(RemotePacket::audio),
            (Strings{{first.begin(), first.end()}, {second.begin(), second.end()}}));
  next->cancel();
  ASSERT_TRUE(statusIs(clientLeft()));
  EXPECT_FALSE(record_->play);
}

TEST_F(RemoteHostTest, BadConfigurationsEndTheSessionWithTheirTextOnBothSides) {
  makeHost();
  startListening();
  const struct {
    std::function<void()> arrange;
    std::string configuration;
    std::string text;  // "" for the decoder's own
  } cases[] = {
      {[] {}, json({1280, 720, 60}), "Invalid remote protocol packet."},
      {[] {}, "nonsense", ""},
      {[&] { record_->displayError = "Virtual display creation failed."; }, json({1920, 1080, 60}),
       "Virtual display creation failed."},
      {[&] { record_->captureError = "Video encoder unavailable."; }, json({1920, 1080, 60}),
       "Video encoder unavailable."},
      {[&] { record_->displayFound = false; }, json({1920, 1080, 60}),
       "Virtual display is not available to screen capture."},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.configuration + " " + each.text);
    record_->displayError.clear();
    record_->captureError.clear();
    record_->displayFound = true;
    each.arrange();
    auto client = connect();
    client->send(RemotePacket::configuration, each.configuration);
    ASSERT_TRUE(waitFor([&] { return client->ended(); }));
    const Strings failure = client->received(RemotePacket::failure);
    ASSERT_EQ(failure.size(), 1u);
    if (!each.text.empty()) {
      EXPECT_EQ(failure.front(), each.text);
    }
    EXPECT_TRUE(statusIs(failure.front() + listeningSuffix()));
  }
  EXPECT_EQ(record_->activitiesBegun, 0);
}

// A large video frame is usually still being written when the capture fails (here: its display
// server died); the failure must still reach the client.
TEST_F(RemoteHostTest, ACaptureFailureReachesTheClientBehindAFrame) {
  makeHost();
  startListening();
  auto first = stream();
  std::function<void(std::string)> fail;
  std::shared_ptr<PacketSender> sender;
  {
    std::lock_guard lock(record_->mutex);
    fail = record_->encoderFailure;
    sender = record_->sender.lock();
  }
  std::thread([fail, sender] {  // as the encoder does, from its own thread
    sender->send(RemotePacket::videoFrame, Bytes(6 << 20, 0x17));  // more than loopback buffers
    fail("Virtual display connection lost.");
  })
      .join();
  ASSERT_TRUE(statusIs("Virtual display connection lost." + listeningSuffix()));
  ASSERT_TRUE(waitFor([&] { return first->ended(); }));
  EXPECT_EQ(first->received(RemotePacket::videoFrame).size(), 1u);
  EXPECT_EQ(first->received(RemotePacket::failure), Strings{"Virtual display connection lost."});
  EXPECT_EQ(record_->activitiesLive, 0);
}

// What completes after its client left (the display, then the capture's search for it) must
// reach neither that client nor the next session.
TEST_F(RemoteHostTest, AClientThatLeavesWhileItsDisplayOrCaptureStartsGetsNothingMore) {
  makeHost();
  startListening();
  record_->holdDisplays = true;
  auto client = stream();
  client->cancel();
  ASSERT_TRUE(statusIs(clientLeft()));
  platform_->completeDisplay();
  record_->holdDisplays = false;

  record_->displayFound = false;
  auto late = connect();
  late->send(RemotePacket::configuration, json({1920, 1080, 60}));
  ASSERT_TRUE(waitFor([&] {  // the capture is looking for the display
    std::lock_guard lock(record_->mutex);
    return !record_->sender.expired();
  }));
  late->cancel();
  ASSERT_TRUE(statusIs(clientLeft()));
  record_->displayFound = true;

  auto next = stream();
  next->cancel();
  ASSERT_TRUE(statusIs(clientLeft()));
  EXPECT_EQ(record_->displaysCreated.size(), 1u) << "the display that came late is kept";
  EXPECT_EQ(std::ranges::count_if(statuses_, [](auto& s) { return s.starts_with("Streaming"); }),
            1);
  EXPECT_EQ(record_->activitiesBegun, 1);
  EXPECT_TRUE(late->received(RemotePacket::failure).empty());
  EXPECT_TRUE(late->received(RemotePacket::configuration).empty());
}

TEST_F(RemoteHostTest, TheWatchdogCancelsAClientOnlyOnceItIsSilentPastTheLimit) {
  auto now = test::Clock::now();
  RemoteHost::Options options;
  options.watchdogInterval = 5ms;
  options.silenceLimit = 1s;
  options.now = [&now] { return now; };
  RemoteHost& host = makeHost(options);
  startListening();
  auto client = stream();
  for (size_t ping = 1; ping <= 3; ++ping) {  // each ping keeps it alive for another second
    now += 900ms;
    client->send(RemotePacket::ping, std::string("1"));
    ASSERT_TRUE(waitFor([&] { return client->received(RemotePacket::pong).size() == ping; }));
  }
  EXPECT_FALSE(waitFor([&] { return !host.connected(); }, 100ms));
  now += 1001ms;
  EXPECT_TRUE(statusIs(clientLeft()));
  EXPECT_TRUE(waitFor([&] { return client->ended(); }));
}

TEST_F(RemoteHostTest, StopWaitsForAConfigurationAndDisconnectModeChangeAndDestructionAreSafe) {
  RemoteHost& host = makeHost();
  startListening();
  record_->holdDisplays = true;
  auto client = stream();
  host.stop();
  EXPECT_FALSE(waitFor([&] { return !host.stopping(); }, 100ms));
  platform_->completeDisplay();
  ASSERT_TRUE(statusIs("Stopped"));
  EXPECT_EQ(record_->displaysReleased, std::vector<uint32_t>{7});
  EXPECT_TRUE(waitFor([&] { return client->ended(); }));

  record_->holdDisplays = false;
  startListening();
  client = stream();
  host.disconnect();
  ASSERT_TRUE(statusIs(clientLeft()));
  client = connect();  // another mode replaces the display
  client->send(RemotePacket::configuration, json({2560, 1440, 120}));
  ASSERT_TRUE(statusIs("Streaming 2560×1440 · requested 120 fps"));
  EXPECT_EQ(record_->displaysCreated.back(), (RemoteConfiguration{2560, 1440, 120}));
  EXPECT_EQ(record_->displaysReleased, (std::vector<uint32_t>{7, 8}));
  host_.reset();  // releases everything and says nothing
  EXPECT_TRUE(waitFor([&] { return client->ended(); }));
}

}  // namespace
}  // namespace veltra
