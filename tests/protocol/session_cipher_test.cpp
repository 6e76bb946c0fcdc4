#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <limits>
#include <optional>
#include <set>

#include "protocol/Crypto.h"
#include "protocol/PacketFramer.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "protocol/RemotePacket.h"
#include "protocol/SessionCipher.h"
#include "protocol_test_support.h"

namespace veltra {
namespace {

using test::bytesOf;

// `action` must throw `Error` (of `kind`, for a RemoteError; CipherError is a failed tag) and leave
// `cipher`'s sequence where it was.
template <class Error = RemoteError>
void expectRefused(const SessionCipher& cipher, std::optional<RemoteError::Kind> kind,
                   const std::function<void()>& action) {
  const uint64_t before = cipher.sequence();
  try {
    action();
    ADD_FAILURE() << "not refused";
  } catch (const Error& error) {
    if constexpr (std::is_same_v<Error, RemoteError>) {
      EXPECT_EQ(error.kind(), kind.value_or(error.kind())) << error.what();
    }
  }
  EXPECT_EQ(cipher.sequence(), before);
}

class SessionCipherTest : public ::testing::Test {
 protected:
  SessionCipher make(RemoteRole direction) const {
    return SessionCipher(secret_, clientNonce_, hostNonce_, direction);
  }
  SecretKey secret_ = RemoteAuthentication::secret(RemoteAuthentication::newKey());
  Bytes clientNonce_ = RemoteAuthentication::nonce();
  Bytes hostNonce_ = RemoteAuthentication::nonce();
  SessionCipher sender_ = make(RemoteRole::host);
  SessionCipher receiver_ = make(RemoteRole::host);
};

TEST_F(SessionCipherTest, RecordsCarryTheSequenceAndOpenOnlyOnceAndInOrder) {
  const Bytes first = sender_.seal(bytesOf("first"));
  const Bytes second = sender_.seal(bytesOf("second!"));
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 8), (Bytes{0, 0, 0, 0, 0, 0, 0, 1}));

  expectRefused(receiver_, RemoteError::Kind::authentication, [&] { receiver_.open(second); });
  EXPECT_EQ(receiver_.open(first), bytesOf("first"));
  expectRefused(receiver_, RemoteError::Kind::authentication, [&] { receiver_.open(first); });
  EXPECT_EQ(receiver_.open(second), bytesOf("second!"));

  // Moving the cipher (as its owner does into an optional) keeps the stream going.
  SessionCipher moved = std::move(sender_);
  EXPECT_EQ(receiver_.open(moved.seal(bytesOf("third"))), bytesOf("third"));

  // A sender in the same state seals the same bytes differently: every record gets a fresh nonce.
  SessionCipher twin = make(RemoteRole::host);
  twin.setSequenceForTesting(moved.sequence());
  const Bytes a = moved.seal(Bytes(64, 0x42)), b = twin.seal(Bytes(64, 0x42));
  for (size_t offset = 8; offset < a.size(); offset += 4) {
    EXPECT_FALSE(std::equal(a.begin() + offset, a.begin() + offset + 4, b.begin() + offset))
        << "offset " << offset;
  }
}

TEST(RandomNonceTest, DistinctAcrossBatchesAndInAForkedChild) {
  using Nonce = std::array<uint8_t, crypto::AesGcm256::kNonceSize>;
  std::set<Nonce> seen;
  Nonce nonce{};
  for (int i = 0; i < 1000; ++i) {
    crypto::randomNonce(nonce);
    EXPECT_TRUE(seen.insert(nonce).second) << "repeated at draw " << i;
  }
  // The child must not hand out what the parent's batch still holds.
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t child = fork();
  if (child == 0) {
    crypto::randomNonce(nonce);
    _exit(write(pipeEnds[1], nonce.data(), nonce.size()) == ssize_t(nonce.size()) ? 0 : 1);
  }
  close(pipeEnds[1]);
  Nonce fromChild{};
  ASSERT_EQ(read(pipeEnds[0], fromChild.data(), fromChild.size()), ssize_t(fromChild.size()));
  close(pipeEnds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  crypto::randomNonce(nonce);
  EXPECT_NE(fromChild, nonce);
  EXPECT_EQ(seen.count(fromChild), 0u);
}

TEST_F(SessionCipherTest, ShortRecordsAnyFlippedBitAndTheOtherDirectionFail) {
  const Bytes record = sender_.seal(bytesOf("hello"));
  for (size_t length : {size_t{0}, size_t{8}, SessionCipher::kOverhead - 1}) {
    expectRefused(receiver_, RemoteError::Kind::invalidPacket,
                  [&] { receiver_.open(ByteView(record).first(length)); });
  }
  for (size_t bit = 0; bit < record.size() * 8; ++bit) {
    SCOPED_TRACE("bit " + std::to_string(bit));
    Bytes tampered = record;
    tampered[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    if (bit < 64) {
      expectRefused(receiver_, RemoteError::Kind::authentication,
                    [&] { receiver_.open(tampered); });
      // Moved to the position it now names, it still fails: the sequence field is the AAD.
      receiver_.setSequenceForTesting(uint64_t{1} << (8 * (7 - bit / 8) + bit % 8));
    }
    expectRefused<CipherError>(receiver_, std::nullopt, [&] { receiver_.open(tampered); });
    receiver_.setSequenceForTesting(0);
  }
  SessionCipher otherDirection = make(RemoteRole::client);
  SessionCipher otherExchange(secret_, clientNonce_, RemoteAuthentication::nonce(),
                              RemoteRole::host);
  for (SessionCipher* wrong : {&otherDirection, &otherExchange}) {
    expectRefused<CipherError>(*wrong, std::nullopt, [&] { wrong->open(record); });
  }
  EXPECT_EQ(receiver_.open(record), bytesOf("hello"));
}

TEST_F(SessionCipherTest, SequenceLimitsAreKeptOnBothSides) {
  sender_.setSequenceForTesting(SessionCipher::kRecordLimit - 1);
  receiver_.setSequenceForTesting(SessionCipher::kRecordLimit - 1);
  EXPECT_EQ(receiver_.open(sender_.seal(bytesOf("last"))), bytesOf("last"));
  expectRefused(sender_, RemoteError::Kind::unavailable,
                [&] { sender_.seal(bytesOf("one more")); });
  expectRefused(sender_, RemoteError::Kind::unavailable,
                [&] { sender_.sealFrame(rawValue(RemotePacket::ping), {}); });

  // A correctly sealed record at the last number, built by hand since no sender goes there:
  // opening it would wrap the counter.
  receiver_.setSequenceForTesting(std::numeric_limits<uint64_t>::max());
  crypto::AesGcm256 aead(receiver_.key().bytes());
  Bytes record(SessionCipher::kOverhead, 0xff);
  const std::span<uint8_t> body(record);
  aead.seal(crypto::AesGcm256::Nonce(record.data() + 8, 12), body.first(8), {}, {}, {},
            body.last<16>());
  expectRefused(receiver_, RemoteError::Kind::unavailable, [&] { receiver_.open(record); });
}

TEST_F(SessionCipherTest, SealFrameIsALengthPrefixedRecordOfTypeAndPayloadWithinTheFrameLimit) {
  const Bytes payload = test::counting(0, 1000);
  const Bytes frame = sender_.sealFrame(rawValue(RemotePacket::videoFrame), payload);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), (Bytes{0, 0, 0x04, 0x0d}));  // 1037
  EXPECT_EQ(receiver_.open(ByteView(frame).subspan(4)),
            test::concat({Bytes{rawValue(RemotePacket::videoFrame)}, payload}));

  const Bytes big(PacketFramer::maximumSize - SessionCipher::kOverhead, 0x5a);
  const Bytes largest =
      sender_.sealFrame(rawValue(RemotePacket::videoFrame), ByteView(big).first(big.size() - 1));
  EXPECT_EQ(largest.size(), 4 + size_t{PacketFramer::maximumSize});
  EXPECT_EQ(receiver_.open(ByteView(largest).subspan(4)).size(), big.size());
  expectRefused(sender_, RemoteError::Kind::invalidPacket,
                [&] { sender_.sealFrame(rawValue(RemotePacket::videoFrame), big); });
}

}  // namespace
}  // namespace veltra
