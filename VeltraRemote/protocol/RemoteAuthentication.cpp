#include "protocol/RemoteAuthentication.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <optional>

#include "protocol/Base64.h"
#include "protocol/Crypto.h"
#include "protocol/RemoteError.h"
#include "protocol/UnicodeText.h"

namespace veltra::RemoteAuthentication {
namespace {

constexpr const char* kKeyTextError = "Use the 32-byte connection key shown by Veltra Host.";

// The message is built from parts: the HMAC sees their concatenation. Fixed-size nonces keep the
// boundaries unambiguous, so a shifted byte cannot turn one exchange's message into another's.
bool hasNonceSizes(ByteView clientNonce, ByteView hostNonce) {
  return clientNonce.size() == kNonceSize && hostNonce.size() == kNonceSize;
}

}  // namespace

std::string newKey() {
  SecretKey key;
  crypto::randomBytes(key.mutableBytes());
  return base64Encode(key.bytes());
}

Bytes nonce() {
  Bytes bytes(kNonceSize);
  crypto::randomBytes(bytes);
  return bytes;
}

SecretKey secret(std::string_view text) {
  // Pasted or typed keys often carry white space at their ends. Text that is not valid UTF-8 is
  // left as it is and then fails as Base64.
  std::optional<Bytes> decoded = base64Decode(trimWhiteSpace(text));
  if (!decoded || decoded->size() != SecretKey::kSize) {
    if (decoded) OPENSSL_cleanse(decoded->data(), decoded->size());
    throw RemoteError::unavailable(kKeyTextError);
  }
  SecretKey key(std::span<const uint8_t, SecretKey::kSize>(decoded->data(), SecretKey::kSize));
  OPENSSL_cleanse(decoded->data(), decoded->size());
  return key;
}

void wipeKeyText(std::string& text) {
  OPENSSL_cleanse(text.data(), text.size());
}

Bytes proof(const SecretKey& secret, ByteView clientNonce, ByteView hostNonce, RemoteRole role) {
  // Nonces arrive from the peer; the connection checks their size, this is the last line.
  if (!hasNonceSizes(clientNonce, hostNonce)) throw RemoteError::invalidPacket();
  const crypto::HmacSha256Tag tag = crypto::hmacSha256(
      secret.bytes(), {asBytes(kLabelPrefix), asBytes(roleWord(role)), clientNonce, hostNonce});
  return Bytes(tag.begin(), tag.end());
}

bool verify(ByteView proof, const SecretKey& secret, ByteView clientNonce, ByteView hostNonce,
            RemoteRole role) {
  if (!hasNonceSizes(clientNonce, hostNonce)) return false;
  return crypto::verifyHmacSha256(
      secret.bytes(), {asBytes(kLabelPrefix), asBytes(roleWord(role)), clientNonce, hostNonce},
      proof);
}

}  // namespace veltra::RemoteAuthentication
