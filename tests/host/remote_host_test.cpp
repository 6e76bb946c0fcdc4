#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <atomic>
#include <string>
#include <thread>

#include "host/RemoteHost.h"
#include "protocol/RemoteInput.h"
#include "remote_host_fixture.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::FakeHostPlatform;
using test::json;
using test::PlatformRecord;
using test::RemoteHostTest;
using test::TestClient;

TEST_F(RemoteHostTest, StartChecksRunInOrderAndTheFirstFailureIsReported) {
  RemoteHost& host = makeHost();
  EXPECT_EQ(host.status(), "Stopped");
  EXPECT_EQ(host.port(), port_);
  EXPECT_EQ(host.connectionKey().size(), 44u);
  host.requestPermissions();
  EXPECT_EQ(host.status(),
            "Veltra Host needs Xvfb for the virtual display and XTEST for remote input; install "
            "the xvfb package and restart Host.");

  record_->screenPermission = false;
  record_->inputPermission = false;
  host.setConnectionKey("not a key");
  host.setPort(80);
  host.start();
  EXPECT_EQ(host.status(), "Screen capture needs the Xvfb virtual display server.");
  record_->screenPermission = true;
  host.start();
  EXPECT_EQ(host.status(), "Remote input needs the XTEST extension.");
  record_->inputPermission = true;
  host.start();
  EXPECT_EQ(host.status(), "Use the 32-byte connection key shown by Veltra Host.");
  host.setConnectionKey("  " + RemoteAuthentication::newKey() + "\n");
  host.start();
  EXPECT_EQ(host.status(), "Use a port between 1024 and 65535.");
  host.setPort(1023);
  host.start();
  EXPECT_EQ(host.status(), "Use a port between 1024 and 65535.");
  EXPECT_FALSE(host.running());

  // The trimmed key and a valid port pass.
  host.setPort(port_);
  startListening();
  EXPECT_TRUE(host.running());
  EXPECT_EQ(statuses_.at(statuses_.size() - 2), "Starting listener…");
}

TEST_F(RemoteHostTest, StartAndStopTwiceRunOnce) {
  RemoteHost& host = makeHost();
  startListening();
  host.start();  // ignored: a second listener would fail to bind and say so
  main_.runFor(100ms);
  EXPECT_EQ(host.status(),
            "Listening on port " + std::to_string(port_) + " · LAN / private network");

  statuses_.clear();
  host.stop();
  host.stop();
  ASSERT_TRUE(waitFor([&] { return !host.stopping(); }));
  EXPECT_EQ(host.status(), "Stopped");
  EXPECT_EQ(statuses_, std::vector<std::string>{"Stopped"});
  EXPECT_FALSE(host.running());

  // The port is free again, and hosting starts anew.
  startListening();
}

TEST_F(RemoteHostTest, AListenerThatFailsLeavesItsReasonAsTheFinalStatus) {
  // Someone else holds the port: binding fails after start() returned.
  asio::io_context context;
  asio::ip::tcp::acceptor squatter(context, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port_));
  RemoteHost& host = makeHost();
  host.start();
  ASSERT_TRUE(waitFor([&] { return !host.running() && !host.stopping(); }));
  main_.runFor(100ms);
  EXPECT_EQ(host.status(), "Address already in use");
}

TEST_F(RemoteHostTest, ASessionStreamsAnswersPingsAndHandlesInputOnlyWhileCapturing) {
  RemoteHost& host = makeHost();
  startListening();
  auto client = connect();
  EXPECT_EQ(host.status(), "Authenticated · waiting for display configuration");

  // Before the stream runs, input and acknowledgements go nowhere; pings are answered.
  RemoteInput click{.kind = RemoteInput::Kind::mouseDown, .x = 1, .y = 1};
  Bytes clickJson = click.encodeJson();
  client->send(RemotePacket::input, clickJson);
  client->send(RemotePacket::frameAck);
  client->send(RemotePacket::ping, std::string("12.5"));
  client->send(RemotePacket::ping);
  ASSERT_TRUE(waitFor([&] { return client->received(RemotePacket::pong).size() == 2; }));
  EXPECT_EQ(client->received(RemotePacket::pong), (std::vector<std::string>{"12.5", ""}));
  EXPECT_TRUE(record_->inputEvents.empty());

  client->send(RemotePacket::configuration, json({1920, 1080, 60}));
  ASSERT_TRUE(statusIs("Streaming 1920×1080 · requested 60 fps"));
  ASSERT_TRUE(waitFor([&] { return !client->received(RemotePacket::configuration).empty(); }));
  EXPECT_EQ(client->received(RemotePacket::configuration).front(), json({1920, 1080, 60}));
  EXPECT_EQ(record_->activitiesLive, 1);
  EXPECT_EQ(record_->activityReasons.front(), "Veltra remote desktop session");
  {
    std::lock_guard lock(record_->mutex);
    EXPECT_EQ(record_->encoderAcks, 0);
  }

  // A second configuration is ignored: no second display, the stream keeps its mode.
  client->send(RemotePacket::configuration, json({2560, 1440, 120}));
  client->send(RemotePacket::input, clickJson);
  client->send(RemotePacket::input, std::string("{\"kind\":"));  // dropped, session goes on
  client->send(RemotePacket::frameAck);
  client->send(RemotePacket::frameAck);
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard lock(record_->mutex);
    return record_->encoderAcks == 2;
  }));
  EXPECT_EQ(record_->displaysCreated.size(), 1u);
  EXPECT_EQ(host.status(), "Streaming 1920×1080 · requested 60 fps");
  EXPECT_EQ(record_->inputEvents, (std::vector<std::string>{"motion 1919,1079", "button 1 down"}));

  // releaseInput lets go of what the client held.
  client->send(RemotePacket::releaseInput);
  ASSERT_TRUE(waitFor([&] { return record_->inputEvents.size() == 3; }));
  EXPECT_EQ(record_->inputEvents.back(), "button 1 up");

  // The client leaves: one teardown, the display stays for the next session.
  client->cancel();
  ASSERT_TRUE(statusIs(clientLeft()));
  EXPECT_FALSE(host.connected());
  EXPECT_EQ(record_->activitiesLive, 0);
  EXPECT_TRUE(record_->displaysReleased.empty());
  std::lock_guard lock(record_->mutex);
  EXPECT_EQ(record_->encoderStops, 1);
}

TEST_F(RemoteHostTest, BadConfigurationsEndTheSessionWithTheirText) {
  RemoteHost& host = makeHost();
  startListening();

  auto client = connect();
  client->send(RemotePacket::configuration, json({1280, 720, 60}));
  ASSERT_TRUE(statusIs("Invalid remote protocol packet." + listeningSuffix()));
  ASSERT_TRUE(waitFor([&] { return client->ended(); }));
  EXPECT_EQ(client->received(RemotePacket::failure),
            std::vector<std::string>{"Invalid remote protocol packet."});

  // Not JSON at all: the decoder's text, whatever it is, on both sides.
  auto second = connect();
  second->send(RemotePacket::configuration, std::string("nonsense"));
  ASSERT_TRUE(waitFor([&] { return second->ended(); }));
  ASSERT_EQ(second->received(RemotePacket::failure).size(), 1u);
  EXPECT_EQ(host.status(), second->received(RemotePacket::failure).front() + listeningSuffix());

  // The display cannot be created.
  record_->displayError = "Virtual display creation failed.";
  auto third = connect();
  third->send(RemotePacket::configuration, json({1920, 1080, 60}));
  ASSERT_TRUE(statusIs("Virtual display creation failed." + listeningSuffix()));

  // The encoder cannot be made.
  record_->displayError.clear();
  record_->captureError = "Video encoder unavailable.";
  auto fourth = connect();
  fourth->send(RemotePacket::configuration, json({1920, 1080, 60}));
  ASSERT_TRUE(statusIs("Video encoder unavailable." + listeningSuffix()));
  ASSERT_TRUE(waitFor([&] { return fourth->ended(); }));
  EXPECT_EQ(fourth->received(RemotePacket::failure),
            std::vector<std::string>{"Video encoder unavailable."});

  // The display never shows up for capture.
  record_->captureError.clear();
  record_->displayFound = false;
  auto fifth = connect();
  fifth->send(RemotePacket::configuration, json({1920, 1080, 60}));
  ASSERT_TRUE(statusIs("Virtual display is not available to screen capture." + listeningSuffix()));
  EXPECT_EQ(record_->activitiesBegun, 0);
}

TEST_F(RemoteHostTest, DisplaysAreReusedForTheSameModeAndReplacedForAnother) {
  RemoteHost& host = makeHost();
  startListening();
  for (const RemoteConfiguration& mode :
       {RemoteConfiguration{1920, 1080, 60}, RemoteConfiguration{1920, 1080, 60},
        RemoteConfiguration{2560, 1440, 120}}) {
    auto client = connect();
    client->send(RemotePacket::configuration, json(mode));
    ASSERT_TRUE(waitFor([&] { return host.status().starts_with("Streaming"); }));
    client->cancel();
    ASSERT_TRUE(statusIs(clientLeft()));
  }
  ASSERT_EQ(record_->displaysCreated.size(), 2u);
  EXPECT_EQ(record_->displaysCreated[1], (RemoteConfiguration{2560, 1440, 120}));
  EXPECT_EQ(record_->displaysReleased, std::vector<uint32_t>{7});

  host.stop();
  ASSERT_TRUE(waitFor([&] { return !host.stopping(); }));
  EXPECT_EQ(host.status(), "Stopped");
  EXPECT_EQ(record_->displaysReleased, (std::vector<uint32_t>{7, 8}));
}

// A display server can die under a session (killed, crashed). The next session of the same mode
// must not be handed the dead display, whose capture could only fail again.
TEST_F(RemoteHostTest, ADisplayThatDiedIsReplacedForTheNextSessionOfTheSameMode) {
  RemoteHost& host = makeHost();
  startListening();
  auto first = stream();
  ASSERT_EQ(record_->displaysCreated.size(), 1u);
  record_->deadDisplays.insert(7);
  std::function<void(std::string)> fail;
  {
    std::lock_guard lock(record_->mutex);
    fail = record_->encoderFailure;
  }
  std::thread([fail] { fail("Virtual display connection lost."); }).join();
  ASSERT_TRUE(statusIs("Virtual display connection lost." + listeningSuffix()));

  auto second = stream();
  EXPECT_EQ(host.status(), "Streaming 1920×1080 · requested 60 fps");
  ASSERT_EQ(record_->displaysCreated.size(), 2u);
  EXPECT_EQ(record_->displaysReleased, std::vector<uint32_t>{7});
  // A display that is still alive is kept as before.
  second->cancel();
  ASSERT_TRUE(statusIs(clientLeft()));
  auto third = stream();
  EXPECT_EQ(record_->displaysCreated.size(), 2u);
}

TEST_F(RemoteHostTest, AClientThatLeavesWhileItsDisplayOrCaptureStartsGetsNothingMore) {
  RemoteHost& host = makeHost();
  startListening();

  // Leaves while the display is being created.
  auto client = configureWithHeldDisplay();
  ASSERT_TRUE(client);
  client->cancel();
  ASSERT_TRUE(statusIs(clientLeft()));
  platform_->completeDisplay();
  main_.runFor(50ms);
  EXPECT_EQ(host.status(), clientLeft());
  // The late display is kept for the next session, which is served normally.
  record_->holdDisplays = false;
  auto next = stream();
  EXPECT_EQ(record_->displaysCreated.size(), 1u);
  next->cancel();
  ASSERT_TRUE(statusIs(clientLeft()));

  // Leaves while the capture looks for its display.
  record_->displayFound = false;
  auto late = connect();
  late->send(RemotePacket::configuration, json({1920, 1080, 60}));
  main_.runFor(60ms);
  late->cancel();
  ASSERT_TRUE(statusIs(clientLeft()));
  record_->displayFound = true;
  main_.runFor(300ms);
  EXPECT_EQ(host.status(), clientLeft());
  EXPECT_TRUE(late->received(RemotePacket::failure).empty());
  EXPECT_TRUE(late->received(RemotePacket::configuration).empty());
  EXPECT_EQ(record_->activitiesBegun, 1);
}

TEST_F(RemoteHostTest, OneClientAtATime) {
  RemoteHost& host = makeHost();
  startListening();
  auto first = stream();

  // A second client's TCP connection is closed before any handshake. It is read on a thread of
  // its own: the host decides on the main queue, which must keep running meanwhile.
  std::atomic<bool> closed = false;
  asio::error_code error;
  std::thread intruder([&] {
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    socket.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port_));
    std::array<uint8_t, 1> byte{};
    asio::read(socket, asio::buffer(byte), error);
    closed = true;
  });
  EXPECT_TRUE(waitFor([&] { return closed.load(); }));
  intruder.join();
  EXPECT_EQ(error, asio::error::eof);

  first->send(RemotePacket::ping, std::string("1"));
  ASSERT_TRUE(waitFor([&] { return first->received(RemotePacket::pong).size() == 1; }));
  EXPECT_EQ(host.status(), "Streaming 1920×1080 · requested 60 fps");
}

TEST_F(RemoteHostTest, TheWatchdogCancelsASilentClient) {
  RemoteHost::Options options;
  options.watchdogInterval = 50ms;
  options.silenceLimit = 400ms;
  RemoteHost& host = makeHost(options);
  startListening();
  auto client = stream();

  // Pings keep it alive past the limit.
  for (int i = 0; i < 8; ++i) {
    client->send(RemotePacket::ping, std::string("1"));
    main_.runFor(100ms);
  }
  EXPECT_TRUE(host.connected());

  // Silence from the last ping on (the host hears it a moment after this).
  const auto silentFrom = std::chrono::steady_clock::now();
  client->send(RemotePacket::ping, std::string("1"));
  ASSERT_TRUE(statusIs("Disconnected" + listeningSuffix()));
  const auto silence = std::chrono::steady_clock::now() - silentFrom;
  EXPECT_GE(silence, 400ms);
  EXPECT_TRUE(waitFor([&] { return client->ended(); }));
}

TEST_F(RemoteHostTest, StopDuringConfigurationWaitsThenEndsStopped) {
  RemoteHost& host = makeHost();
  startListening();
  auto client = configureWithHeldDisplay();
  ASSERT_TRUE(client);

  host.stop();
  main_.runFor(100ms);
  EXPECT_TRUE(host.stopping());  // waiting for the configuration
  platform_->completeDisplay();
  ASSERT_TRUE(waitFor([&] { return !host.stopping(); }));
  EXPECT_EQ(host.status(), "Stopped");
  // The display that arrived late is removed with the rest.
  EXPECT_EQ(record_->displaysReleased, std::vector<uint32_t>{7});
  EXPECT_TRUE(waitFor([&] { return client->ended(); }));
}

TEST_F(RemoteHostTest, CaptureFailuresReachTheClientAndTheStatus) {
  makeHost();
  startListening();
  auto client = stream();
  std::function<void(std::string)> fail;
  {
    std::lock_guard lock(record_->mutex);
    fail = record_->encoderFailure;
  }
  // As the encoder does: from its own thread.
  std::thread([fail] { fail("Encoding failed: -22"); }).join();
  ASSERT_TRUE(statusIs("Encoding failed: -22" + listeningSuffix()));
  ASSERT_TRUE(waitFor([&] { return client->ended(); }));
  EXPECT_EQ(client->received(RemotePacket::failure),
            std::vector<std::string>{"Encoding failed: -22"});
  EXPECT_EQ(record_->activitiesLive, 0);
}

// While streaming, a large video frame is usually still being written when the capture fails;
// the failure behind it must still reach the client before the connection closes.
TEST_F(RemoteHostTest, AFailureReachesTheClientEvenBehindAVideoFrameInFlight) {
  makeHost();
  startListening();
  auto client = stream();
  std::function<void(std::string)> fail;
  std::shared_ptr<PacketSender> sender;
  {
    std::lock_guard lock(record_->mutex);
    fail = record_->encoderFailure;
    sender = record_->sender.lock();
  }
  std::thread([fail, sender] {
    // More than loopback's socket buffers take at once.
    sender->send(RemotePacket::videoFrame, Bytes(6 << 20, 0x17));
    fail("Virtual display connection lost.");
  }).join();
  ASSERT_TRUE(statusIs("Virtual display connection lost." + listeningSuffix()));
  ASSERT_TRUE(waitFor([&] { return client->ended(); }));
  EXPECT_EQ(client->received(RemotePacket::videoFrame).size(), 1u);
  EXPECT_EQ(client->received(RemotePacket::failure),
            std::vector<std::string>{"Virtual display connection lost."});
}

TEST_F(RemoteHostTest, AWrongKeyEndsTheAttemptWithTheAuthenticationText) {
  RemoteHost& host = makeHost();
  startListening();
  TestClient stranger(main_, port_, RemoteAuthentication::newKey());
  ASSERT_TRUE(waitFor([&] { return stranger.ended(); }));
  EXPECT_EQ(stranger.endReason(), RemoteError::authentication().what());
  ASSERT_TRUE(waitFor([&] { return host.status().ends_with(listeningSuffix()); }));
  EXPECT_FALSE(host.connected());
}

TEST_F(RemoteHostTest, DisconnectAndDestructionAreSafeMidSession) {
  RemoteHost& host = makeHost();
  startListening();
  auto client = stream();
  host.disconnect();
  ASSERT_TRUE(statusIs("Disconnected" + listeningSuffix()));

  auto again = stream();
  // Destroying the host mid-session releases everything and says nothing.
  host_.reset();
  EXPECT_TRUE(waitFor([&] { return again->ended(); }));
  main_.runFor(50ms);
}

}  // namespace
}  // namespace veltra
