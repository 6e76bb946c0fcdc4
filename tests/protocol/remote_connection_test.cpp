#include <gtest/gtest.h>

#include "loopback_fixture.h"
#include "protocol/RemoteConnection.h"
#include "protocol/SecureChannel.h"
#include "protocol_test_support.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::Events;
using test::Listener;
using test::RawPeer;
using test::waitUntil;

constexpr const char* kAuth = "Device authentication failed. Check the connection key.";
constexpr const char* kInvalid = "Invalid remote protocol packet.";
const std::vector<std::string> kDisconnected{RemoteConnection::kDisconnected};

SecretKey keyOf(uint8_t fill) {
  return test::secretKey(Bytes(32, fill));
}

bool ended(Events& events) {
  return waitUntil([&] { return !events.ends().empty(); });
}

// A client connection and the host connection of the socket it reached, each with its events.
struct Pair {
  Pair(const SecretKey& clientKey, const SecretKey& hostKey) {
    client = RemoteConnection::client("127.0.0.1", listener.port(), clientKey);
    clientEvents.attach(*client);
    client->start();
    host = RemoteConnection::accepted(listener.accept(), hostKey);
    hostEvents.attach(*host);
    host->start();
  }
  bool established() {
    return waitUntil(
        [&] { return clientEvents.readyCount() == 1 && hostEvents.readyCount() == 1; });
  }

  Listener listener;
  Events clientEvents, hostEvents;
  std::unique_ptr<RemoteConnection> client, host;
};

// A host connection, and a raw client that completes a real handshake with our own channel and
// then writes whatever the test wants.
struct RawClient {
  // `attach` sets the host's callbacks (by default, to record into `events`).
  explicit RawClient(const SecretKey& key, bool handshake = true,
                     std::function<void(RemoteConnection&)> attach = {})
      : peer(listener.port()), channel(RemoteRole::client, key) {
    host = RemoteConnection::accepted(listener.accept(), key);
    attach ? attach(*host) : events.attach(*host);
    host->start();
    if (!handshake) return;
    channel.transportReady(sink);
    for (int message = 0; message < 2; ++message) {  // challenge, then authenticated
      peer.write(sink.writes.back());
      const auto body = peer.readFrame();
      if (!body) throw std::runtime_error("host went silent");
      channel.receive(PacketFramer::frame(*body), sink);
    }
  }

  Listener listener;
  RawPeer peer;
  SecureChannel channel;
  test::RecordingSink sink;
  Events events;
  std::unique_ptr<RemoteConnection> host;
};

TEST(RemoteConnectionTest, HandshakeThenSealedPacketsBothWaysThenTheClientLeavesSilently) {
  Pair pair(keyOf(7), keyOf(7));
  ASSERT_TRUE(pair.established());
  std::atomic<int> completions{0};
  pair.client->send(RemotePacket::configuration, test::bytesOf(R"({"fps":60})"),
                    [&] { ++completions; });
  pair.client->send(RemotePacket::frameAck, {}, [&] { ++completions; });
  pair.host->send(RemotePacket::pong, test::bytesOf("812345678.25"), [&] { ++completions; });
  ASSERT_TRUE(waitUntil([&] {
    return pair.hostEvents.packets().size() == 2 && pair.clientEvents.packets().size() == 1 &&
           completions == 3;
  }));
  EXPECT_EQ(pair.hostEvents.packets()[0].first, RemotePacket::configuration);
  EXPECT_EQ(pair.hostEvents.packets()[1], std::pair(RemotePacket::frameAck, Bytes{}));
  EXPECT_EQ(pair.clientEvents.packets()[0].second, test::bytesOf("812345678.25"));
  EXPECT_TRUE(pair.clientEvents.callbacksOffCallerThread());

  // Destroying the connection ends it without a word to its owner; the host sees it leave.
  pair.client.reset();
  ASSERT_TRUE(ended(pair.hostEvents));
  EXPECT_EQ(pair.hostEvents.ends(), kDisconnected);
  test::drainNetworkThread();
  EXPECT_TRUE(pair.clientEvents.ends().empty());
}

TEST(RemoteConnectionTest, WrongKeyEndsBothSidesBeforeAnySession) {
  Pair pair(keyOf(1), keyOf(2));
  ASSERT_TRUE(ended(pair.clientEvents) && ended(pair.hostEvents));
  EXPECT_EQ(pair.clientEvents.ends(), std::vector<std::string>{kAuth});
  EXPECT_EQ(pair.hostEvents.ends(), kDisconnected);
  EXPECT_EQ(pair.clientEvents.readyCount() + pair.hostEvents.readyCount(), 0);
}

TEST(RemoteConnectionTest, HostEndsWithTheReasonAndClosesOnBadInputBeforeAndAfterTheHandshake) {
  struct Case {
    bool handshake;
    std::function<Bytes(SecureChannel&)> bytes;
    const char* reason;
  };
  const Case cases[] = {
      {false, [](auto&) { return PacketFramer::frame(test::fromHex("03" + std::string(64, '5'))); },
       kAuth},
      {false, [](auto&) { return test::fromHex("00001001"); }, kInvalid},  // over the limit
      {true,
       [](SecureChannel& channel) {
         Bytes frame = channel.seal(RemotePacket::ping, test::bytesOf("1.0"));
         frame.back() ^= 0x80;
         return frame;
       },
       "Sealed record failed authentication."},
  };
  for (const Case& c : cases) {
    RawClient raw(keyOf(3), c.handshake);
    raw.peer.write(c.bytes(raw.channel));
    ASSERT_TRUE(ended(raw.events)) << c.reason;
    EXPECT_EQ(raw.events.ends(), std::vector<std::string>{c.reason});
    EXPECT_TRUE(raw.peer.waitForClose()) << c.reason;
    EXPECT_TRUE(raw.events.packets().empty()) << c.reason;
  }
}

TEST(RemoteConnectionTest, PacketsJoinedInOneWriteOrSplitOverManyArriveWholeInOrder) {
  RawClient raw(keyOf(5));
  // Two small packets in one write, then one far over the handshake limit in odd-sized pieces.
  Bytes joined = raw.channel.seal(RemotePacket::ping, test::bytesOf("1.5"));
  const Bytes second = raw.channel.seal(RemotePacket::frameAck, {});
  joined.insert(joined.end(), second.begin(), second.end());
  raw.peer.write(joined);
  const Bytes big = test::counting(0, 300'000);
  const Bytes split = raw.channel.seal(RemotePacket::input, big);
  for (size_t offset = 0; offset < split.size(); offset += 7'001) {
    raw.peer.write(ByteView(split).subspan(offset, std::min<size_t>(7'001, split.size() - offset)));
  }
  ASSERT_TRUE(waitUntil([&] { return raw.events.packets().size() == 3; }));
  const auto packets = raw.events.packets();
  EXPECT_EQ(packets[0], std::pair(RemotePacket::ping, test::bytesOf("1.5")));
  EXPECT_EQ(packets[1].first, RemotePacket::frameAck);
  EXPECT_EQ(packets[2], std::pair(RemotePacket::input, big));
  EXPECT_TRUE(raw.events.ends().empty());
}

TEST(RemoteConnectionTest, NoCallbackRunsOnceTheOwnerHasDestroyedTheConnection) {
  // Packets keep arriving while the owner destroys its connection, then the peer goes away.
  // Whatever the wire strand had already queued must not reach the owner after the destructor.
  std::atomic<int> late = 0;
  for (int round = 0; round < 5; ++round) {
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    std::atomic<int> received = 0;
    RawClient raw(keyOf(6), true, [&, destroyed](RemoteConnection& host) {
      // A slow owner, so that the strand still has packets of the burst to hand over when the
      // connection is destroyed.
      host.onPacket = [destroyed, &late, &received](RemotePacket, Bytes) {
        late += *destroyed;
        ++received;
        std::this_thread::sleep_for(200us);
      };
      host.onEnd = [destroyed, &late](std::string) { late += *destroyed; };
    });
    Bytes burst;
    for (int i = 0; i < 200; ++i) {
      const Bytes sealed = raw.channel.seal(RemotePacket::ping, test::bytesOf("1.5"));
      burst.insert(burst.end(), sealed.begin(), sealed.end());
    }
    raw.peer.write(burst);
    ASSERT_TRUE(waitUntil([&] { return received > 0; }));
    raw.host.reset();
    *destroyed = true;
    raw.peer.resetAbruptly();
    test::drainNetworkThread();
  }
  EXPECT_EQ(late.load(), 0);
}

TEST(RemoteConnectionTest, ConnectingEndsWithTheSystemTextOrTheDeadline) {
  uint16_t closedPort = Listener().port();
  auto refused = RemoteConnection::client("127.0.0.1", closedPort, keyOf(1));
  Events refusedEvents;
  refusedEvents.attach(*refused);
  refused->start();

  Listener listener;
  auto silent = RemoteConnection::client("127.0.0.1", listener.port(), keyOf(1),
                                         RemoteConnection::Options{300ms});
  Events silentEvents;
  silentEvents.attach(*silent);
  const auto started = test::Clock::now();
  silent->start();
  auto accepted = listener.accept();  // and never answers
  ASSERT_TRUE(ended(refusedEvents) && ended(silentEvents));
  EXPECT_GE(test::Clock::now() - started, 300ms);
  EXPECT_EQ(silentEvents.ends(), std::vector<std::string>{RemoteConnection::kTimedOut});
  EXPECT_EQ(refusedEvents.ends(), std::vector<std::string>{"Connection refused"});
}

TEST(RemoteConnectionTest, SendOutsideTheSessionIsDroppedWithItsCompletionAndCancelEndsOnce) {
  Pair pair(keyOf(6), keyOf(6));
  std::atomic<int> completions{0};
  pair.client->send(RemotePacket::ping, test::bytesOf("1.0"), [&] { ++completions; });
  ASSERT_TRUE(pair.established());
  ASSERT_TRUE(waitUntil([&] { return completions == 1; }));

  pair.client->cancel();
  pair.client->cancel();
  pair.client->send(RemotePacket::ping, test::bytesOf("2.0"), [&] { ++completions; });
  ASSERT_TRUE(waitUntil([&] { return completions == 2; }) && ended(pair.hostEvents));
  test::drainNetworkThread();
  EXPECT_EQ(pair.clientEvents.ends(), kDisconnected);
  EXPECT_EQ(pair.hostEvents.ends(), kDisconnected);  // the client's leaving, not the host's doing
  EXPECT_TRUE(pair.hostEvents.packets().empty());
}

TEST(RemoteConnectionTest, PeerResetDuringLargeWritesRunsEveryCompletionOnce) {
  RawClient raw(keyOf(10));
  // Far more than the socket buffers hold, so writes are pending when the peer resets.
  std::atomic<int> completions{0};
  constexpr int kPackets = 64;
  for (int i = 0; i < kPackets; ++i) {
    raw.host->send(RemotePacket::videoFrame, Bytes(1 << 20, 0x5A), [&] { ++completions; });
  }
  ASSERT_TRUE(raw.peer.readFrame());
  raw.peer.resetAbruptly();
  ASSERT_TRUE(ended(raw.events));
  // Which of these the kernel reports depends on where the reset meets the reads and writes.
  const std::string reason = raw.events.ends()[0];
  EXPECT_TRUE(reason == "Connection reset by peer" || reason == "Broken pipe" ||
              reason == RemoteConnection::kDisconnected)
      << reason;
  EXPECT_TRUE(waitUntil([&] { return completions == kPackets; }));
  test::drainNetworkThread();
  EXPECT_EQ(completions, kPackets);
}

TEST(RemoteConnectionTest, SendAndCancelFromManyThreadsAtOnce) {
  for (int round = 0; round < 5; ++round) {
    Pair pair(keyOf(11), keyOf(11));
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
    ASSERT_TRUE(waitUntil([&] { return completions == kThreads * kSends; }));
    ASSERT_TRUE(ended(pair.clientEvents) && ended(pair.hostEvents));
    EXPECT_EQ(pair.clientEvents.ends(), kDisconnected);
  }
}

}  // namespace
}  // namespace veltra
