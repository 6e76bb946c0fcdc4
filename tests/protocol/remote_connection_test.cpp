// The connection over real loopback TCP: a host-role connection against a raw client that speaks
// through our own channel. The client role runs end to end in the host and client tests.

#include <gtest/gtest.h>

#include <future>

#include "loopback_fixture.h"
#include "protocol/RemoteConnection.h"
#include "protocol/RemoteError.h"
#include "protocol/SecureChannel.h"
#include "protocol_test_support.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::Events;
using test::Listener;
using test::waitUntil;

const std::vector<std::string> kDisconnected{RemoteConnection::kDisconnected};

SecretKey keyOf(uint8_t fill) {
  return test::secretKey(Bytes(32, fill));
}

bool ended(Events& events) {
  return waitUntil([&] { return !events.get().ends.empty(); });
}

// A started host connection, and a raw client that writes whatever the test wants.
struct RawClient {
  // `attach` sets the host's callbacks (by default, to record into `events`).
  explicit RawClient(const SecretKey& key, std::function<void(RemoteConnection&)> attach = {})
      : peer(listener.port()), channel(RemoteRole::client, key) {
    host = RemoteConnection::accepted(listener.accept(), key);
    attach ? attach(*host) : events.attach(*host);
    host->start();
  }
  // A real handshake with our own channel: hello, challenge, proof, authenticated.
  bool handshake() {
    channel.transportReady(sink);
    for (int message = 0; message < 2; ++message) {
      peer.write(sink.writes.back());
      if (!receive()) return false;
    }
    return channel.established();
  }
  // One frame from the host, through the channel into `sink`.
  bool receive() {
    const auto body = peer.readFrame();
    if (body) channel.receive(PacketFramer::frame(*body), sink);
    return body.has_value();
  }

  Listener listener;
  test::RawPeer peer;
  SecureChannel channel;
  test::RecordingSink sink;
  Events events;
  std::unique_ptr<RemoteConnection> host;
};

TEST(RemoteConnectionTest, SealedPacketsBothWaysWholeInOrderThenTheOwnerLeavesSilently) {
  RawClient raw(keyOf(7));
  std::atomic<int> completions{0};
  // Sent before the session: dropped, but its completion still runs.
  raw.host->send(RemotePacket::ping, test::bytesOf("0.5"), [&] { ++completions; });
  ASSERT_TRUE(raw.handshake());
  raw.host->send(RemotePacket::pong, test::bytesOf("812345678.25"), [&] { ++completions; });
  ASSERT_TRUE(raw.receive());
  EXPECT_EQ(raw.sink.packets,
            (std::vector{std::pair(RemotePacket::pong, test::bytesOf("812345678.25"))}));
  EXPECT_TRUE(waitUntil([&] { return completions == 2; }));

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
  ASSERT_TRUE(waitUntil([&] { return raw.events.get().packets.size() == 3; }));
  const Events::Record record = raw.events.get();
  EXPECT_EQ(record.ready, 1);
  EXPECT_EQ(record.packets[0], std::pair(RemotePacket::ping, test::bytesOf("1.5")));
  EXPECT_EQ(record.packets[1], std::pair(RemotePacket::frameAck, Bytes{}));
  EXPECT_EQ(record.packets[2], std::pair(RemotePacket::input, big));
  EXPECT_TRUE(record.offCaller);

  // Destroying the connection ends it without a word to its owner; the peer sees it close.
  raw.host.reset();
  EXPECT_TRUE(raw.peer.waitForClose());
  test::drainNetworkThread();
  EXPECT_TRUE(raw.events.get().ends.empty());
}

TEST(RemoteConnectionTest, HostEndsWithTheReasonAndClosesOnBadInputBeforeAndAfterTheHandshake) {
  struct Case {
    bool handshake;
    std::function<Bytes(SecureChannel&)> bytes;
    std::string reason;
  };
  const Case cases[] = {
      {false, [](auto&) { return PacketFramer::frame(test::fromHex("03" + std::string(64, '5'))); },
       RemoteError::authentication().what()},
      {false, [](auto&) { return test::fromHex("00001001"); },
       "Invalid remote protocol packet."},  // over the limit
      {true,
       [](SecureChannel& channel) {
         Bytes frame = channel.seal(RemotePacket::ping, test::bytesOf("1.0"));
         frame.back() ^= 0x80;
         return frame;
       },
       "Sealed record failed authentication."},
  };
  for (const Case& c : cases) {
    RawClient raw(keyOf(3));
    if (c.handshake) {
      ASSERT_TRUE(raw.handshake());
    }
    raw.peer.write(c.bytes(raw.channel));
    ASSERT_TRUE(ended(raw.events)) << c.reason;
    EXPECT_EQ(raw.events.get().ends, std::vector<std::string>{c.reason});
    EXPECT_TRUE(raw.peer.waitForClose()) << c.reason;
    EXPECT_TRUE(raw.events.get().packets.empty()) << c.reason;
  }
}

TEST(RemoteConnectionTest, NoCallbackRunsOnceTheOwnerHasDestroyedTheConnection) {
  // Packets keep arriving while the owner destroys its connection, then the peer goes away.
  // Whatever the wire strand had already queued must not reach the owner after the destructor.
  std::atomic<int> late = 0;
  for (int round = 0; round < 5; ++round) {
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    std::atomic<int> received = 0;
    RawClient raw(keyOf(6), [&, destroyed](RemoteConnection& host) {
      // A slow owner, so that the strand still has packets of the burst to hand over when the
      // connection is destroyed.
      host.onPacket = [destroyed, &late, &received](RemotePacket, Bytes) {
        late += *destroyed;
        ++received;
        std::this_thread::sleep_for(200us);
      };
      host.onEnd = [destroyed, &late](std::string) { late += *destroyed; };
    });
    ASSERT_TRUE(raw.handshake());
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
  EXPECT_EQ(silentEvents.get().ends, std::vector<std::string>{RemoteConnection::kTimedOut});
  EXPECT_EQ(refusedEvents.get().ends, std::vector<std::string>{"Connection refused"});
}

TEST(RemoteConnectionTest, PeerResetDuringLargeWritesRunsEveryCompletionOnce) {
  RawClient raw(keyOf(10));
  ASSERT_TRUE(raw.handshake());
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
  const std::string reason = raw.events.get().ends[0];
  EXPECT_TRUE(reason == "Connection reset by peer" || reason == "Broken pipe" ||
              reason == RemoteConnection::kDisconnected)
      << reason;
  EXPECT_TRUE(waitUntil([&] { return completions == kPackets; }));
  test::drainNetworkThread();
  EXPECT_EQ(completions, kPackets);
}

TEST(RemoteConnectionTest, SendAndCancelFromManyThreadsAtOnceEndOnce) {
  for (int round = 0; round < 5; ++round) {
    RawClient raw(keyOf(11));
    ASSERT_TRUE(raw.handshake());
    std::atomic<int> completions{0};
    std::vector<std::thread> threads;
    constexpr int kThreads = 4, kSends = 50;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kSends; ++i) {
          raw.host->send(RemotePacket::frameAck, {}, [&] { ++completions; });
          if (t % 2 == round % 2 && i == kSends / 2) raw.host->cancel();  // two threads cancel
        }
      });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(waitUntil([&] { return completions == kThreads * kSends; }));
    ASSERT_TRUE(ended(raw.events) && raw.peer.waitForClose());
    test::drainNetworkThread();
    EXPECT_EQ(raw.events.get().ends, kDisconnected);
  }
}

// An end delivers what was queued before it (a frame's tail, then the host's failure text) and
// closes in order while the peer still sends: closing with its bytes unread would reset.
TEST(RemoteConnectionTest, AnEndDeliversWhatWasQueuedAndClosesInOrderWhileThePeerStillSends) {
  const std::vector<std::pair<RemotePacket, Bytes>> last{
      {RemotePacket::videoFrame, Bytes(3 << 20, 0x5A)},  // more than the socket buffers take
      {RemotePacket::failure, test::bytesOf("Encoding failed: -1")}};
  auto owner = std::make_shared<bool>(false);  // held by the owner's callback only
  RawClient raw(keyOf(12), [&, owner](RemoteConnection& host) {
    host.onPacket = [&host, &last, owner](RemotePacket, Bytes) {
      if (std::exchange(*owner, true)) return;
      for (const auto& [type, payload] : last) host.send(type, payload);
      host.cancel();
    };
  });
  const std::weak_ptr<bool> held = std::exchange(owner, nullptr);
  ASSERT_TRUE(raw.handshake());
  // Pings and acks past what the kernel buffers hold: read to the end only by a lingering host.
  Bytes burst;
  for (int i = 0; burst.size() < 16 << 20; ++i) {
    const Bytes sealed = i % 2 ? raw.channel.seal(RemotePacket::ping, Bytes(1 << 16, 0x31))
                               : raw.channel.seal(RemotePacket::frameAck, {});
    burst.insert(burst.end(), sealed.begin(), sealed.end());
  }
  auto written = std::async(std::launch::async, [&] { raw.peer.write(burst); });
  ASSERT_TRUE(raw.receive() && raw.receive());
  EXPECT_EQ(raw.sink.packets, last);
  EXPECT_TRUE(held.expired());  // the lingering socket holds nothing of its owner's
  EXPECT_NO_THROW(written.get());
  EXPECT_TRUE(raw.peer.waitForClose(/*orderly=*/true));
}

}  // namespace
}  // namespace veltra
