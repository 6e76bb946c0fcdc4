#pragma once

#include <string>
#include <string_view>

#include "protocol/RemoteRole.h"
#include "protocol/SecretKey.h"
#include "support/Bytes.h"

namespace veltra {

// Connection-key handling and the HMAC proofs with which each side shows that it knows the key,
// bound to both sides' fresh nonces. Stateless; callable from any thread.
namespace RemoteAuthentication {

inline constexpr size_t kNonceSize = 32;
inline constexpr size_t kProofSize = 32;

// A fresh key as 44 characters of Base64.
std::string newKey();

// 32 bytes from the system's secure random generator. Throws RemoteError::unavailable if the
// generator fails: a predictable nonce would let a recorded session be replayed.
Bytes nonce();

// Parses key text: surrounding white space trimmed, strict Base64, exactly 32 bytes; else throws
// RemoteError::unavailable("Use the 32-byte connection key shown by Veltra Host.").
SecretKey secret(std::string_view text);

// Overwrites key text in place, so that releasing the string leaves no copy of the key in freed
// memory. The string keeps its length.
void wipeKeyText(std::string& text);

// HMAC-SHA256(key, "veltra.remote.v1." + role + client nonce + host nonce).
Bytes proof(const SecretKey& secret, ByteView clientNonce, ByteView hostNonce, RemoteRole role);

// Constant-time check of a received proof; a value of the wrong length simply fails.
bool verify(ByteView proof, const SecretKey& secret, ByteView clientNonce, ByteView hostNonce,
            RemoteRole role);

}  // namespace RemoteAuthentication
}  // namespace veltra
