// Published vectors (Wycheproof, RFC 4231, RFC 5869) and the protocol's own key-schedule vector
// (tests/data), run through the same wrappers that the proofs and the session cipher use.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "protocol/Crypto.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "protocol/SessionCipher.h"
#include "protocol_test_support.h"

namespace veltra {
namespace {

using nlohmann::json;
using test::bytesOf;
using test::counting;
using test::fromHex;

// Calls `check(group, test, hex)` for every test of a Wycheproof file; the number of tests seen,
// so that a filter cannot silently match nothing.
template <class Check>
int forEachWycheproofTest(const std::string& name, Check check) {
  std::ifstream file(std::string(VELTRA_TEST_DATA_DIR) + "/wycheproof/" + name);
  if (!file) throw std::runtime_error("missing test data " + name);
  const json vectors = json::parse(file);
  int count = 0;
  for (const json& group : vectors.at("testGroups")) {
    for (const json& test : group.at("tests")) {
      SCOPED_TRACE(name + " tcId " + std::to_string(test.at("tcId").get<int>()));
      auto hex = [&](const char* field) { return fromHex(test.at(field).get<std::string>()); };
      count += check(group, test, hex, test.at("result") == "valid");
    }
  }
  return count;
}

TEST(CryptoVectorsTest, AesGcm256SealsAndOpensWycheproofVectors) {
  const int checked = forEachWycheproofTest("aes_gcm_test.json", [](const json& group, const json&,
                                                                    auto hex, bool valid) {
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
    // two-part form must equal the one-part form wherever the split falls.
    for (const size_t split : {size_t{0}, msg.size() / 2, msg.size()}) {
      if (!valid) break;
      Bytes sealed(msg.size());
      std::array<uint8_t, 16> sealedTag{};
      aead.seal(nonce, aad, ByteView(msg).first(split), ByteView(msg).subspan(split), sealed,
                sealedTag);
      EXPECT_EQ(test::concat({sealed, sealedTag}), test::concat({ct, tag})) << "split " << split;
    }
    return 1;
  });
  EXPECT_EQ(checked, 66);
}

TEST(CryptoVectorsTest, HmacSha256AcceptsOnlyFullWycheproofTags) {
  const int checked = forEachWycheproofTest(
      "hmac_sha256_test.json", [](const json& group, const json&, auto hex, bool valid) {
        const Bytes key = hex("key"), msg = hex("msg"), tag = hex("tag");
        const crypto::HmacSha256Tag computed = crypto::hmacSha256(key, {msg});
        // A valid truncated tag is a true prefix, so only the length check can refuse it.
        const bool full = group.at("tagSize") == 256;
        EXPECT_EQ(crypto::verifyHmacSha256(key, {msg}, tag), valid && full);
        EXPECT_EQ(std::equal(tag.begin(), tag.end(), computed.begin()), valid);
        // Parts are hashed as their concatenation.
        const ByteView view(msg);
        EXPECT_EQ(
            crypto::hmacSha256(key, {view.first(msg.size() / 3), {}, view.subspan(msg.size() / 3)}),
            computed);
        return 1;
      });
  EXPECT_EQ(checked, 174);
}

TEST(CryptoVectorsTest, HkdfSha256MatchesWycheproofAndRefusesOversizedOutput) {
  const int checked = forEachWycheproofTest(
      "hkdf_sha256_test.json", [](const json&, const json& test, auto hex, bool valid) {
        Bytes okm(test.at("size").get<size_t>());
        if (valid) {
          crypto::hkdfSha256(hex("ikm"), hex("salt"), hex("info"), okm);
          EXPECT_EQ(okm, hex("okm"));
        } else {
          EXPECT_THROW(crypto::hkdfSha256(hex("ikm"), hex("salt"), hex("info"), okm), RemoteError);
        }
        return 1;
      });
  EXPECT_EQ(checked, 86);
}

TEST(CryptoVectorsTest, Rfc4231HmacAndRfc5869Hkdf) {
  const struct {
    Bytes key, data;
    const char* tag;
  } hmacs[] = {
      {Bytes(20, 0x0b), bytesOf("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {bytesOf("Jefe"), bytesOf("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {counting(0x01, 25), Bytes(50, 0xcd),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      // Only the first 128 bits are published: a right prefix, refused as a tag.
      {Bytes(20, 0x0c), bytesOf("Test With Truncation"), "a3b6167473100ee06e0c796c2955552b"},
      {Bytes(131, 0xaa), bytesOf("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {Bytes(131, 0xaa),
       bytesOf("This is a test using a larger than block-size key and a larger than block-size "
               "data. The key needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& c : hmacs) {
    const Bytes expected = fromHex(c.tag);
    const crypto::HmacSha256Tag tag = crypto::hmacSha256(c.key, {c.data});
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), tag.begin())) << c.tag;
    EXPECT_EQ(crypto::verifyHmacSha256(c.key, {c.data}, expected), expected.size() == 32);
  }

  const struct {
    Bytes ikm, salt, info;
    const char* okm;
  } hkdfs[] = {
      {Bytes(22, 0x0b), counting(0x00, 13), counting(0xf0, 10),
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {counting(0x00, 80), counting(0x60, 80), counting(0xb0, 80),
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e5"
       "90e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {Bytes(22, 0x0b),
       {},
       {},
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const auto& c : hkdfs) {
    Bytes okm(fromHex(c.okm).size());
    crypto::hkdfSha256(c.ikm, c.salt, c.info, okm);
    EXPECT_EQ(okm, fromHex(c.okm));
  }
}

TEST(CryptoVectorsTest, ProtocolProofsSessionKeysAndSealedRecord) {
  const SecretKey secret = test::secretKey(counting(0x00, 32));
  const Bytes client = counting(0x20, 32), host = counting(0x40, 32);
  EXPECT_EQ(RemoteAuthentication::proof(secret, client, host, RemoteRole::host),
            fromHex("b042162d8b894c7aafdf281e3da52ccd95c8aa1943511331d5c95f9f6c88487f"));
  EXPECT_EQ(RemoteAuthentication::proof(secret, client, host, RemoteRole::client),
            fromHex("d134c023deb8e7dc94cafc24e54340180b0a57b390c9e253a107ff623031a26a"));
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
