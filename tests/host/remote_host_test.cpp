#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <atomic>
#include <string>
#include <thread>

#include "host/RemoteHost.h"
#include "host_test_support.h"
#include "protocol/RemoteInput.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::FakeHostPlatform;
using test::PlatformRecord;
using test::TestClient;

constexpr auto kBound = 20s;

std::string json(const RemoteConfiguration& configuration) {
  Bytes bytes = configuration.encodeJson();
  return std::string(bytes.begin(), bytes.end());
}

class RemoteHostTest : public ::testing::Test {
 protected:
  RemoteHostTest() : record_(std::make_shared<PlatformRecord>()) {}

  RemoteHost& makeHost(RemoteHost::Options options = {}) {
    auto platform = std::make_unique<FakeHostPlatform>(main_, record_);
    platform_ = platform.get();
    host_ = std::make_unique<RemoteHost>(main_, std::move(platform), std::move(options));
    host_->setPort(port_);
    lastStatus_ = host_->status();
    host_->changes().add([this] {
      if (host_->status() != lastStatus_) {
        lastStatus_ = host_->status();
        statuses_.push_back(lastStatus_);
      }
    });
    return *host_;
  }

  bool waitFor(const std::function<bool()>& condition) { return main_.runUntil(condition, kBound); }
  bool statusIs(const std::string& status) {
    return waitFor([&] { return host_->status() == status; });
  }
  std::string listeningSuffix() const { return " · listening on " + std::to_string(port_); }
  // What the host says when its client closes the connection: the wire's own wording, which is
  // the same in both roles.
  std::string clientLeft() const { return "Host closed the connection." + listeningSuffix(); }

  void startListening() {
    host_->start();
    ASSERT_TRUE(
        statusIs("Listening on port " + std::to_string(port_) + " · LAN / private network"));
  }

  std::unique_ptr<TestClient> connect() {
    auto client = std::make_unique<TestClient>(main_, port_, host_->connectionKey());
    EXPECT_TRUE(waitFor([&] { return client->ready() && host_->connected(); }));
    return client;
  }

  // A client whose session waits for its display: the creation is held until completeDisplay().
  std::unique_ptr<TestClient> configureWithHeldDisplay() {
    record_->holdDisplays = true;
    auto client = connect();
    client->send(RemotePacket::configuration, json({1920, 1080, 60}));
    if (!waitFor([&] { return record_->heldCompletions.size() == 1; })) return nullptr;
    return client;
  }

  // A client whose session streams 1920×1080 at 60 fps.
  std::unique_ptr<TestClient> stream() {
    auto client = connect();
    client->send(RemotePacket::configuration, json({1920, 1080, 60}));
    EXPECT_TRUE(statusIs("Streaming 1920×1080 · requested 60 fps"));
    EXPECT_TRUE(waitFor([&] { return !client->received(RemotePacket::configuration).empty(); }));
    return client;
  }

  AsioMainQueue main_;
  std::shared_ptr<PlatformRecord> record_;
  FakeHostPlatform* platform_ = nullptr;
  uint16_t port_ = test::freePort();
  std::unique_ptr<RemoteHost> host_;
  std::string lastStatus_;
  std::vector<std::string> statuses_;  // every status the host showed, in order
};

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
