#include <gtest/gtest.h>

#include <optional>

#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "protocol/SecureChannel.h"
#include "protocol_test_support.h"

namespace veltra {
namespace {

using test::concat;
using test::fromHex;
using test::RecordingSink;

// The key-schedule vector's counting key and nonces.
const Bytes kClientNonce = test::counting(0x20, 32);
const Bytes kHostNonce = test::counting(0x40, 32);

SecretKey key() {
  return test::secretKey(test::counting(0, 32));
}

SecureChannel makeChannel(RemoteRole role) {
  const Bytes nonce = role == RemoteRole::client ? kClientNonce : kHostNonce;
  return SecureChannel(role, key(), [nonce] { return nonce; });
}

TEST(SecureChannelTest, HandshakeMatchesTheKeyScheduleVectors) {
  SecureChannel client = makeChannel(RemoteRole::client);
  SecureChannel host = makeChannel(RemoteRole::host);
  RecordingSink clientSink, hostSink;
  client.transportReady(clientSink);
  host.transportReady(hostSink);
  EXPECT_TRUE(hostSink.writes.empty());
  host.receive(clientSink.writes.at(0), hostSink);
  client.receive(hostSink.writes.at(0), clientSink);
  host.receive(clientSink.writes.at(1), hostSink);
  client.receive(hostSink.writes.at(1), clientSink);
  EXPECT_EQ(clientSink.writes[0], concat({fromHex("0000002101"), kClientNonce}));
  EXPECT_EQ(hostSink.writes[0],
            concat({fromHex("0000004102"), kHostNonce,
                    fromHex("b042162d8b894c7aafdf281e3da52ccd95c8aa1943511331d5c95f9f6c88487f")}));
  EXPECT_EQ(clientSink.writes[1],
            concat({fromHex("0000002103"),
                    fromHex("d134c023deb8e7dc94cafc24e54340180b0a57b390c9e253a107ff623031a26a")}));
  EXPECT_EQ(hostSink.writes[1].size(), 41u);
}

// Inputs a peer can throw at one channel during the handshake.
// Unscoped, so that a trace prints a sequence as its numbers.
enum Step { valid1, valid2, wrongLength, wrongProof, earlySealed, unknownType, garbage };

// For the host: valid1 = hello, valid2 = proof. For the client: valid1 = challenge, valid2 = the
// sealed confirmation. earlySealed is a correctly keyed session record sent before its time.
Bytes input(RemoteRole role, Step step) {
  const bool host = role == RemoteRole::host;
  auto proof = [](RemoteRole of) {
    return RemoteAuthentication::proof(key(), kClientNonce, kHostNonce, of);
  };
  SessionCipher peerCipher(key(), kClientNonce, kHostNonce, otherRole(role));
  auto frame = [](std::initializer_list<ByteView> parts) {
    return PacketFramer::frame(concat(parts));
  };
  switch (step) {
    case Step::valid1:
      return host ? frame({fromHex("01"), kClientNonce})
                  : frame({fromHex("02"), kHostNonce, proof(RemoteRole::host)});
    case Step::valid2:
      return host ? frame({fromHex("03"), proof(RemoteRole::client)})
                  : peerCipher.sealFrame(rawValue(RemotePacket::authenticated), {});
    case Step::wrongLength:
      return host ? frame({fromHex("01"), ByteView(kClientNonce).first(31)})
                  : frame({fromHex("02"), kHostNonce, Bytes(31, 0x55)});
    case Step::wrongProof:
      return host ? frame({fromHex("03"), Bytes(32, 0x55)})
                  : frame({fromHex("02"), kHostNonce, Bytes(32, 0x55)});
    case Step::earlySealed:
      return peerCipher.sealFrame(rawValue(RemotePacket::configuration), asBytes("{}"));
    case Step::unknownType:
      return frame({fromHex("07"), Bytes(32, 0)});
    case Step::garbage:
      return fromHex("deadbeef0102");
  }
  return {};
}

constexpr const char* kAuth = "Device authentication failed. Check the connection key.";
constexpr const char* kInvalid = "Invalid remote protocol packet.";

struct Outcome {
  int phase = 0;                // phase after the step, when it succeeds
  const char* error = nullptr;  // reason text, when it fails
  size_t writes = 0;            // frames the step emits
  bool ready = false;
  bool packet = false;
};

// The transition table: what a step does from each phase.
Outcome expected(RemoteRole role, int phase, Step step, int earlyUses) {
  const bool authShaped =
      step == Step::wrongLength || step == Step::wrongProof || step == Step::valid1;
  if (role == RemoteRole::host) {
    switch (phase) {
      case 0:
        if (step == Step::valid1) return {1, nullptr, 1};
        return {0, authShaped || step == Step::valid2 ? kAuth : kInvalid};
      case 1:
        if (step == Step::valid2) return {3, nullptr, 1, true};
        return {1, authShaped ? kAuth : kInvalid};
      default:
        // Plaintext handshake frames are shorter than a record; the early record is the
        // client's record 0, accepted once and a replay after that.
        if (step == Step::earlySealed)
          return earlyUses == 0 ? Outcome{3, nullptr, 0, false, true} : Outcome{3, kAuth};
        return {3, kInvalid};
    }
  }
  switch (phase) {
    case 0:
      if (step == Step::valid1) return {2, nullptr, 1};
      return {0, step == Step::wrongLength || step == Step::wrongProof ? kAuth : kInvalid};
    case 2:
      if (step == Step::valid2) return {3, nullptr, 0, true};
      [[fallthrough]];
    default:
      // Anything record-sized that is not the next record fails authentication.
      return {phase, step == Step::unknownType || step == Step::garbage ? kInvalid : kAuth};
  }
}

void checkSequence(RemoteRole role, const std::vector<Step>& steps) {
  SCOPED_TRACE("steps (Step values) " + testing::PrintToString(steps));
  SecureChannel channel = makeChannel(role);
  RecordingSink sink;
  channel.transportReady(sink);
  int phase = 0, earlyUses = 0;
  bool failed = false;
  for (Step step : steps) {
    const size_t writesBefore = sink.writes.size(), packetsBefore = sink.packets.size();
    const int readyBefore = sink.readyCount;
    std::optional<std::string> error;
    try {
      channel.receive(input(role, step), sink);
    } catch (const std::exception& e) {
      error = e.what();
    }
    // A dead channel swallows everything and emits nothing.
    const Outcome want = failed ? Outcome{phase} : expected(role, phase, step, earlyUses);
    ASSERT_EQ(error.value_or(""), want.error ? want.error : "");
    EXPECT_EQ(sink.writes.size() - writesBefore, want.writes);
    EXPECT_EQ(sink.readyCount - readyBefore, want.ready ? 1 : 0);
    EXPECT_EQ(sink.packets.size() - packetsBefore, want.packet ? 1u : 0u);
    failed = failed || error;
    EXPECT_EQ(channel.failed(), failed);
    EXPECT_EQ(channel.phase(), failed ? channel.phase() : want.phase);
    if (step == Step::earlySealed) ++earlyUses;
    phase = want.phase;
  }
  const bool validPath = steps.size() >= 2 && steps[0] == Step::valid1 && steps[1] == Step::valid2;
  EXPECT_EQ(channel.established(), validPath);
}

TEST(SecureChannelTest, EverySequenceOfUpToFourStepsFollowsTheTransitionTable) {
  for (RemoteRole role : {RemoteRole::host, RemoteRole::client}) {
    std::vector<std::vector<Step>> sequences{{}};
    for (size_t at = 0; at < sequences.size(); ++at) {
      if (sequences[at].size() == 4) continue;
      for (int step = valid1; step <= garbage; ++step) {
        sequences.push_back(sequences[at]);
        sequences.back().push_back(static_cast<Step>(step));
        checkSequence(role, sequences.back());
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(SecureChannelTest, OnceEstablishedSealedHandshakeTypesAndUnknownTypesAreRefused) {
  RecordingSink sink;
  for (uint8_t type : {3, 0, 9, 22, 255}) {
    SecureChannel host = makeChannel(RemoteRole::host);
    host.receive(input(RemoteRole::host, Step::valid1), sink);
    host.receive(input(RemoteRole::host, Step::valid2), sink);
    SessionCipher peer(key(), kClientNonce, kHostNonce, RemoteRole::client);
    EXPECT_THROW(host.receive(peer.sealFrame(type, {}), sink), RemoteError) << int(type);
  }
  EXPECT_TRUE(sink.packets.empty());
}

}  // namespace
}  // namespace veltra
