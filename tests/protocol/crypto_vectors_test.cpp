// Published vectors (Wycheproof, RFC 4231, RFC 5869) and the protocol's own key-schedule vector,
// run through the same wrappers that the proofs and the session cipher use.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "protocol/Crypto.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "protocol/SessionCipher.h"
#include "protocol_test_support.h"

namespace veltra {
namespace {

using nlohmann::json;
using test::fromHex;

json loadWycheproof(const std::string& name) {
  std::ifstream file(std::string(VELTRA_TEST_DATA_DIR) + "/wycheproof/" + name);
  if (!file) throw std::runtime_error("missing test data " + name);
  return json::parse(file);
}

Bytes hexField(const json& test, const char* field) {
  return fromHex(test.at(field).get<std::string>());
}

std::string traceOf(const json& test) {
  return "tcId " + std::to_string(test.at("tcId").get<int>());
}

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes concat(ByteView a, ByteView b) {
  Bytes out(a.begin(), a.end());
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

TEST(CryptoVectorsTest, AesGcm256SealsAndOpensWycheproofVectors) {
  int valid = 0;
  int invalid = 0;
  const json vectors = loadWycheproof("aes_gcm_test.json");
  for (const json& group : vectors.at("testGroups")) {
    // The wrapper is AES-256 with a 96-bit nonce and a 128-bit tag by construction.
    if (group.at("keySize") != 256 || group.at("ivSize") != 96 || group.at("tagSize") != 128) {
      continue;
    }
    for (const json& test : group.at("tests")) {
      SCOPED_TRACE(traceOf(test));
      const Bytes key = hexField(test, "key");
      const Bytes iv = hexField(test, "iv");
      const Bytes aad = hexField(test, "aad");
      const Bytes msg = hexField(test, "msg");
      const Bytes ct = hexField(test, "ct");
      const Bytes tag = hexField(test, "tag");
      ASSERT_EQ(ct.size(), msg.size());
      ASSERT_EQ(tag.size(), crypto::AesGcm256::kTagSize);

      crypto::AesGcm256 aead(std::span<const uint8_t, 32>(key.data(), 32));
      const crypto::AesGcm256::Nonce nonce(iv.data(), 12);
      const std::span<const uint8_t, 16> tagView(tag.data(), 16);
      Bytes plaintext(msg.size(), 0xA5);
      if (test.at("result") == "valid") {
        ++valid;
        // One instance, several records: the nonce must fully reset the state each time, and
        // the two-part form must equal the one-part form wherever the split falls.
        const ByteView whole(msg);
        for (const size_t split : {size_t{0}, msg.size() / 2, msg.size()}) {
          Bytes sealed(msg.size());
          std::array<uint8_t, 16> sealedTag{};
          aead.seal(nonce, aad, whole.first(split), whole.subspan(split), sealed, sealedTag);
          EXPECT_EQ(sealed, ct) << "split " << split;
          EXPECT_EQ(Bytes(sealedTag.begin(), sealedTag.end()), tag) << "split " << split;
        }
        EXPECT_TRUE(aead.open(nonce, aad, ct, tagView, plaintext));
        EXPECT_EQ(plaintext, msg);
      } else {
        ++invalid;
        EXPECT_FALSE(aead.open(nonce, aad, ct, tagView, plaintext));
        EXPECT_EQ(plaintext, Bytes(msg.size(), 0)) << "unauthenticated plaintext left behind";
      }
    }
  }
  // Guards against the filter silently matching nothing.
  EXPECT_EQ(valid, 39);
  EXPECT_EQ(invalid, 27);
}

TEST(CryptoVectorsTest, HmacSha256AcceptsOnlyFullWycheproofTags) {
  int full = 0;
  int truncated = 0;
  const json vectors = loadWycheproof("hmac_sha256_test.json");
  for (const json& group : vectors.at("testGroups")) {
    const int tagBits = group.at("tagSize").get<int>();
    for (const json& test : group.at("tests")) {
      SCOPED_TRACE(traceOf(test));
      const Bytes key = hexField(test, "key");
      const Bytes msg = hexField(test, "msg");
      const Bytes tag = hexField(test, "tag");
      const bool valid = test.at("result") == "valid";
      const crypto::HmacSha256Tag computed = crypto::hmacSha256(key, {msg});
      const Bytes computedBytes(computed.begin(), computed.end());
      if (tagBits == 256) {
        ++full;
        EXPECT_EQ(computedBytes == tag, valid);
        EXPECT_EQ(crypto::verifyHmacSha256(key, {msg}, tag), valid);
        // Parts are hashed as their concatenation.
        const ByteView view(msg);
        const size_t split = msg.size() / 3;
        EXPECT_EQ(crypto::hmacSha256(key, {view.first(split), {}, view.subspan(split)}), computed);
      } else {
        ++truncated;
        // A valid truncated tag is a true prefix, so only the length check can refuse it.
        if (valid) {
          EXPECT_EQ(Bytes(computed.begin(), computed.begin() + 16), tag);
        }
        EXPECT_FALSE(crypto::verifyHmacSha256(key, {msg}, tag));
      }
    }
  }
  EXPECT_EQ(full, 87);
  EXPECT_EQ(truncated, 87);
}

TEST(CryptoVectorsTest, HkdfSha256MatchesWycheproofAndRefusesOversizedOutput) {
  int checked = 0;
  const json vectors = loadWycheproof("hkdf_sha256_test.json");
  for (const json& group : vectors.at("testGroups")) {
    for (const json& test : group.at("tests")) {
      SCOPED_TRACE(traceOf(test));
      ++checked;
      const Bytes ikm = hexField(test, "ikm");
      const Bytes salt = hexField(test, "salt");
      const Bytes info = hexField(test, "info");
      Bytes okm(test.at("size").get<size_t>());
      if (test.at("result") == "valid") {
        crypto::hkdfSha256(ikm, salt, info, okm);
        EXPECT_EQ(okm, hexField(test, "okm"));
      } else {
        EXPECT_THROW(crypto::hkdfSha256(ikm, salt, info, okm), RemoteError);
      }
    }
  }
  EXPECT_EQ(checked, 86);
}

Bytes repeated(uint8_t byte, size_t count) {
  return Bytes(count, byte);
}

Bytes counting(uint8_t first, size_t count) {
  Bytes out(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(first + i);
  return out;
}

TEST(CryptoVectorsTest, Rfc4231HmacSha256) {
  const std::string largeKeyData =
      "This is a test using a larger than block-size key and a larger than block-size data. The "
      "key needs to be hashed before being used by the HMAC algorithm.";
  const struct {
    Bytes key;
    Bytes data;
    const char* tag;
  } cases[] = {
      {repeated(0x0b, 20), bytesOf("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {Bytes{'J', 'e', 'f', 'e'}, bytesOf("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {repeated(0xaa, 20), repeated(0xdd, 50),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {counting(0x01, 25), repeated(0xcd, 50),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {repeated(0xaa, 131), bytesOf("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {repeated(0xaa, 131), bytesOf(largeKeyData),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tag);
    const crypto::HmacSha256Tag tag = crypto::hmacSha256(c.key, {c.data});
    EXPECT_EQ(Bytes(tag.begin(), tag.end()), fromHex(c.tag));
    EXPECT_TRUE(crypto::verifyHmacSha256(c.key, {c.data}, fromHex(c.tag)));
  }

  // Case 5 publishes only a 128-bit truncation: right prefix, refused as a tag.
  const Bytes key5 = repeated(0x0c, 20);
  const ByteView data5 = asBytes("Test With Truncation");
  const Bytes truncated = fromHex("a3b6167473100ee06e0c796c2955552b");
  const crypto::HmacSha256Tag tag5 = crypto::hmacSha256(key5, {data5});
  EXPECT_EQ(Bytes(tag5.begin(), tag5.begin() + 16), truncated);
  EXPECT_FALSE(crypto::verifyHmacSha256(key5, {data5}, truncated));
}

TEST(CryptoVectorsTest, Rfc5869HkdfSha256) {
  const struct {
    Bytes ikm, salt, info;
    const char* okm;
  } cases[] = {
      {repeated(0x0b, 22), counting(0x00, 13), counting(0xf0, 10),
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {counting(0x00, 80), counting(0x60, 80), counting(0xb0, 80),
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e5"
       "90e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {repeated(0x0b, 22),
       {},
       {},
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const auto& c : cases) {
    const Bytes expected = fromHex(c.okm);
    Bytes okm(expected.size());
    crypto::hkdfSha256(c.ikm, c.salt, c.info, okm);
    EXPECT_EQ(okm, expected);
  }
}

// Key-schedule vector computed independently (Python's hmac/hashlib with pyca/cryptography, and
// the OpenSSL command line) from counting key and nonces.
const Bytes kKey = counting(0x00, 32);
const Bytes kClientNonce = counting(0x20, 32);
const Bytes kHostNonce = counting(0x40, 32);
const Bytes kRecordNonce = counting(0x60, 12);
const Bytes kRecord =
    fromHex("0000000000000000606162636465666768696a6bcb5951181f2ce9bd7fb3bb7a86e6f7520334c2e8b7");

TEST(CryptoVectorsTest, ProtocolProofsAndSessionKeys) {
  const SecretKey secret = test::secretKey(kKey);
  EXPECT_EQ(RemoteAuthentication::proof(secret, kClientNonce, kHostNonce, RemoteRole::host),
            fromHex("b042162d8b894c7aafdf281e3da52ccd95c8aa1943511331d5c95f9f6c88487f"));
  EXPECT_EQ(RemoteAuthentication::proof(secret, kClientNonce, kHostNonce, RemoteRole::client),
            fromHex("d134c023deb8e7dc94cafc24e54340180b0a57b390c9e253a107ff623031a26a"));

  const SessionCipher host(secret, kClientNonce, kHostNonce, RemoteRole::host);
  const SessionCipher client(secret, kClientNonce, kHostNonce, RemoteRole::client);
  EXPECT_EQ(
      host.key(),
      test::secretKey(fromHex("8c680dfaaf52ae4514f264b1bd0b09b716659b68f39343b81bccee04d52ac1be")));
  EXPECT_EQ(
      client.key(),
      test::secretKey(fromHex("ce36dc8d298132d4cab9c1b948aac0272e9c1d782de662ccd7f0ceabd5cfe30e")));
}

TEST(CryptoVectorsTest, ProtocolSealedRecord) {
  const SecretKey secret = test::secretKey(kKey);
  SessionCipher receiver(secret, kClientNonce, kHostNonce, RemoteRole::host);

  // Built by hand with the published nonce: sequence 0 as AAD, "hello" under k_host.
  crypto::AesGcm256 aead(receiver.key().bytes());
  const Bytes header(8, 0);
  Bytes record = concat(header, kRecordNonce);
  record.resize(record.size() + 5 + 16);
  const std::span<uint8_t> body(record.begin() + 20, record.end());
  aead.seal(crypto::AesGcm256::Nonce(kRecordNonce.data(), 12), header, asBytes("hel"),
            asBytes("lo"), body.first(5), body.last<16>());
  EXPECT_EQ(record, kRecord);

  EXPECT_EQ(receiver.open(kRecord), bytesOf("hello"));
  EXPECT_EQ(receiver.sequence(), 1u);
}

}  // namespace
}  // namespace veltra
