#include <gtest/gtest.h>

#include "client/RemoteClient.h"
#include "client_test_support.h"
#include "protocol/Base64.h"
#include "protocol/Heartbeat.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::Session;

constexpr const char* kAddressOrPort = "Enter a host address and a port between 1024 and 65535.";
constexpr const char* kBadKey = "Use the 32-byte connection key shown by Veltra Host.";
constexpr const char* kConnecting = "Connecting and authenticating…";
constexpr const char* kAuthenticated = "Authenticated · preparing remote display…";

std::string keyOfSize(size_t size) {
  return base64Encode(Bytes(size, 0x5a));
}

// A client whose typed values pass every check; nothing needs to listen on the port.
struct Typed {
  test::TestQueue queue{true};
  RemoteClient client{queue};
  Typed() {
    client.setAddress("127.0.0.1");
    client.setPort("9876");
    client.setConnectionKey(keyOfSize(32));
  }
};

TEST(RemoteClientConnect, PortIsAnUnsignedDecimalFrom1024To65535AsTyped) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"1023", false},  {"1024", true},   {"65535", true},
      {"65536", false}, {" 9876", false}, {"9876 ", false},
      {"+9876", true},  {"009876", true}, {"", false},
      {"+", false},     {"-9876", false}, {"0x2694", false},
      {"98 76", false}, {"0", false},     {"99999999999999999999", false}};
  for (const auto& [port, accepted] : cases) {
    SCOPED_TRACE("port \"" + port + "\"");
    Typed typed;
    typed.client.setPort(port);
    typed.client.connect();
    EXPECT_EQ(typed.client.connecting(), accepted);
    EXPECT_EQ(typed.client.status(), accepted ? kConnecting : kAddressOrPort);
  }
}

TEST(RemoteClientConnect, ChecksAddressPortConfigurationAndKeyInThatOrder) {
  Typed typed;
  RemoteClient& client = typed.client;
  client.setAddress(" \t\n\u00a0");
  client.setPort("80");
  client.setConfiguration({1920, 1080, 30});
  client.setConnectionKey(keyOfSize(31));
  client.connect();
  EXPECT_EQ(client.status(), kAddressOrPort);

  client.setAddress("127.0.0.1");
  client.connect();
  EXPECT_EQ(client.status(), kAddressOrPort);

  client.setPort("9876");
  client.connect();
  EXPECT_EQ(client.status(), "Invalid remote protocol packet.");

  client.setConfiguration({2560, 1440, 60});
  for (const std::string& key : {keyOfSize(31), keyOfSize(33), std::string("not base64!"),
                                 std::string(), keyOfSize(16) + keyOfSize(16)}) {
    client.setConnectionKey(key);
    client.connect();
    EXPECT_EQ(client.status(), kBadKey) << key;
  }
  EXPECT_FALSE(client.connecting());
  EXPECT_FALSE(client.connected());
  // A failed check keeps everything typed for the next try.
  EXPECT_EQ(client.address(), "127.0.0.1");
  EXPECT_EQ(client.configuration(), (RemoteConfiguration{2560, 1440, 60}));
}

TEST(RemoteClientConnect, ObserversHearOfEachChangeAfterItIsMade) {
  Typed typed;
  RemoteClient& client = typed.client;
  std::vector<std::string> seen;
  client.changes().add([&] {
    EXPECT_FALSE(client.connecting() && client.connected());
    seen.push_back(client.status() + (client.connecting() ? " +connecting" : ""));
  });
  client.setAddress("127.0.0.1");  // unchanged: nothing to announce
  client.connect();
  // A second connect while connecting changes nothing, not even the status.
  client.setPort("1");
  client.connect();
  EXPECT_TRUE(client.connecting());
  client.disconnect("Stopped");
  client.disconnect("Stopped");
  EXPECT_EQ(seen, (std::vector<std::string>{std::string(kConnecting) + " +connecting",
                                            std::string(kConnecting) + " +connecting", "Stopped"}));
}

TEST(RemoteClientSession, AuthenticatesAsksForItsDisplayAndShowsWhatTheHostConfirmed) {
  Session session;
  RemoteClient& client = *session.client;
  // White space around what was pasted does not matter.
  client.setAddress("  127.0.0.1\n");
  client.setPort(std::to_string(session.host.port()));
  client.setConnectionKey("\n " + session.host.key() + " \t");
  client.connect();
  session.host.accept();
  ASSERT_TRUE(session.runUntil([&] { return client.connected(); })) << client.status();
  EXPECT_FALSE(client.connecting());
  EXPECT_EQ(client.status(), kAuthenticated);

  ASSERT_TRUE(session.runUntil([&] { return !session.host.packets().empty(); }));
  const auto first = session.host.packets().front();
  EXPECT_EQ(first.first, RemotePacket::configuration);
  EXPECT_EQ(RemoteConfiguration::decodeJson(first.second), (RemoteConfiguration{1920, 1080, 120}));

  session.host.send(RemotePacket::configuration, "not even JSON");
  ASSERT_TRUE(session.runUntil([&] { return client.status() != kAuthenticated; }));
  EXPECT_EQ(client.status(), "Connected · 1920×1080 · target 120 fps");

  client.connect();
  EXPECT_EQ(client.status(), "Connected · 1920×1080 · target 120 fps");
  EXPECT_TRUE(client.connected());
}

// An edit made while an attempt is under way waits for the next attempt: the host is asked for,
// and the status shows, the display that connect() validated.
TEST(RemoteClientSession, KeepsTheConfigurationItValidatedForTheWholeAttempt) {
  Session session;
  RemoteClient& client = *session.client;
  client.setConfiguration({2560, 1440, 60});
  session.typeHost();
  client.connect();
  client.setConfiguration({0, 0, 0});
  session.host.accept();
  ASSERT_TRUE(session.runUntil([&] { return session.host.count(RemotePacket::configuration); }));
  EXPECT_EQ(RemoteConfiguration::decodeJson(session.host.payloads(RemotePacket::configuration)[0]),
            (RemoteConfiguration{2560, 1440, 60}));
  client.setConfiguration({1920, 1080, 120});
  session.host.send(RemotePacket::configuration, "{}");
  ASSERT_TRUE(session.runUntil([&] { return client.status() != kAuthenticated; }));
  EXPECT_EQ(client.status(), "Connected · 2560×1440 · target 60 fps");
}

TEST(RemoteClientSession, EveryEndBecomesTheStatusAndKeepsWhatWasTyped) {
  {
    Session session;
    session.connect();
    session.host.send(RemotePacket::failure, "Virtual display could not be created.");
    ASSERT_TRUE(session.runUntil([&] { return !session.client->connected(); }));
    EXPECT_EQ(session.client->status(), "Virtual display could not be created.");
    EXPECT_TRUE(session.runUntil([&] { return session.host.ended(); }));
    EXPECT_EQ(session.client->port(), std::to_string(session.host.port()));
    EXPECT_EQ(session.client->connectionKey(), session.host.key());
  }
  {
    Session session;
    session.connect();
    session.host.close();
    ASSERT_TRUE(session.runUntil([&] { return !session.client->connected(); }));
    EXPECT_EQ(session.client->status(), RemoteConnection::kClosedByPeer);
  }
  {
    RemoteClientOptions options;
    options.connection.handshakeDeadline = 100ms;
    Session session(true, options);
    session.typeHost();
    session.client->connect();
    session.host.acceptAndStall();
    ASSERT_TRUE(session.runUntil([&] { return !session.client->connecting(); }));
    EXPECT_EQ(session.client->status(), RemoteConnection::kTimedOut);
  }
}

TEST(RemoteClientHeartbeat, PingsEachTickAndGivesUpAfterMoreThanTheLimit) {
  Session session;
  RemoteClient& client = *session.client;
  session.connect();
  session.now += 12s;
  session.wall = 812'345'678.25;
  session.queue.tick();
  EXPECT_TRUE(client.connected());
  ASSERT_TRUE(session.runUntil([&] { return session.host.count(RemotePacket::ping) == 1; }));
  EXPECT_EQ(session.host.payloads(RemotePacket::ping)[0], pingPayload(812'345'678.25));

  session.now += 1ns;
  session.queue.tick();
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.status(), RemoteClient::kHeartbeatTimedOut);
  EXPECT_TRUE(session.runUntil([&] { return session.host.ended(); }));
}

TEST(RemoteClientHeartbeat, PongsRefreshTheHeartbeatAndMeasureTheRoundTrip) {
  Session session;
  RemoteClient& client = *session.client;
  session.connect();
  session.wall = 1000.25;
  auto pong = [&](std::string_view payload) {
    const int mark = session.queue.executed();
    session.host.send(RemotePacket::pong, payload);
    return session.runCallbacks(mark, 1);
  };

  ASSERT_TRUE(pong("1000.0"));
  EXPECT_EQ(client.rttMilliseconds(), 250);
  session.now += 11s;
  ASSERT_TRUE(pong("not a number"));
  EXPECT_EQ(client.rttMilliseconds(), 250);
  session.now += 11s;  // 22 s after authentication, 11 s after the last pong
  session.queue.tick();
  EXPECT_TRUE(client.connected());

  ASSERT_TRUE(pong("-1e300"));  // no trip takes that long: not a measurement
  EXPECT_EQ(client.rttMilliseconds(), 250);
  ASSERT_TRUE(pong("2000.0"));  // a host clock ahead of ours never makes it negative
  EXPECT_EQ(client.rttMilliseconds(), 0);
  // A LAN trip well under a millisecond keeps its fraction.
  ASSERT_TRUE(pong("1000.2496"));
  EXPECT_EQ(roundTripText(client.rttMilliseconds()), "0.4 ms");
}

// One decimal below 10 ms, whole milliseconds from there; nothing rounds to a zero or across the
// boundary to "10.0".
TEST(RemoteClientHeartbeat, RoundTripTextShowsWhatTheUserCanRead) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "– ms"},   {0.04, "<0.1 ms"}, {0.4, "0.4 ms"},   {9.94, "9.9 ms"},
      {9.96, "10 ms"}, {10.0, "10 ms"},   {123.0, "123 ms"}, {123.6, "124 ms"}};
  for (const auto& [milliseconds, text] : cases) EXPECT_EQ(roundTripText(milliseconds), text);
}

TEST(RemoteClientHeartbeat, RealTicksKeepTheSessionWhileTheHostAnswers) {
  RemoteClientOptions options;
  options.tickInterval = 20ms;
  options.heartbeatLimit = 200ms;
  Session session(false, options);
  RemoteClient& client = *session.client;
  session.host.setEchoPings(true);
  session.connect();
  session.queue.runFor(600ms);
  EXPECT_TRUE(client.connected()) << client.status();
  EXPECT_GE(session.host.count(RemotePacket::ping), 10);

  session.host.setEchoPings(false);
  ASSERT_TRUE(session.runUntil([&] { return !client.connected(); }, 3s));
  EXPECT_EQ(client.status(), RemoteClient::kHeartbeatTimedOut);
}

TEST(RemoteClientInput, ForwardedOnlyWhileEnabledWithAPictureAndOnlyWhenValid) {
  Session session;
  RemoteClient& client = *session.client;
  session.connect();
  auto& host = session.host;
  auto inputs = [&] {
    std::vector<RemoteInput> decoded;
    for (const Bytes& payload : host.payloads(RemotePacket::input)) {
      decoded.push_back(RemoteInput::decodeJson(payload));
    }
    return decoded;
  };

  client.setInputEnabled(true);  // nothing on screen yet
  EXPECT_FALSE(client.inputEnabled());
  ASSERT_TRUE(session.runUntil([&] { return host.count(RemotePacket::releaseInput) == 1; }));

  host.sendStream(test::testStream(), 0, 1);
  ASSERT_TRUE(session.runUntil([&] { return session.frames.size() == 1; }));
  client.setInputEnabled(true);
  EXPECT_TRUE(client.inputEnabled());
  RemoteInput key{.kind = RemoteInput::Kind::keyDown, .key = 12, .flags = 0x20000};
  RemoteInput outside{.kind = RemoteInput::Kind::move, .x = 1.5, .y = 0.5};
  RemoteInput move{.kind = RemoteInput::Kind::move, .x = 0.25, .y = 0.75};
  client.send(key);
  client.send(outside);
  client.send(move);
  ASSERT_TRUE(session.runUntil([&] { return inputs().size() == 2; }));
  EXPECT_EQ(inputs(), (std::vector<RemoteInput>{key, move}));
  // Turning it on sent nothing: the only release is the one from before the picture.
  EXPECT_EQ(host.count(RemotePacket::releaseInput), 1);

  client.setInputEnabled(false);
  client.setInputEnabled(false);
  client.send(key);
  ASSERT_TRUE(session.runUntil([&] { return host.count(RemotePacket::releaseInput) == 3; }));
  client.setInputEnabled(true);
  client.send(move);
  ASSERT_TRUE(session.runUntil([&] { return inputs().size() == 3; }));
  EXPECT_EQ(inputs().back(), move);

  // Ending the attempt releases what the host may still hold before the connection goes.
  client.disconnect("Stopped");
  EXPECT_FALSE(client.inputEnabled());
  ASSERT_TRUE(session.runUntil([&] { return host.ended(); }));
  EXPECT_EQ(host.count(RemotePacket::releaseInput), 4);
  EXPECT_EQ(host.packets().back().first, RemotePacket::releaseInput);
}

}  // namespace
}  // namespace veltra
