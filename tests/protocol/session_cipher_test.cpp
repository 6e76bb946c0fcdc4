#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <limits>
#include <set>
#include <string>

#include "protocol/Crypto.h"
#include "protocol/PacketFramer.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "protocol/RemotePacket.h"
#include "protocol/SessionCipher.h"

namespace veltra {
namespace {

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// Runs `action`, which must throw `RemoteError` of `kind` and leave `cipher` where it was.
void expectRemoteError(const std::function<void()>& action, RemoteError::Kind kind,
                       const SessionCipher& cipher) {
  const uint64_t before = cipher.sequence();
  try {
    action();
    ADD_FAILURE() << "no RemoteError thrown";
  } catch (const RemoteError& error) {
    EXPECT_EQ(error.kind(), kind) << error.what();
  }
  EXPECT_EQ(cipher.sequence(), before);
}

void expectTagFailure(SessionCipher& receiver, ByteView record) {
  const uint64_t before = receiver.sequence();
  try {
    receiver.open(record);
    ADD_FAILURE() << "record opened";
  } catch (const CipherError& error) {
    EXPECT_STREQ(error.what(), "Sealed record failed authentication.");
  }
  EXPECT_EQ(receiver.sequence(), before);
}

class SessionCipherTest : public ::testing::Test {
 protected:
  SessionCipher make(RemoteRole direction) const {
    return SessionCipher(secret_, clientNonce_, hostNonce_, direction);
  }

  SecretKey secret_ = RemoteAuthentication::secret(RemoteAuthentication::newKey());
  Bytes clientNonce_ = RemoteAuthentication::nonce();
  Bytes hostNonce_ = RemoteAuthentication::nonce();
};

TEST_F(SessionCipherTest, RecordsCarryTheSequenceAndOpenInOrder) {
  SessionCipher sender = make(RemoteRole::host);
  SessionCipher receiver = make(RemoteRole::host);
  const Bytes first = sender.seal(bytesOf("first"));
  const Bytes second = sender.seal(bytesOf("second!"));
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 8), Bytes(8, 0));
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 8), (Bytes{0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(first.size(), SessionCipher::kOverhead + 5);
  EXPECT_EQ(sender.sequence(), 2u);

  EXPECT_EQ(receiver.open(first), bytesOf("first"));
  EXPECT_EQ(receiver.open(second), bytesOf("second!"));
  EXPECT_EQ(receiver.sequence(), 2u);

  // Moving the cipher (as its owner does into an optional) keeps the stream going.
  SessionCipher moved = std::move(sender);
  EXPECT_EQ(receiver.open(moved.seal(bytesOf("third"))), bytesOf("third"));
}

TEST_F(SessionCipherTest, EveryRecordGetsAFreshNonce) {
  // Two senders in the same state: only the nonce can make their records differ.
  SessionCipher a = make(RemoteRole::client);
  SessionCipher b = make(RemoteRole::client);
  const Bytes plaintext(64, 0x42);
  const Bytes fromA = a.seal(plaintext);
  const Bytes fromB = b.seal(plaintext);
  ASSERT_EQ(fromA.size(), fromB.size());
  EXPECT_TRUE(std::equal(fromA.begin(), fromA.begin() + 8, fromB.begin()));
  for (size_t offset = 8; offset < fromA.size(); offset += 4) {
    EXPECT_FALSE(
        std::equal(fromA.begin() + offset, fromA.begin() + offset + 4, fromB.begin() + offset))
        << "offset " << offset;
  }
}

using Nonce = std::array<uint8_t, crypto::AesGcm256::kNonceSize>;

TEST(RandomNonceTest, DistinctAcrossBatchesAndInAForkedChild) {
  std::set<Nonce> seen;
  for (int i = 0; i < 1000; ++i) {
    Nonce nonce{};
    crypto::randomNonce(nonce);
    EXPECT_TRUE(seen.insert(nonce).second) << "repeated at draw " << i;
  }

  // The child must not hand out what the parent's batch still holds.
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Nonce nonce{};
    crypto::randomNonce(nonce);
    const bool sent =
        write(pipeEnds[1], nonce.data(), nonce.size()) == static_cast<ssize_t>(nonce.size());
    _exit(sent ? 0 : 1);
  }
  close(pipeEnds[1]);
  Nonce fromChild{};
  const ssize_t received = read(pipeEnds[0], fromChild.data(), fromChild.size());
  close(pipeEnds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(received, static_cast<ssize_t>(fromChild.size()));
  Nonce fromParent{};
  crypto::randomNonce(fromParent);
  EXPECT_NE(fromChild, fromParent);
  EXPECT_EQ(seen.count(fromChild), 0u);
}

TEST_F(SessionCipherTest, ReplayedAndReorderedRecordsFailWithoutDesynchronising) {
  SessionCipher sender = make(RemoteRole::client);
  SessionCipher receiver = make(RemoteRole::client);
  const Bytes record0 = sender.seal(bytesOf("zero"));
  const Bytes record1 = sender.seal(bytesOf("one"));

  expectRemoteError([&] { receiver.open(record1); }, RemoteError::Kind::authentication, receiver);
  EXPECT_EQ(receiver.open(record0), bytesOf("zero"));
  expectRemoteError([&] { receiver.open(record0); }, RemoteError::Kind::authentication, receiver);
  EXPECT_EQ(receiver.open(record1), bytesOf("one"));
}

TEST_F(SessionCipherTest, RecordLengthBoundaries) {
  SessionCipher sender = make(RemoteRole::host);
  SessionCipher receiver = make(RemoteRole::host);
  const Bytes empty = sender.seal({});
  ASSERT_EQ(empty.size(), 36u);

  for (const size_t length : {size_t{0}, size_t{8}, size_t{35}}) {
    expectRemoteError([&] { receiver.open(ByteView(empty).first(length)); },
                      RemoteError::Kind::invalidPacket, receiver);
  }
  EXPECT_TRUE(receiver.open(empty).empty());
}

TEST_F(SessionCipherTest, AnyFlippedBitFails) {
  SessionCipher sender = make(RemoteRole::host);
  SessionCipher receiver = make(RemoteRole::host);
  const Bytes record = sender.seal(bytesOf("hello"));
  for (size_t bit = 0; bit < record.size() * 8; ++bit) {
    SCOPED_TRACE("bit " + std::to_string(bit));
    Bytes tampered = record;
    tampered[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    if (bit < 64) {
      expectRemoteError([&] { receiver.open(tampered); }, RemoteError::Kind::authentication,
                        receiver);
      // Moved to the position it now names, it still fails: the sequence field is the AAD.
      receiver.setSequenceForTesting(uint64_t{1} << (8 * (7 - bit / 8) + bit % 8));
      expectTagFailure(receiver, tampered);
      receiver.setSequenceForTesting(0);
    } else {
      expectTagFailure(receiver, tampered);
    }
  }
  EXPECT_EQ(receiver.open(record), bytesOf("hello"));
}

TEST_F(SessionCipherTest, RecordsOpenOnlyUnderTheirOwnDirectionAndExchange) {
  SessionCipher host = make(RemoteRole::host);
  SessionCipher clientReceiver = make(RemoteRole::client);
  expectTagFailure(clientReceiver, host.seal(bytesOf("hello")));

  SessionCipher otherExchange(secret_, clientNonce_, RemoteAuthentication::nonce(),
                              RemoteRole::host);
  expectTagFailure(otherExchange, make(RemoteRole::host).seal(bytesOf("hello")));
}

TEST_F(SessionCipherTest, SealingStopsAtTheRecordLimit) {
  SessionCipher sender = make(RemoteRole::host);
  SessionCipher receiver = make(RemoteRole::host);
  sender.setSequenceForTesting(SessionCipher::kRecordLimit - 1);
  receiver.setSequenceForTesting(SessionCipher::kRecordLimit - 1);

  const Bytes last = sender.seal(bytesOf("last"));
  EXPECT_EQ(Bytes(last.begin(), last.begin() + 8), (Bytes{0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff}));
  EXPECT_EQ(receiver.open(last), bytesOf("last"));
  EXPECT_EQ(sender.sequence(), SessionCipher::kRecordLimit);

  for (const auto& attempt : std::initializer_list<std::function<void()>>{
           [&] { sender.seal(bytesOf("one more")); },
           [&] { sender.sealFrame(rawValue(RemotePacket::ping), bytesOf("one more")); }}) {
    try {
      attempt();
      ADD_FAILURE() << "sealed past the limit";
    } catch (const RemoteError& error) {
      EXPECT_EQ(error.kind(), RemoteError::Kind::unavailable);
      EXPECT_STREQ(error.what(), "Session key exhausted; reconnect.");
    }
    EXPECT_EQ(sender.sequence(), SessionCipher::kRecordLimit);
  }
}

TEST_F(SessionCipherTest, OpeningRefusesToWrapTheCounter) {
  SessionCipher receiver = make(RemoteRole::client);
  constexpr uint64_t kLast = std::numeric_limits<uint64_t>::max();
  receiver.setSequenceForTesting(kLast);

  // A correctly sealed record at the last number, built by hand since no sender goes there.
  crypto::AesGcm256 aead(receiver.key().bytes());
  Bytes record(SessionCipher::kOverhead, 0xff);
  const std::span<uint8_t> body(record);
  aead.seal(crypto::AesGcm256::Nonce(record.data() + 8, 12), body.first(8), {}, {}, {},
            body.last<16>());
  expectRemoteError([&] { receiver.open(record); }, RemoteError::Kind::unavailable, receiver);
}

TEST_F(SessionCipherTest, SealFrameIsLengthPrefixedRecordOfTypeAndPayload) {
  SessionCipher sender = make(RemoteRole::host);
  SessionCipher receiver = make(RemoteRole::host);
  Bytes payload(1000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);

  const Bytes frame = sender.sealFrame(rawValue(RemotePacket::videoFrame), payload);
  ASSERT_EQ(frame.size(), 4 + 36 + 1 + payload.size());
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), (Bytes{0, 0, 0x04, 0x0d}));  // 1037
  Bytes expected{rawValue(RemotePacket::videoFrame)};
  expected.insert(expected.end(), payload.begin(), payload.end());
  EXPECT_EQ(receiver.open(ByteView(frame).subspan(4)), expected);

  // It shares the sequence with seal.
  EXPECT_EQ(receiver.open(sender.seal(bytesOf("next"))), bytesOf("next"));
  const Bytes bare = sender.sealFrame(rawValue(RemotePacket::authenticated), {});
  ASSERT_EQ(bare.size(), 41u);
  EXPECT_EQ(Bytes(bare.begin(), bare.begin() + 12), (Bytes{0, 0, 0, 37, 0, 0, 0, 0, 0, 0, 0, 2}));
  EXPECT_EQ(receiver.open(ByteView(bare).subspan(4)), Bytes{rawValue(RemotePacket::authenticated)});
}

TEST_F(SessionCipherTest, SealFrameRespectsTheFrameLimit) {
  SessionCipher sender = make(RemoteRole::host);
  SessionCipher receiver = make(RemoteRole::host);
  const Bytes big(PacketFramer::maximumSize - SessionCipher::kOverhead, 0x5a);

  const ByteView fits = ByteView(big).first(big.size() - 1);
  const Bytes frame = sender.sealFrame(rawValue(RemotePacket::videoFrame), fits);
  EXPECT_EQ(frame.size(), 4 + size_t{PacketFramer::maximumSize});
  const Bytes opened = receiver.open(ByteView(frame).subspan(4));
  EXPECT_TRUE(std::equal(opened.begin() + 1, opened.end(), fits.begin(), fits.end()));

  expectRemoteError([&] { sender.sealFrame(rawValue(RemotePacket::videoFrame), big); },
                    RemoteError::Kind::invalidPacket, sender);
}

}  // namespace
}  // namespace veltra
