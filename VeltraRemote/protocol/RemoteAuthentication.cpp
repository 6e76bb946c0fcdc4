#include "protocol/RemoteAuthentication.h"

#include <openssl/crypto.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <limits>
#include <optional>

#include "protocol/Base64.h"
#include "protocol/Crypto.h"
#include "protocol/RemoteError.h"

namespace veltra::RemoteAuthentication {
namespace {

constexpr const char* kKeyTextError = "Use the 32-byte connection key shown by Veltra Host.";

// Strips Unicode white space (spaces, tabs, line and paragraph separators, NEL, no-break space
// and the like) from both ends, as pasted or typed keys often carry some. Text that is not valid
// UTF-8 is left as it is and then fails as Base64.
std::string_view trimWhiteSpace(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c = 0;
    U8_NEXT(bytes, next, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c = 0;
    U8_PREV(bytes, begin, previous, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = previous;
  }
  return text.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
}

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
  // ICU indexes UTF-8 with int32_t; no key text comes near that.
  if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw RemoteError::unavailable(kKeyTextError);
  }
  std::optional<Bytes> decoded = base64Decode(trimWhiteSpace(text));
  if (!decoded || decoded->size() != SecretKey::kSize) {
    if (decoded) OPENSSL_cleanse(decoded->data(), decoded->size());
    throw RemoteError::unavailable(kKeyTextError);
  }
  SecretKey key(std::span<const uint8_t, SecretKey::kSize>(decoded->data(), SecretKey::kSize));
  OPENSSL_cleanse(decoded->data(), decoded->size());
  return key;
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
