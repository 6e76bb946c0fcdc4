// Published vectors (Wycheproof; RFC 4231 and RFC 5869 in Wycheproof's layout) and the
// protocol's own key-schedule vector (tests/data), run through the same wrappers that the proofs
// and the session cipher use.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "protocol/Crypto.h"
#include "protocol/RemoteError.h"
#include "protocol/SessionCipher.h"
#include "protocol_test_support.h"

namespace veltra {
namespace {

using Json = nlohmann::json;
using test::bytesOf;
using test::counting;
using test::fromHex;

// Calls `check(group, test, hex)` for every test of a Wycheproof file; the number of tests seen,
// so that a filter cannot silently match nothing.
template <class Check>
int forEachWycheproofTest(const std::string& name, Check check) {
  std::ifstream file(std::string(VELTRA_TEST_DATA_DIR) + "/" + name);
  if (!file) throw std::runtime_error("missing test data " + name);
  const Json vectors = Json::parse(file);
  int count = 0;
  for (const Json& group : vectors.at("testGroups")) {
    for (const Json& test : group.at("tests")) {
      SCOPED_TRACE(name + " tcId " + std::to_string(test.at("tcId").get<int>()));
      auto hex = [&](const char* field) { return fromHex(test.at(field).get<std::string>()); };
      count += check(group, test, hex, test.at("result") == "valid");
    }
  }
  return count;
}

TEST(CryptoVectorsTest, AesGcm256SealsAndOpensWycheproofVectors) {
  const int checked = forEachWycheproofTest(
      "wycheproof/aes_gcm_test.json", [](const Json& group, const Json&, auto hex, bool valid) {
        // The wrapper is AES-256 with a 96-bit nonce and a 128-bit tag by construction.
        if (group.at("keySize") != 256 || group.at("ivSize") != 96 || group.at("tagSize") != 128) {
          return 0;
        }
        const Bytes key = hex("key"), iv = hex("iv"), aad = hex("aad"), msg = hex("msg");
        const Bytes ct = hex("ct"), tag = hex("tag");
        crypto::AesGcm256 aead(std::span<const uint8_t, 32>(key.data(), 32));
        const crypto::AesGcm256::Nonce nonce(iv.data(), 12);
        Bytes plaintext(msg.size(), 0xA5);
        const bool opened =
            aead.open(nonce, aad, ct, std::span<const uint8_t, 16>(tag.data(), 16), plaintext);
        EXPECT_EQ(opened, valid);
        // Nothing unauthenticated is left behind.
        EXPECT_EQ(plaintext, valid ? msg : Bytes(msg.size(), 0));
        // One instance, several records: the nonce must fully reset the state each time, and the
        // two-part form must equal the one-part form.
        if (valid) {
          Bytes sealed(msg.size());
          std::array<uint8_t, 16> sealedTag{};
          const size_t split = msg.size() / 2;
          aead.seal(nonce, aad, ByteView(msg).first(split), ByteView(msg).subspan(split), sealed,
                    sealedTag);
          EXPECT_EQ(test::concat({sealed, sealedTag}), test::concat({ct, tag}));
        }
        return 1;
      });
  EXPECT_EQ(checked, 66);
}

TEST(CryptoVectorsTest, HmacSha256AcceptsOnlyFullTags) {
  int checked = 0;
  for (const char* name : {"wycheproof/hmac_sha256_test.json", "rfc4231_hmac_sha256.json"}) {
    checked +=
        forEachWycheproofTest(name, [](const Json& group, const Json&, auto hex, bool valid) {
          const Bytes key = hex("key"), msg = hex("msg"), tag = hex("tag");
          const crypto::HmacSha256Tag computed = crypto::hmacSha256(key, {msg});
          // A valid truncated tag is a true prefix, so only the length check can refuse it.
          EXPECT_EQ(crypto::verifyHmacSha256(key, {msg}, tag), valid && group.at("tagSize") == 256);
          EXPECT_EQ(std::equal(tag.begin(), tag.end(), computed.begin()), valid);
          return 1;
        });
  }
  EXPECT_EQ(checked, 174 + 7);
}

TEST(CryptoVectorsTest, HkdfSha256MatchesAndRefusesOversizedOutput) {
  int checked = 0;
  for (const char* name : {"wycheproof/hkdf_sha256_test.json", "rfc5869_hkdf_sha256.json"}) {
    checked += forEachWycheproofTest(name, [](const Json&, const Json& test, auto hex, bool valid) {
      Bytes okm(test.at("size").get<size_t>());
      if (!valid) {
        EXPECT_THROW(crypto::hkdfSha256(hex("ikm"), hex("salt"), hex("info"), okm), RemoteError);
        return 1;
      }
      crypto::hkdfSha256(hex("ikm"), hex("salt"), hex("info"), okm);
      EXPECT_EQ(okm, hex("okm"));
      return 1;
    });
  }
  EXPECT_EQ(checked, 86 + 3);
}

// The proofs of this vector are checked on the wire by the secure channel test.
TEST(CryptoVectorsTest, ProtocolSessionKeysAndSealedRecord) {
  const SecretKey secret = test::secretKey(counting(0x00, 32));
  const Bytes client = counting(0x20, 32), host = counting(0x40, 32);
  SessionCipher hostCipher(secret, client, host, RemoteRole::host);
  EXPECT_EQ(
      hostCipher.key(),
      test::secretKey(fromHex("8c680dfaaf52ae4514f264b1bd0b09b716659b68f39343b81bccee04d52ac1be")));
  EXPECT_EQ(
      SessionCipher(secret, client, host, RemoteRole::client).key(),
      test::secretKey(fromHex("ce36dc8d298132d4cab9c1b948aac0272e9c1d782de662ccd7f0ceabd5cfe30e")));
  // Sequence 0, the published record nonce, "hello" under k_host.
  EXPECT_EQ(hostCipher.open(fromHex("0000000000000000606162636465666768696a6bcb5951181f2ce9bd7fb3b"
                                    "b7a86e6f7520334c2e8b7")),
            bytesOf("hello"));
}

}  // namespace
}  // namespace veltra
