#include <gtest/gtest.h>

#include "loopback_fixture.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteConnection.h"
#include "protocol/SecureChannel.h"
#include "protocol/SessionCipher.h"
#include "protocol_test_support.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::Events;
using test::Listener;
using test::RawPeer;
using test::Relay;

constexpr const char* kAuth = "Device authentication failed. Check the connection key.";
constexpr const char* kInvalid = "Invalid remote protocol packet.";

SecretKey keyOf(uint8_t fill) {
  const Bytes bytes(32, fill);
  return test::secretKey(bytes);
}

Bytes text(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

// A client connection and the host connection of the socket it reached, each with its events.
struct Pair {
  Pair(const SecretKey& clientKey, const SecretKey& hostKey, std::optional<size_t> replay = {},
       bool throughRelay = true) {
    if (throughRelay) relay.emplace(listener.port(), replay);
    client =
        RemoteConnection::client("127.0.0.1", relay ? relay->port() : listener.port(), clientKey);
    clientEvents.attach(*client);
    client->start();
    host = RemoteConnection::accepted(listener.accept(), hostKey);
    hostEvents.attach(*host);
    host->start();
  }
  bool established() {
    return clientEvents.waitFor([&] { return clientEvents.readyCount() == 1; }) &&
           hostEvents.waitFor([&] { return hostEvents.readyCount() == 1; });
  }

  Listener listener;
  std::optional<Relay> relay;
  Events clientEvents, hostEvents;
  std::unique_ptr<RemoteConnection> client, host;
};

// A raw client that completes a real handshake with our own channel and then writes whatever
// the test wants: plaintext, sealed records of any type byte, several at once.
struct HandshakenRawClient {
  explicit HandshakenRawClient(Listener& listener, const SecretKey& key, Events& hostEvents,
                               std::unique_ptr<RemoteConnection>& host)
      : peer(RawPeer::connect(listener.port())), channel(RemoteRole::client, key) {
    host = RemoteConnection::accepted(listener.accept(), key);
    hostEvents.attach(*host);
    host->start();
    channel.transportReady(sink);
    peer.write(sink.writes.back());
    feed();  // challenge
    peer.write(sink.writes.back());
    feed();  // authenticated
  }
  void feed() {
    auto body = peer.readFrame();
    if (!body) throw std::runtime_error("host went silent");
    channel.receive(PacketFramer::frame(*body), sink);
  }

  RawPeer peer;
  SecureChannel channel;
  test::RecordingSink sink;
};

TEST(RemoteConnectionTest, HandshakeThenSealedPacketsBothWays) {
  const SecretKey key = keyOf(7);
  Pair pair(key, key);
  ASSERT_TRUE(pair.established());

  std::atomic<int> completions{0};
  pair.client->send(RemotePacket::configuration, text(R"({"width":1920,"height":1080,"fps":60})"),
                    [&] { ++completions; });
  pair.client->send(RemotePacket::frameAck, {}, [&] { ++completions; });
  pair.host->send(RemotePacket::pong, text("812345678.25"), [&] { ++completions; });
  ASSERT_TRUE(pair.hostEvents.waitFor([&] { return pair.hostEvents.packets().size() == 2; }));
  ASSERT_TRUE(pair.clientEvents.waitFor([&] { return pair.clientEvents.packets().size() == 1; }));
  EXPECT_TRUE(pair.hostEvents.waitFor([&] { return completions == 3; }));

  const auto hostPackets = pair.hostEvents.packets();
  EXPECT_EQ(hostPackets[0].first, RemotePacket::configuration);
  EXPECT_EQ(hostPackets[1].first, RemotePacket::frameAck);
  EXPECT_TRUE(hostPackets[1].second.empty());
  EXPECT_EQ(pair.clientEvents.packets()[0].second, text("812345678.25"));

  // On the wire: hello 37, proof 37, then 36 + 1 + payload per record; challenge 69, the
  // sealed confirmation 41.
  const std::vector<size_t> clientFrames = pair.relay->clientFrames();
  ASSERT_GE(clientFrames.size(), 4u);
  EXPECT_EQ(std::vector<size_t>(clientFrames.begin(), clientFrames.begin() + 4),
            (std::vector<size_t>{37, 37, 4 + 36 + 1 + 37, 4 + 36 + 1}));
  const std::vector<size_t> hostFrames = pair.relay->hostFrames();
  ASSERT_GE(hostFrames.size(), 2u);
  EXPECT_EQ(hostFrames[0], 69u);
  EXPECT_EQ(hostFrames[1], 41u);

  EXPECT_TRUE(pair.clientEvents.callbacksOffCallerThread());
  EXPECT_TRUE(pair.clientEvents.ends().empty());
  EXPECT_TRUE(pair.hostEvents.ends().empty());

  // The client closing is its leaving, not the host's doing, on the host's side too.
  pair.client->cancel();
  ASSERT_TRUE(pair.hostEvents.waitFor([&] { return !pair.hostEvents.ends().empty(); }));
  EXPECT_EQ(pair.hostEvents.ends(), std::vector<std::string>{"Disconnected"});
  EXPECT_EQ(pair.clientEvents.ends(), std::vector<std::string>{"Disconnected"});
}

TEST(RemoteConnectionTest, WrongKeyEndsTheClientBeforeItSendsAProof) {
  Pair pair(keyOf(1), keyOf(2));
  ASSERT_TRUE(pair.clientEvents.waitFor([&] { return !pair.clientEvents.ends().empty(); }));
  EXPECT_EQ(pair.clientEvents.ends(), std::vector<std::string>{kAuth});
  ASSERT_TRUE(pair.hostEvents.waitFor([&] { return !pair.hostEvents.ends().empty(); }));
  EXPECT_EQ(pair.hostEvents.ends(), std::vector<std::string>{"Disconnected"});
  EXPECT_EQ(pair.relay->clientFrames(), std::vector<size_t>{37});
  EXPECT_EQ(pair.clientEvents.readyCount() + pair.hostEvents.readyCount(), 0);
}

TEST(RemoteConnectionTest, ReplayedRecordEndsTheHostWithTheAuthenticationMessage) {
  const SecretKey key = keyOf(9);
  // Client frames: hello, proof, then the first session record, which the relay sends twice.
  Pair pair(key, key, /*replay=*/2);
  ASSERT_TRUE(pair.established());
  pair.client->send(RemotePacket::ping, text("1.0"));
  ASSERT_TRUE(pair.hostEvents.waitFor([&] { return !pair.hostEvents.ends().empty(); }));
  EXPECT_EQ(pair.hostEvents.ends(), std::vector<std::string>{kAuth});
  EXPECT_EQ(pair.hostEvents.packets().size(), 1u);  // the original got through once
}

struct HostReasonCase {
  const char* name;
  Bytes bytes;
  const char* reason;
};

TEST(RemoteConnectionTest, HostEndsOnHandshakeMessagesOutOfTurn) {
  const SecretKey key = keyOf(3);
  const Bytes nonce(32, 0x11);
  std::vector<HostReasonCase> cases = {
      {"proof before hello", PacketFramer::frame(test::fromHex("03" + std::string(64, '5'))),
       kAuth},
      {"31-byte hello", PacketFramer::frame(test::fromHex("01" + std::string(62, '1'))), kAuth},
      {"plaintext configuration", PacketFramer::frame(text("\x0a{}")), kAuth},
      {"unknown type 7", PacketFramer::frame(test::fromHex("07")), kInvalid},
      {"4,097 bytes announced", test::fromHex("00001001"), kInvalid},
      {"zero length", test::fromHex("00000000"), kInvalid},
  };
  // A second hello after a valid one.
  Bytes hello = PacketFramer::frame(test::fromHex("01" + std::string(64, 'a')));
  Bytes twoHellos = hello;
  twoHellos.insert(twoHellos.end(), hello.begin(), hello.end());
  cases.push_back({"second hello", twoHellos, kAuth});

  for (const auto& testCase : cases) {
    Listener listener;
    RawPeer peer = RawPeer::connect(listener.port());
    Events events;
    auto host = RemoteConnection::accepted(listener.accept(), key);
    events.attach(*host);
    host->start();
    peer.write(testCase.bytes);
    ASSERT_TRUE(events.waitFor([&] { return !events.ends().empty(); })) << testCase.name;
    EXPECT_EQ(events.ends(), std::vector<std::string>{testCase.reason}) << testCase.name;
    EXPECT_TRUE(peer.waitForClose()) << testCase.name;
  }
}

TEST(RemoteConnectionTest, AfterTheHandshakeOnlyWellSealedSessionPacketsPass) {
  const SecretKey key = keyOf(4);
  struct Case {
    const char* name;
    std::function<Bytes(SecureChannel&)> bytes;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"plaintext hello",
       [](SecureChannel&) {
         return PacketFramer::frame(test::fromHex("01" + std::string(64, '0')));
       },
       kInvalid},
      {"sealed proof type",
       [](SecureChannel& channel) { return channel.seal(RemotePacket::proof, Bytes(32, 1)); },
       kInvalid},
      {"flipped tag bit",
       [](SecureChannel& channel) {
         Bytes frame = channel.seal(RemotePacket::ping, text("1.0"));
         frame.back() ^= 0x80;
         return frame;
       },
       "Sealed record failed authentication."},
  };
  for (const auto& testCase : cases) {
    Listener listener;
    Events events;
    std::unique_ptr<RemoteConnection> host;
    HandshakenRawClient raw(listener, key, events, host);
    ASSERT_TRUE(events.waitFor([&] { return events.readyCount() == 1; })) << testCase.name;
    raw.peer.write(testCase.bytes(raw.channel));
    ASSERT_TRUE(events.waitFor([&] { return !events.ends().empty(); })) << testCase.name;
    EXPECT_EQ(events.ends(), std::vector<std::string>{testCase.reason}) << testCase.name;
    EXPECT_TRUE(events.packets().empty()) << testCase.name;
  }
}

TEST(RemoteConnectionTest, PacketsJoinedInOneReadOrSplitOverManyArriveWholeInOrder) {
  const SecretKey key = keyOf(5);
  Listener listener;
  Events events;
  std::unique_ptr<RemoteConnection> host;
  HandshakenRawClient raw(listener, key, events, host);

  Bytes joined = raw.channel.seal(RemotePacket::ping, text("1.5"));
  const Bytes second = raw.channel.seal(RemotePacket::frameAck, {});
  joined.insert(joined.end(), second.begin(), second.end());
  raw.peer.write(joined);

  Bytes big(300'000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  const Bytes split = raw.channel.seal(RemotePacket::input, big);
  for (size_t offset = 0; offset < split.size(); offset += 7'001) {
    raw.peer.write(ByteView(split).subspan(offset, std::min<size_t>(7'001, split.size() - offset)));
    if (offset % 70'010 == 0) std::this_thread::sleep_for(1ms);  // let reads see partial frames
  }
  ASSERT_TRUE(events.waitFor([&] { return events.packets().size() == 3; }));
  const auto packets = events.packets();
  EXPECT_EQ(packets[0].first, RemotePacket::ping);
  EXPECT_EQ(packets[0].second, text("1.5"));
  EXPECT_EQ(packets[1].first, RemotePacket::frameAck);
  EXPECT_EQ(packets[2].second, big);
  EXPECT_TRUE(events.ends().empty());
}

TEST(RemoteConnectionTest, NoCallbackRunsOnceTheOwnerHasDestroyedTheConnection) {
  // Packets keep arriving while the owner destroys its connection, then the peer goes away.
  // Whatever the wire strand had already queued must not reach the owner after the destructor.
  const SecretKey key = keyOf(6);
  std::atomic<int> late = 0;
  for (int round = 0; round < 5; ++round) {
    Listener listener;
    RawPeer peer = RawPeer::connect(listener.port());
    auto host = RemoteConnection::accepted(listener.accept(), key);
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> ready = false;
    std::atomic<int> received = 0;
    host->onReady = [&ready] { ready = true; };
    // A slow owner, so that the strand still has packets of the burst to hand over when the
    // connection is destroyed.
    host->onPacket = [destroyed, &late, &received](RemotePacket, Bytes) {
      if (*destroyed) ++late;
      ++received;
      std::this_thread::sleep_for(200us);
    };
    host->onEnd = [destroyed, &late](std::string) {
      if (*destroyed) ++late;
    };
    host->start();

    SecureChannel channel(RemoteRole::client, key);
    test::RecordingSink sink;
    channel.transportReady(sink);
    peer.write(sink.writes.back());
    for (int message = 0; message < 2; ++message) {  // challenge, then authenticated
      auto body = peer.readFrame();
      ASSERT_TRUE(body);
      channel.receive(PacketFramer::frame(*body), sink);
      if (message == 0) peer.write(sink.writes.back());
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!ready && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(ready);

    Bytes burst;
    for (int i = 0; i < 200; ++i) {
      const Bytes sealed = channel.seal(RemotePacket::ping, text("1.5"));
      burst.insert(burst.end(), sealed.begin(), sealed.end());
    }
    peer.write(burst);
    while (received == 0) std::this_thread::sleep_for(100us);
    host.reset();
    *destroyed = true;
    peer.resetAbruptly();
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(late.load(), 0);
}

TEST(RemoteConnectionTest, SilentHostTimesOutFromStart) {
  Listener listener;
  RemoteConnection::Options options;
  options.handshakeDeadline = 300ms;
  auto client = RemoteConnection::client("127.0.0.1", listener.port(), keyOf(1), options);
  Events events;
  events.attach(*client);
  const auto started = std::chrono::steady_clock::now();
  client->start();
  auto accepted = listener.accept();  // accepts and never answers
  ASSERT_TRUE(events.waitFor([&] { return !events.ends().empty(); }, 5s));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
  EXPECT_EQ(events.ends(), std::vector<std::string>{"Connection or authentication timed out."});
}

TEST(RemoteConnectionTest, RefusedConnectionReportsTheSystemText) {
  uint16_t closedPort;
  {
    Listener listener;
    closedPort = listener.port();
  }
  auto client = RemoteConnection::client("127.0.0.1", closedPort, keyOf(1));
  Events events;
  events.attach(*client);
  client->start();
  ASSERT_TRUE(events.waitFor([&] { return !events.ends().empty(); }));
  EXPECT_EQ(events.ends(), std::vector<std::string>{"Connection refused"});
}

TEST(RemoteConnectionTest, SendOutsideTheSessionIsDroppedWithItsCompletion) {
  const SecretKey key = keyOf(6);
  Pair pair(key, key);
  std::atomic<int> completions{0};
  // Before the handshake has completed: dropped, completion still runs.
  pair.client->send(RemotePacket::ping, text("1.0"), [&] { ++completions; });
  ASSERT_TRUE(pair.established());
  ASSERT_TRUE(pair.clientEvents.waitFor([&] { return completions == 1; }));

  pair.client->cancel();
  pair.client->cancel();
  pair.client->send(RemotePacket::ping, text("2.0"), [&] { ++completions; });
  ASSERT_TRUE(pair.clientEvents.waitFor([&] { return completions == 2; }));
  ASSERT_TRUE(pair.hostEvents.waitFor([&] { return !pair.hostEvents.ends().empty(); }));
  std::this_thread::sleep_for(50ms);  // give a second onEnd the chance to show up
  EXPECT_EQ(pair.clientEvents.ends(), std::vector<std::string>{"Disconnected"});
  EXPECT_TRUE(pair.hostEvents.packets().empty());
  // hello and proof only: the early ping never reached the wire.
  EXPECT_EQ(pair.relay->clientFrames(), (std::vector<size_t>{37, 37}));
}

TEST(RemoteConnectionTest, DestroyingTheConnectionClosesItSilently) {
  const SecretKey key = keyOf(8);
  Pair pair(key, key);
  ASSERT_TRUE(pair.established());
  pair.client.reset();
  ASSERT_TRUE(pair.hostEvents.waitFor([&] { return !pair.hostEvents.ends().empty(); }));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(pair.clientEvents.ends().empty());
}

TEST(RemoteConnectionTest, PeerResetDuringLargeWritesEndsWithTheTransportError) {
  const SecretKey key = keyOf(10);
  Listener listener;
  Events events;
  std::unique_ptr<RemoteConnection> host;
  HandshakenRawClient raw(listener, key, events, host);
  ASSERT_TRUE(events.waitFor([&] { return events.readyCount() == 1; }));

  // Far more than the socket buffers hold, so writes are pending when the peer resets.
  std::atomic<int> completions{0};
  constexpr int kPackets = 64;
  for (int i = 0; i < kPackets; ++i) {
    host->send(RemotePacket::videoFrame, Bytes(1 << 20, 0x5A), [&] { ++completions; });
  }
  std::this_thread::sleep_for(20ms);
  raw.peer.resetAbruptly();
  ASSERT_TRUE(events.waitFor([&] { return !events.ends().empty(); }));
  const std::string reason = events.ends()[0];
  // Which of these the kernel reports depends on where the reset meets the reads and writes.
  EXPECT_TRUE(reason == "Connection reset by peer" || reason == "Broken pipe" ||
              reason == "Disconnected")
      << reason;
  // Every completion runs exactly once, written or dropped.
  EXPECT_TRUE(events.waitFor([&] { return completions == kPackets; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(completions, kPackets);
}

TEST(RemoteConnectionTest, SendAndCancelFromManyThreadsAtOnce) {
  const SecretKey key = keyOf(11);
  for (int round = 0; round < 5; ++round) {
    Pair pair(key, key, std::nullopt, /*throughRelay=*/false);
    ASSERT_TRUE(pair.established());
    std::atomic<int> completions{0};
    std::vector<std::thread> threads;
    constexpr int kThreads = 4, kSends = 50;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kSends; ++i) {
          pair.client->send(RemotePacket::frameAck, {}, [&] { ++completions; });
          if (t == round % kThreads && i == kSends / 2) pair.client->cancel();
        }
      });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(pair.clientEvents.waitFor([&] { return completions == kThreads * kSends; }));
    ASSERT_TRUE(pair.clientEvents.waitFor([&] { return !pair.clientEvents.ends().empty(); }));
    EXPECT_EQ(pair.clientEvents.ends(), std::vector<std::string>{"Disconnected"});
    ASSERT_TRUE(pair.hostEvents.waitFor([&] { return !pair.hostEvents.ends().empty(); }));
    EXPECT_LE(pair.hostEvents.packets().size(), size_t{kThreads * kSends});
  }
}

}  // namespace
}  // namespace veltra
