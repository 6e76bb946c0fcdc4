#include <gtest/gtest.h>

#include <string>

#include "protocol/Base64.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"

namespace veltra {
namespace {

constexpr const char* kKeyTextError = "Use the 32-byte connection key shown by Veltra Host.";

void expectKeyTextRejected(std::string_view text) {
  try {
    RemoteAuthentication::secret(text);
    ADD_FAILURE() << "accepted \"" << text << "\"";
  } catch (const RemoteError& error) {
    EXPECT_EQ(error.kind(), RemoteError::Kind::unavailable);
    EXPECT_STREQ(error.what(), kKeyTextError);
  }
}

TEST(RemoteAuthenticationTest, NewKeyTextRoundTrips) {
  const std::string text = RemoteAuthentication::newKey();
  ASSERT_EQ(text.size(), 44u);
  EXPECT_EQ(text[43], '=');
  EXPECT_NE(text[42], '=');
  const SecretKey key = RemoteAuthentication::secret(text);
  EXPECT_EQ(base64Encode(key.bytes()), text);
  EXPECT_NE(RemoteAuthentication::newKey(), text);
}

TEST(RemoteAuthenticationTest, KeyTextToleratesOnlySurroundingWhiteSpace) {
  const std::string text = RemoteAuthentication::newKey();
  const SecretKey key = RemoteAuthentication::secret(text);
  for (const std::string& padded : {"  " + text + "  ", text + "\n", "\t\r\n" + text + "\r\n",
                                    // NEL, no-break space, line separator, ideographic space
                                    "\u0085" + text + "\u00a0", "\u2028" + text + "\u3000\v\f"}) {
    EXPECT_EQ(RemoteAuthentication::secret(padded), key) << padded;
  }

  std::string innerSpace = text;
  innerSpace.insert(20, " ");
  const std::string unpadded = text.substr(0, 43);
  const Bytes bytes31(31, 0x11);
  const Bytes bytes33(33, 0x11);
  for (const std::string& bad :
       {innerSpace, unpadded, text + "=", base64Encode(bytes31), base64Encode(bytes33),
        std::string(), std::string(" \n"), text.substr(0, 20) + "\n" + text.substr(20),
        // Zero-width space is not white space; a lone continuation byte is not UTF-8.
        "\u200b" + text, text + "\x80"}) {
    expectKeyTextRejected(bad);
  }
}

class ProofTest : public ::testing::Test {
 protected:
  bool verify(ByteView proof, const SecretKey& secret, ByteView client, ByteView host,
              RemoteRole role) const {
    return RemoteAuthentication::verify(proof, secret, client, host, role);
  }

  SecretKey secret_ = RemoteAuthentication::secret(RemoteAuthentication::newKey());
  Bytes client_ = RemoteAuthentication::nonce();
  Bytes host_ = RemoteAuthentication::nonce();
};

TEST_F(ProofTest, VerifiesOnlyTheSameKeyNoncesAndRole) {
  ASSERT_EQ(client_.size(), RemoteAuthentication::kNonceSize);
  ASSERT_NE(client_, host_);
  const Bytes proof = RemoteAuthentication::proof(secret_, client_, host_, RemoteRole::host);
  ASSERT_EQ(proof.size(), RemoteAuthentication::kProofSize);
  EXPECT_TRUE(verify(proof, secret_, client_, host_, RemoteRole::host));

  SecretKey otherKey = secret_;
  otherKey.mutableBytes()[31] ^= 0x01;
  Bytes otherClient = client_;
  otherClient[0] ^= 0x80;
  Bytes otherHost = host_;
  otherHost[31] ^= 0x01;
  EXPECT_FALSE(verify(proof, otherKey, client_, host_, RemoteRole::host));
  EXPECT_FALSE(verify(proof, secret_, otherClient, host_, RemoteRole::host));
  EXPECT_FALSE(verify(proof, secret_, client_, otherHost, RemoteRole::host));
  EXPECT_FALSE(verify(proof, secret_, host_, client_, RemoteRole::host));
  EXPECT_FALSE(verify(proof, secret_, client_, host_, RemoteRole::client));
  EXPECT_NE(RemoteAuthentication::proof(secret_, client_, host_, RemoteRole::client), proof);
}

TEST_F(ProofTest, RejectsValuesOfTheWrongLength) {
  Bytes proof = RemoteAuthentication::proof(secret_, client_, host_, RemoteRole::client);
  EXPECT_FALSE(verify(ByteView(proof).first(31), secret_, client_, host_, RemoteRole::client));
  EXPECT_FALSE(verify(ByteView(proof).first(16), secret_, client_, host_, RemoteRole::client));
  EXPECT_FALSE(verify({}, secret_, client_, host_, RemoteRole::client));
  proof.push_back(0);
  EXPECT_FALSE(verify(proof, secret_, client_, host_, RemoteRole::client));

  // Nonces that are not 32 bytes would let bytes shift between them.
  const Bytes shortClient(client_.begin(), client_.end() - 1);
  Bytes longHost = host_;
  longHost.insert(longHost.begin(), client_.back());
  proof.pop_back();
  EXPECT_FALSE(verify(proof, secret_, shortClient, longHost, RemoteRole::client));
  EXPECT_THROW(RemoteAuthentication::proof(secret_, shortClient, longHost, RemoteRole::client),
               RemoteError);
}

}  // namespace
}  // namespace veltra
