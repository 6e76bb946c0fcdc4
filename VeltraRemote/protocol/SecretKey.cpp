#include "protocol/SecretKey.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace veltra {

SecretKey::SecretKey(std::span<const uint8_t, kSize> bytes) {
  std::copy(bytes.begin(), bytes.end(), bytes_.begin());
}

SecretKey::SecretKey(const SecretKey& other) : bytes_(other.bytes_) {}

SecretKey& SecretKey::operator=(const SecretKey& other) {
  if (this != &other) {
    OPENSSL_cleanse(bytes_.data(), bytes_.size());
    bytes_ = other.bytes_;
  }
  return *this;
}

// OPENSSL_cleanse, unlike a plain memset, is not removed as a dead store.
SecretKey::~SecretKey() {
  OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

// Constant time, so that comparing keys does not reveal how many leading bytes agree.
bool operator==(const SecretKey& a, const SecretKey& b) {
  return CRYPTO_memcmp(a.bytes_.data(), b.bytes_.data(), SecretKey::kSize) == 0;
}

}  // namespace veltra
