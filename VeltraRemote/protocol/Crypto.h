#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "support/Bytes.h"

// OpenSSL's EVP_CIPHER_CTX, declared by its struct tag so that this header needs no OpenSSL.
struct evp_cipher_ctx_st;

// Thin wrappers over OpenSSL's libcrypto for the protocol's primitives: secure random bytes,
// HMAC-SHA256, HKDF-SHA256 and AES-256-GCM. OpenSSL types stay in Crypto.cpp so that nothing
// above the protocol layer compiles against OpenSSL headers.
//
// Failures of the library itself (not a bad tag, which is a normal outcome) throw
// RemoteError::unavailable. The free functions may be called from any thread.
namespace veltra::crypto {

// Throws RemoteError::unavailable("Secure random generator failed.") when the system generator
// cannot deliver: nothing in the protocol may fall back to predictable bytes.
void randomBytes(std::span<uint8_t> out);

inline constexpr size_t kHmacSha256Size = 32;
using HmacSha256Tag = std::array<uint8_t, kHmacSha256Size>;

// HMAC-SHA256 over the concatenation of `message`, without building the concatenation.
HmacSha256Tag hmacSha256(ByteView key, std::initializer_list<ByteView> message);

// Constant-time check of `tag`. Only a full 32-byte tag can pass: a shorter value is rejected
// outright, never compared as a prefix.
bool verifyHmacSha256(ByteView key, std::initializer_list<ByteView> message, ByteView tag);

// HKDF-SHA256 (RFC 5869, extract then expand) filling all of `out`. Throws when the library
// refuses, e.g. for more than 255 * 32 = 8160 output bytes.
void hkdfSha256(ByteView ikm, ByteView salt, ByteView info, std::span<uint8_t> out);

// AES-256-GCM with a 96-bit nonce and a 128-bit tag, both fixed by the types. The key schedule
// is computed once; each record only sets a new nonce. Not thread-safe: one instance belongs to
// one cipher direction on one queue.
class AesGcm256 {
 public:
  static constexpr size_t kKeySize = 32;
  static constexpr size_t kNonceSize = 12;
  static constexpr size_t kTagSize = 16;

  using Nonce = std::span<const uint8_t, kNonceSize>;

  explicit AesGcm256(std::span<const uint8_t, kKeySize> key);
  AesGcm256(const AesGcm256&) = delete;
  AesGcm256& operator=(const AesGcm256&) = delete;
  ~AesGcm256();

  // Encrypts `first` followed by `second` into `ciphertext`, which must be exactly as long as
  // both together. The two parts let a packet's type byte and its payload be sealed straight
  // into one frame buffer without joining them first.
  void seal(Nonce nonce, ByteView aad, ByteView first, ByteView second,
            std::span<uint8_t> ciphertext, std::span<uint8_t, kTagSize> tag);

  // Decrypts into `plaintext` (exactly as long as `ciphertext`) and reports whether the tag
  // verified. GCM writes plaintext before the tag can be checked, so on false `plaintext` has
  // been wiped here and must not be used.
  bool open(Nonce nonce, ByteView aad, ByteView ciphertext, std::span<const uint8_t, kTagSize> tag,
            std::span<uint8_t> plaintext);

 private:
  evp_cipher_ctx_st* ctx_;  // owned; holds the expanded key
};

// A fresh random AES-GCM nonce. One call into the secure generator costs more than sealing a
// small record, so nonces are drawn in batches; they travel in clear anyway, so holding some
// ahead reveals nothing. The batch is per thread and dropped in a forked child, so that no two
// processes hand out the same nonces.
void randomNonce(std::span<uint8_t, AesGcm256::kNonceSize> out);

}  // namespace veltra::crypto
