#pragma once

#include <cstdint>
#include <memory>

#include "protocol/RemoteRole.h"
#include "protocol/SecretKey.h"
#include "support/Bytes.h"

namespace veltra {

namespace crypto {
class AesGcm256;
}

// One direction of the encrypted channel. A record is
//   sequence (8, big-endian, also the AAD) | nonce (12) | ciphertext (P) | tag (16)
// and only the exact next sequence number opens. Plain value owned by one connection and used
// only on its wire queue.
class SessionCipher {
 public:
  static constexpr size_t kSequenceSize = 8;
  static constexpr size_t kNonceSize = 12;
  static constexpr size_t kTagSize = 16;
  static constexpr size_t kOverhead = kSequenceSize + kNonceSize + kTagSize;  // 36
  // Random 96-bit nonces are safe for at most 2^32 records under one key.
  static constexpr uint64_t kRecordLimit = uint64_t{1} << 32;

  // Derives the key with HKDF-SHA256(ikm = secret, salt = clientNonce | hostNonce,
  // info = "veltra.remote.v1." + direction word).
  SessionCipher(const SecretKey& secret, ByteView clientNonce, ByteView hostNonce,
                RemoteRole direction);
  SessionCipher(SessionCipher&&) noexcept;
  SessionCipher& operator=(SessionCipher&&) noexcept;
  ~SessionCipher();

  // Plaintext to record. Throws RemoteError::unavailable("Session key exhausted; reconnect.")
  // once kRecordLimit records were sealed; sequence() is unchanged by any failure.
  Bytes seal(ByteView plaintext);

  // Record to plaintext. Throws RemoteError::invalidPacket under 36 bytes,
  // RemoteError::authentication on a sequence number other than sequence(), CipherError
  // ("Sealed record failed authentication.") when the tag does not verify. Nothing decrypted is
  // handed out unless the tag verified.
  Bytes open(ByteView record);

  // The video path's form of seal: the plaintext is `type` followed by `payload`, and the result
  // is the whole frame (4-byte big-endian body length, then the record), built in one buffer
  // without copying the payload first.
  Bytes sealFrame(uint8_t type, ByteView payload);

  uint64_t sequence() const { return sequence_; }
  const SecretKey& key() const { return key_; }

  // Tests only: jump to a sequence number near a limit.
  void setSequenceForTesting(uint64_t sequence) { sequence_ = sequence; }

 private:
  void sealInto(uint8_t* record, ByteView first, ByteView second);

  SecretKey key_;
  uint64_t sequence_ = 0;
  std::unique_ptr<crypto::AesGcm256> aead_;
};

}  // namespace veltra
