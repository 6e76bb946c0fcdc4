#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "protocol/SecureChannel.h"
#include "protocol_test_support.h"

namespace veltra {
namespace {

using test::fromHex;
using test::RecordingSink;

// The published key-schedule vector: counting key and nonces.
const Bytes kKey = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
const Bytes kClientNonce =
    fromHex("202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f");
const Bytes kHostNonce =
    fromHex("404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f");

SecretKey key() {
  return test::secretKey(kKey);
}

SecureChannel makeChannel(RemoteRole role) {
  const Bytes nonce = role == RemoteRole::client ? kClientNonce : kHostNonce;
  return SecureChannel(role, key(), [nonce] { return nonce; });
}

Bytes concat(std::initializer_list<ByteView> parts) {
  Bytes out;
  for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

TEST(SecureChannelTest, HandshakeMatchesTheKeyScheduleVectorsAndTheFrameSizes) {
  SecureChannel client = makeChannel(RemoteRole::client);
  SecureChannel host = makeChannel(RemoteRole::host);
  RecordingSink clientSink, hostSink;

  client.transportReady(clientSink);
  ASSERT_EQ(clientSink.writes.size(), 1u);
  EXPECT_EQ(clientSink.writes[0], concat({fromHex("0000002101"), kClientNonce}));

  host.transportReady(hostSink);
  EXPECT_TRUE(hostSink.writes.empty());
  host.receive(clientSink.writes[0], hostSink);
  ASSERT_EQ(hostSink.writes.size(), 1u);
  EXPECT_EQ(hostSink.writes[0],
            concat({fromHex("0000004102"), kHostNonce,
                    fromHex("b042162d8b894c7aafdf281e3da52ccd95c8aa1943511331d5c95f9f6c88487f")}));

  client.receive(hostSink.writes[0], clientSink);
  ASSERT_EQ(clientSink.writes.size(), 2u);
  EXPECT_EQ(clientSink.writes[1],
            concat({fromHex("0000002103"),
                    fromHex("d134c023deb8e7dc94cafc24e54340180b0a57b390c9e253a107ff623031a26a")}));
  EXPECT_EQ(client.phase(), 2);

  host.receive(clientSink.writes[1], hostSink);
  ASSERT_EQ(hostSink.writes.size(), 2u);
  EXPECT_EQ(hostSink.writes[1].size(), 41u);
  EXPECT_EQ(hostSink.readyCount, 1);
  EXPECT_TRUE(host.established());

  client.receive(hostSink.writes[1], clientSink);
  EXPECT_EQ(clientSink.readyCount, 1);
  EXPECT_TRUE(client.established());

  // Session packets both ways; the host's sequence continues after its confirmation.
  client.receive(host.seal(RemotePacket::pong, asBytes("42.5")), clientSink);
  host.receive(client.seal(RemotePacket::frameAck, {}), hostSink);
  host.receive(client.seal(RemotePacket::configuration, asBytes("{}")), hostSink);
  ASSERT_EQ(clientSink.packets.size(), 1u);
  EXPECT_EQ(clientSink.packets[0].first, RemotePacket::pong);
  EXPECT_EQ(clientSink.packets[0].second, Bytes(asBytes("42.5").begin(), asBytes("42.5").end()));
  ASSERT_EQ(hostSink.packets.size(), 2u);
  EXPECT_EQ(hostSink.packets[0].first, RemotePacket::frameAck);
  EXPECT_TRUE(hostSink.packets[0].second.empty());
  EXPECT_EQ(hostSink.packets[1].first, RemotePacket::configuration);
}

// Inputs a peer can throw at one channel during the handshake.
enum class Step { valid1, valid2, wrongLength, wrongProof, earlySealed, unknownType, garbage };
constexpr Step kSteps[] = {Step::valid1,     Step::valid2,      Step::wrongLength,
                           Step::wrongProof, Step::earlySealed, Step::unknownType,
                           Step::garbage};
const char* name(Step step) {
  switch (step) {
    case Step::valid1:
      return "valid1";
    case Step::valid2:
      return "valid2";
    case Step::wrongLength:
      return "wrongLength";
    case Step::wrongProof:
      return "wrongProof";
    case Step::earlySealed:
      return "earlySealed";
    case Step::unknownType:
      return "unknownType";
    case Step::garbage:
      return "garbage";
  }
  return "?";
}

// For the host: valid1 = hello, valid2 = proof. For the client: valid1 = challenge,
// valid2 = the sealed confirmation. earlySealed is a correctly keyed session record
// (configuration) sent before its time.
Bytes input(RemoteRole role, Step step) {
  const SecretKey secret = key();
  const RemoteRole peer = otherRole(role);
  SessionCipher peerCipher(secret, kClientNonce, kHostNonce, peer);
  switch (step) {
    case Step::valid1:
      return role == RemoteRole::host
                 ? PacketFramer::frame(concat({fromHex("01"), kClientNonce}))
                 : PacketFramer::frame(
                       concat({fromHex("02"), kHostNonce,
                               RemoteAuthentication::proof(secret, kClientNonce, kHostNonce,
                                                           RemoteRole::host)}));
    case Step::valid2:
      return role == RemoteRole::host
                 ? PacketFramer::frame(concat(
                       {fromHex("03"), RemoteAuthentication::proof(secret, kClientNonce, kHostNonce,
                                                                   RemoteRole::client)}))
                 : peerCipher.sealFrame(rawValue(RemotePacket::authenticated), {});
    case Step::wrongLength:
      return role == RemoteRole::host
                 ? PacketFramer::frame(concat({fromHex("01"), ByteView(kClientNonce).first(31)}))
                 : PacketFramer::frame(concat({fromHex("02"), kHostNonce, Bytes(31, 0x55)}));
    case Step::wrongProof:
      return role == RemoteRole::host
                 ? PacketFramer::frame(concat({fromHex("03"), Bytes(32, 0x55)}))
                 : PacketFramer::frame(concat({fromHex("02"), kHostNonce, Bytes(32, 0x55)}));
    case Step::earlySealed:
      return peerCipher.sealFrame(rawValue(RemotePacket::configuration), asBytes("{}"));
    case Step::unknownType:
      return PacketFramer::frame(concat({fromHex("07"), Bytes(32, 0)}));
    case Step::garbage:
      return fromHex("deadbeef0102");
  }
  return {};
}

constexpr const char* kAuth = "Device authentication failed. Check the connection key.";
constexpr const char* kInvalid = "Invalid remote protocol packet.";
constexpr const char* kTag = "Sealed record failed authentication.";

struct Outcome {
  int phase = 0;                // phase after the step, when it succeeds
  const char* error = nullptr;  // reason text, when it fails
  size_t writes = 0;            // frames the step emits
  bool ready = false;
  bool packet = false;
};

// The transition table: what a step does from each phase.
Outcome expected(RemoteRole role, int phase, Step step, int earlyUses) {
  if (role == RemoteRole::host) {
    switch (phase) {
      case 0:
        if (step == Step::valid1) return {1, nullptr, 1};
        if (step == Step::wrongLength || step == Step::valid2 || step == Step::wrongProof)
          return {0, kAuth};
        return {0, kInvalid};  // sealed record's first byte 00, type 07, bad length
      case 1:
        if (step == Step::valid2) return {3, nullptr, 1, true};
        if (step == Step::valid1 || step == Step::wrongLength || step == Step::wrongProof)
          return {1, kAuth};
        return {1, kInvalid};
      default:
        // Plaintext handshake frames are shorter than a record; the early record is accepted
        // once (it is the client's record 0) and is a replay after that.
        if (step == Step::earlySealed)
          return earlyUses == 0 ? Outcome{3, nullptr, 0, false, true} : Outcome{3, kAuth};
        return {3, kInvalid};
    }
  }
  switch (phase) {
    case 0:
      if (step == Step::valid1) return {2, nullptr, 1};
      if (step == Step::wrongLength || step == Step::wrongProof) return {0, kAuth};
      return {0, kInvalid};
    case 2:
      if (step == Step::valid2) return {3, nullptr, 0, true};
      if (step == Step::unknownType || step == Step::garbage) return {2, kInvalid};
      return {2, kAuth};  // wrong sequence number in a challenge-sized body, or not 04
    default:
      if (step == Step::unknownType || step == Step::garbage) return {3, kInvalid};
      if (step == Step::valid1 || step == Step::wrongLength || step == Step::wrongProof)
        return {3, kAuth};  // their first 8 bytes are not sequence 1
      return {3, kAuth};    // record 0 again: a replay
  }
}

std::string describe(const std::vector<Step>& steps) {
  std::string out;
  for (Step step : steps) out += std::string(name(step)) + " ";
  return out;
}

void checkSequence(RemoteRole role, const std::vector<Step>& steps) {
  SecureChannel channel = makeChannel(role);
  RecordingSink sink;
  channel.transportReady(sink);
  int phase = 0;
  int earlyUses = 0;
  bool failed = false;
  for (Step step : steps) {
    const size_t writesBefore = sink.writes.size();
    const int readyBefore = sink.readyCount;
    const size_t packetsBefore = sink.packets.size();
    std::optional<std::string> error;
    try {
      channel.receive(input(role, step), sink);
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (failed) {
      // A dead channel swallows everything and emits nothing.
      EXPECT_FALSE(error) << describe(steps);
      EXPECT_EQ(sink.writes.size(), writesBefore) << describe(steps);
      EXPECT_EQ(sink.readyCount, readyBefore) << describe(steps);
      EXPECT_EQ(sink.packets.size(), packetsBefore) << describe(steps);
      continue;
    }
    const Outcome want = expected(role, phase, step, earlyUses);
    if (want.error) {
      ASSERT_TRUE(error) << describe(steps) << "wanted " << want.error;
      EXPECT_EQ(*error, want.error) << describe(steps);
      EXPECT_EQ(sink.writes.size(), writesBefore) << describe(steps);
      EXPECT_TRUE(channel.failed());
      failed = true;
      continue;
    }
    ASSERT_FALSE(error) << describe(steps) << *error;
    EXPECT_EQ(channel.phase(), want.phase) << describe(steps);
    EXPECT_EQ(sink.writes.size() - writesBefore, want.writes) << describe(steps);
    EXPECT_EQ(sink.readyCount - readyBefore, want.ready ? 1 : 0) << describe(steps);
    EXPECT_EQ(sink.packets.size() - packetsBefore, want.packet ? 1u : 0u) << describe(steps);
    if (step == Step::earlySealed) ++earlyUses;
    phase = want.phase;
  }
  // Established only along the valid path.
  const bool validPath = steps.size() >= 2 && steps[0] == Step::valid1 && steps[1] == Step::valid2;
  EXPECT_EQ(channel.established(), validPath) << describe(steps);
  EXPECT_LE(sink.readyCount, 1);
}

TEST(SecureChannelTest, EverySequenceOfUpToFourStepsFollowsTheTransitionTable) {
  for (RemoteRole role : {RemoteRole::host, RemoteRole::client}) {
    std::vector<std::vector<Step>> sequences{{}};
    for (size_t length = 1; length <= 4; ++length) {
      std::vector<std::vector<Step>> longer;
      for (const auto& prefix : sequences) {
        if (prefix.size() + 1 != length) continue;
        for (Step step : kSteps) {
          auto next = prefix;
          next.push_back(step);
          longer.push_back(next);
        }
      }
      for (const auto& sequence : longer) {
        checkSequence(role, sequence);
        if (HasFatalFailure()) return;
      }
      sequences.insert(sequences.end(), longer.begin(), longer.end());
    }
  }
}

TEST(SecureChannelTest, TamperedConfirmationFailsOnTheTagAndSessionTypesAreChecked) {
  SecureChannel client = makeChannel(RemoteRole::client);
  RecordingSink sink;
  client.transportReady(sink);
  client.receive(input(RemoteRole::client, Step::valid1), sink);
  Bytes confirmation = input(RemoteRole::client, Step::valid2);
  confirmation.back() ^= 0x01;
  try {
    client.receive(confirmation, sink);
    FAIL() << "tampered tag accepted";
  } catch (const CipherError& error) {
    EXPECT_STREQ(error.what(), kTag);
  }

  // After the handshake, a correctly sealed handshake type or an unknown type is refused.
  for (uint8_t type : {3, 0, 9, 19}) {
    SecureChannel host = makeChannel(RemoteRole::host);
    RecordingSink hostSink;
    host.receive(input(RemoteRole::host, Step::valid1), hostSink);
    host.receive(input(RemoteRole::host, Step::valid2), hostSink);
    SessionCipher peer(key(), kClientNonce, kHostNonce, RemoteRole::client);
    Bytes record = peer.sealFrame(type, {});
    EXPECT_THROW(host.receive(record, hostSink), RemoteError) << int(type);
    EXPECT_TRUE(hostSink.packets.empty());
  }
}

TEST(SecureChannelTest, HandshakeFramesOverTheLimitAreRefusedFromTheirLengthAlone) {
  SecureChannel host = makeChannel(RemoteRole::host);
  RecordingSink sink;
  try {
    host.receive(fromHex("00001001"), sink);  // 4,097 bytes announced, none sent
    FAIL();
  } catch (const RemoteError& error) {
    EXPECT_EQ(error.kind(), RemoteError::Kind::invalidPacket);
  }
  SecureChannel atLimit = makeChannel(RemoteRole::host);
  EXPECT_NO_THROW(atLimit.receive(fromHex("00001000"), sink));
}

TEST(SecureChannelTest, PacketsSplitAndJoinedAcrossChunksArriveWholeAndInOrder) {
  SecureChannel client = makeChannel(RemoteRole::client);
  SecureChannel host = makeChannel(RemoteRole::host);
  RecordingSink clientSink, hostSink;
  client.transportReady(clientSink);
  host.receive(clientSink.writes[0], hostSink);
  client.receive(hostSink.writes[0], clientSink);
  host.receive(clientSink.writes[1], hostSink);
  client.receive(hostSink.writes[1], clientSink);
  ASSERT_TRUE(client.established() && host.established());

  // A 1 MiB frame (far over the handshake limit) followed by two small ones, as one stream,
  // delivered in odd-sized chunks.
  Bytes big(1 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31);
  Bytes stream = host.seal(RemotePacket::videoFrame, big);
  for (const char* text : {"1.5", "2.5"}) {
    const Bytes frame = host.seal(RemotePacket::pong, asBytes(text));
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  for (size_t offset = 0; offset < stream.size(); offset += 65'521) {
    client.receive(
        ByteView(stream).subspan(offset, std::min<size_t>(65'521, stream.size() - offset)),
        clientSink);
  }
  ASSERT_EQ(clientSink.packets.size(), 3u);
  EXPECT_EQ(clientSink.packets[0].first, RemotePacket::videoFrame);
  EXPECT_EQ(clientSink.packets[0].second, big);
  EXPECT_EQ(asText(clientSink.packets[2].second), "2.5");
}

}  // namespace
}  // namespace veltra
