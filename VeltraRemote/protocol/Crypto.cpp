#include "protocol/Crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <string>

#include "protocol/RemoteError.h"

namespace veltra::crypto {
namespace {

// OpenSSL counts lengths in int in the older EVP calls; longer inputs go through in pieces.
constexpr size_t kMaxChunk = size_t{1} << 30;

// Some OpenSSL paths treat a null pointer as "parameter not given" even with length 0, so empty
// inputs point here instead.
constexpr uint8_t kEmpty[1] = {0};

const uint8_t* dataOrEmpty(ByteView bytes) {
  return bytes.empty() ? kEmpty : bytes.data();
}

[[noreturn]] void fail(const char* operation) {
  // Leave no stale entries behind for the next caller on this thread to misread.
  ERR_clear_error();
  throw RemoteError::unavailable(std::string(operation) + " failed.");
}

struct MacDeleter {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
  void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};

struct KdfDeleter {
  void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
  void operator()(EVP_KDF_CTX* context) const { EVP_KDF_CTX_free(context); }
};

// Fetching walks the provider tables under a lock, so each algorithm is fetched once per process
// (thread-safe static initialisation) and only its contexts are made per call. The statics are
// destroyed before OpenSSL's own exit handler, which was registered during the first fetch.
EVP_MAC* hmacAlgorithm() {
  static const std::unique_ptr<EVP_MAC, MacDeleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) fail("HMAC-SHA256");
  return mac.get();
}

EVP_KDF* hkdfAlgorithm() {
  static const std::unique_ptr<EVP_KDF, KdfDeleter> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) fail("HKDF-SHA256");
  return kdf.get();
}

OSSL_PARAM octetParameter(const char* name, ByteView bytes) {
  // OSSL_PARAM is a two-way structure and so not const-correct; these are only read.
  return OSSL_PARAM_construct_octet_string(name, const_cast<uint8_t*>(dataOrEmpty(bytes)),
                                           bytes.size());
}

// Feeds `input` to the cipher, writing as many bytes to `output` (null for additional data).
bool cipherUpdate(EVP_CIPHER_CTX* context, uint8_t* output, ByteView input, bool encrypt) {
  while (!input.empty()) {
    const size_t chunk = std::min(input.size(), kMaxChunk);
    int written = 0;
    const int ok =
        encrypt
            ? EVP_EncryptUpdate(context, output, &written, input.data(), static_cast<int>(chunk))
            : EVP_DecryptUpdate(context, output, &written, input.data(), static_cast<int>(chunk));
    if (ok != 1) return false;
    if (output != nullptr) {
      // GCM is a stream mode: every input byte yields one output byte at once.
      if (static_cast<size_t>(written) != chunk) return false;
      output += chunk;
    }
    input = input.subspan(chunk);
  }
  return true;
}

struct NoncePool {
  std::array<uint8_t, 128 * AesGcm256::kNonceSize> bytes;
  size_t next = bytes.size();  // everything used: refill on the next draw
};

thread_local NoncePool noncePool;

// Runs in the child of fork() on the thread that forked, the only one the child has.
void dropNoncesAfterFork() {
  noncePool.next = noncePool.bytes.size();
}

}  // namespace

void randomBytes(std::span<uint8_t> out) {
  while (!out.empty()) {
    const size_t chunk = std::min(out.size(), kMaxChunk);
    if (RAND_bytes(out.data(), static_cast<int>(chunk)) != 1) {
      ERR_clear_error();
      throw RemoteError::unavailable("Secure random generator failed.");
    }
    out = out.subspan(chunk);
  }
}

HmacSha256Tag hmacSha256(ByteView key, std::initializer_list<ByteView> message) {
  const std::unique_ptr<EVP_MAC_CTX, MacDeleter> context(EVP_MAC_CTX_new(hmacAlgorithm()));
  if (!context) fail("HMAC-SHA256");

  char digest[] = "SHA256";
  const OSSL_PARAM parameters[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  // A null key would mean "keep the previous key", so an empty key must not be passed as null.
  if (EVP_MAC_init(context.get(), dataOrEmpty(key), key.size(), parameters) != 1) {
    fail("HMAC-SHA256");
  }
  for (const ByteView part : message) {
    if (!part.empty() && EVP_MAC_update(context.get(), part.data(), part.size()) != 1) {
      fail("HMAC-SHA256");
    }
  }
  HmacSha256Tag tag{};
  size_t length = 0;
  if (EVP_MAC_final(context.get(), tag.data(), &length, tag.size()) != 1 || length != tag.size()) {
    fail("HMAC-SHA256");
  }
  return tag;
}

bool verifyHmacSha256(ByteView key, std::initializer_list<ByteView> message, ByteView tag) {
  // The length is public; only the contents are compared in constant time.
  if (tag.size() != kHmacSha256Size) return false;
  HmacSha256Tag expected = hmacSha256(key, message);
  const bool equal = CRYPTO_memcmp(expected.data(), tag.data(), expected.size()) == 0;
  OPENSSL_cleanse(expected.data(), expected.size());
  return equal;
}

void hkdfSha256(ByteView ikm, ByteView salt, ByteView info, std::span<uint8_t> out) {
  const std::unique_ptr<EVP_KDF_CTX, KdfDeleter> context(EVP_KDF_CTX_new(hkdfAlgorithm()));
  if (!context) fail("HKDF-SHA256");

  char digest[] = "SHA256";
  const OSSL_PARAM parameters[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      octetParameter(OSSL_KDF_PARAM_KEY, ikm),
      octetParameter(OSSL_KDF_PARAM_SALT, salt),
      octetParameter(OSSL_KDF_PARAM_INFO, info),
      OSSL_PARAM_construct_end(),
  };
  if (EVP_KDF_derive(context.get(), out.data(), out.size(), parameters) != 1) {
    OPENSSL_cleanse(out.data(), out.size());
    fail("HKDF-SHA256");
  }
}

AesGcm256::AesGcm256(std::span<const uint8_t, kKeySize> key) : ctx_(EVP_CIPHER_CTX_new()) {
  if (ctx_ == nullptr) fail("AES-GCM");
  // The key is expanded here once; records only set a nonce (key argument null).
  if (EVP_EncryptInit_ex(ctx_, EVP_aes_256_gcm(), nullptr, key.data(), nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr) !=
          1) {
    EVP_CIPHER_CTX_free(ctx_);
    fail("AES-GCM");
  }
}

// Freeing the context cleanses the expanded key inside it.
AesGcm256::~AesGcm256() {
  EVP_CIPHER_CTX_free(ctx_);
}

void AesGcm256::seal(Nonce nonce, ByteView aad, ByteView first, ByteView second,
                     std::span<uint8_t> ciphertext, std::span<uint8_t, kTagSize> tag) {
  if (ciphertext.size() != first.size() + second.size()) {
    throw std::invalid_argument("AES-GCM ciphertext buffer has the wrong size.");
  }
  uint8_t* const out = ciphertext.data();
  uint8_t finalBlock[kTagSize];  // GCM's final step writes nothing; OpenSSL wants a pointer
  int finalLength = 0;
  if (EVP_EncryptInit_ex(ctx_, nullptr, nullptr, nullptr, nonce.data()) != 1 ||
      !cipherUpdate(ctx_, nullptr, aad, true) || !cipherUpdate(ctx_, out, first, true) ||
      !cipherUpdate(ctx_, out + first.size(), second, true) ||
      EVP_EncryptFinal_ex(ctx_, finalBlock, &finalLength) != 1 || finalLength != 0 ||
      EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag.data()) !=
          1) {
    OPENSSL_cleanse(ciphertext.data(), ciphertext.size());
    fail("AES-GCM");
  }
}

bool AesGcm256::open(Nonce nonce, ByteView aad, ByteView ciphertext,
                     std::span<const uint8_t, kTagSize> tag, std::span<uint8_t> plaintext) {
  if (plaintext.size() != ciphertext.size()) {
    throw std::invalid_argument("AES-GCM plaintext buffer has the wrong size.");
  }
  // Unauthenticated plaintext must not survive a failure of any kind.
  const auto wipe = [&] { OPENSSL_cleanse(plaintext.data(), plaintext.size()); };

  if (EVP_DecryptInit_ex(ctx_, nullptr, nullptr, nullptr, nonce.data()) != 1 ||
      !cipherUpdate(ctx_, nullptr, aad, false) ||
      !cipherUpdate(ctx_, plaintext.data(), ciphertext, false) ||
      EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize),
                          const_cast<uint8_t*>(tag.data())) != 1) {
    wipe();
    fail("AES-GCM");
  }
  uint8_t finalBlock[kTagSize];
  int finalLength = 0;
  if (EVP_DecryptFinal_ex(ctx_, finalBlock, &finalLength) != 1 || finalLength != 0) {
    wipe();
    ERR_clear_error();
    return false;
  }
  return true;
}

void randomNonce(std::span<uint8_t, AesGcm256::kNonceSize> out) {
  // Without the fork hook a child could repeat its parent's nonces, so then there is no batch.
  static const bool forkSafe = pthread_atfork(nullptr, nullptr, dropNoncesAfterFork) == 0;
  if (!forkSafe) {
    randomBytes(out);
    return;
  }
  NoncePool& pool = noncePool;
  if (pool.next == pool.bytes.size()) {
    randomBytes(pool.bytes);
    pool.next = 0;
  }
  const auto batch = std::span(pool.bytes).subspan(pool.next, out.size());
  std::copy(batch.begin(), batch.end(), out.begin());
  pool.next += out.size();
}

}  // namespace veltra::crypto
