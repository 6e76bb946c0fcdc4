#include "protocol/SessionCipher.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>

#include "protocol/Crypto.h"
#include "protocol/PacketFramer.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"

namespace veltra {
namespace {

using Header = std::array<uint8_t, SessionCipher::kSequenceSize>;

Header sequenceHeader(uint64_t sequence) {
  Header header{};
  for (size_t i = 0; i < header.size(); ++i) {
    header[i] = static_cast<uint8_t>(sequence >> (8 * (header.size() - 1 - i)));
  }
  return header;
}

uint64_t readSequence(ByteView record) {
  uint64_t sequence = 0;
  for (size_t i = 0; i < SessionCipher::kSequenceSize; ++i) sequence = (sequence << 8) | record[i];
  return sequence;
}

// Past the limit a random 96-bit nonce is no longer safely unique under one key.
void requireRecordsLeft(uint64_t sequence) {
  if (sequence >= SessionCipher::kRecordLimit) {
    throw RemoteError::unavailable("Session key exhausted; reconnect.");
  }
}

// The largest payload that sealFrame fits, with its type byte, into one frame body.
constexpr size_t kMaxFramePayload = PacketFramer::maximumSize - SessionCipher::kOverhead - 1;

}  // namespace

SessionCipher::SessionCipher(const SecretKey& secret, ByteView clientNonce, ByteView hostNonce,
                             RemoteRole direction) {
  constexpr size_t kNonce = RemoteAuthentication::kNonceSize;
  if (clientNonce.size() != kNonce || hostNonce.size() != kNonce) {
    throw RemoteError::invalidPacket();
  }
  std::array<uint8_t, 2 * kNonce> salt{};
  std::copy(clientNonce.begin(), clientNonce.end(), salt.begin());
  std::copy(hostNonce.begin(), hostNonce.end(), salt.begin() + kNonce);
  const std::string info = std::string(kLabelPrefix) + std::string(roleWord(direction));
  crypto::hkdfSha256(secret.bytes(), salt, asBytes(info), key_.mutableBytes());
  aead_ = std::make_unique<crypto::AesGcm256>(key_.bytes());
}

// A moved-from cipher keeps no copy of the key.
SessionCipher::SessionCipher(SessionCipher&& other) noexcept
    : key_(other.key_), sequence_(other.sequence_), aead_(std::move(other.aead_)) {
  other.key_ = SecretKey();
}

SessionCipher& SessionCipher::operator=(SessionCipher&& other) noexcept {
  if (this != &other) {
    key_ = other.key_;
    sequence_ = other.sequence_;
    aead_ = std::move(other.aead_);
    other.key_ = SecretKey();
  }
  return *this;
}

SessionCipher::~SessionCipher() = default;

Bytes SessionCipher::seal(ByteView plaintext) {
  requireRecordsLeft(sequence_);
  Bytes record(kOverhead + plaintext.size());
  sealInto(record.data(), plaintext, {});
  return record;
}

Bytes SessionCipher::sealFrame(uint8_t type, ByteView payload) {
  requireRecordsLeft(sequence_);
  if (payload.size() > kMaxFramePayload) throw RemoteError::invalidPacket();
  const size_t bodySize = kOverhead + 1 + payload.size();
  Bytes frame(PacketFramer::kHeaderSize + bodySize);
  for (size_t i = 0; i < PacketFramer::kHeaderSize; ++i) {
    frame[i] = static_cast<uint8_t>(bodySize >> (8 * (PacketFramer::kHeaderSize - 1 - i)));
  }
  sealInto(frame.data() + PacketFramer::kHeaderSize, ByteView(&type, 1), payload);
  return frame;
}

// Writes the whole record for `first` followed by `second` at `record`, which has room for
// kOverhead plus both. The sequence advances only once everything has succeeded.
void SessionCipher::sealInto(uint8_t* record, ByteView first, ByteView second) {
  const Header header = sequenceHeader(sequence_);
  std::copy(header.begin(), header.end(), record);
  const std::span<uint8_t, kNonceSize> nonce(record + kSequenceSize, kNonceSize);
  crypto::randomNonce(nonce);
  const size_t plaintextSize = first.size() + second.size();
  uint8_t* const ciphertext = record + kSequenceSize + kNonceSize;
  aead_->seal(nonce, header, first, second, {ciphertext, plaintextSize},
              std::span<uint8_t, kTagSize>(ciphertext + plaintextSize, kTagSize));
  ++sequence_;
}

Bytes SessionCipher::open(ByteView record) {
  if (record.size() < kOverhead) throw RemoteError::invalidPacket();
  const uint64_t sequence = readSequence(record);
  if (sequence != sequence_) throw RemoteError::authentication();
  // Accepting this record would wrap the counter to 0 and let the first record replay.
  if (sequence == std::numeric_limits<uint64_t>::max()) {
    throw RemoteError::unavailable("Session key exhausted; reconnect.");
  }

  const size_t plaintextSize = record.size() - kOverhead;
  Bytes plaintext(plaintextSize);
  if (!aead_->open(record.subspan<kSequenceSize, kNonceSize>(), record.first<kSequenceSize>(),
                   record.subspan(kSequenceSize + kNonceSize, plaintextSize),
                   record.last<kTagSize>(), plaintext)) {
    throw CipherError("Sealed record failed authentication.");
  }
  sequence_ = sequence + 1;
  return plaintext;
}

}  // namespace veltra
