#include <gtest/gtest.h>

#include "protocol/Base64.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"

namespace veltra {
namespace {

TEST(RemoteAuthenticationTest, KeyTextRoundTripsAndToleratesOnlySurroundingWhiteSpace) {
  const std::string text = RemoteAuthentication::newKey();
  ASSERT_EQ(text.size(), 44u);
  const SecretKey key = RemoteAuthentication::secret(text);
  EXPECT_EQ(base64Encode(key.bytes()), text);
  EXPECT_NE(RemoteAuthentication::newKey(), text);
  // Which characters are white space is the Unicode text test's.
  EXPECT_EQ(RemoteAuthentication::secret("\t\r\n" + text + "\u3000\v\f"), key);
  for (const std::string& bad :
       {text.substr(0, 20) + " " + text.substr(20), text.substr(0, 43), text + "=",
        base64Encode(Bytes(31, 0x11)), base64Encode(Bytes(33, 0x11)), std::string(" \n"),
        // Zero-width space is not white space; a lone continuation byte is not UTF-8.
        "\u200b" + text, text + "\x80"}) {
    EXPECT_THROW(RemoteAuthentication::secret(bad), RemoteError) << bad;
  }
}

TEST(RemoteAuthenticationTest, ProofVerifiesOnlyTheSameKeyNoncesRoleAndLength) {
  const SecretKey key = RemoteAuthentication::secret(RemoteAuthentication::newKey());
  const Bytes client = RemoteAuthentication::nonce(), host = RemoteAuthentication::nonce();
  const Bytes proof = RemoteAuthentication::proof(key, client, host, RemoteRole::host);
  constexpr auto verify = &RemoteAuthentication::verify;
  EXPECT_TRUE(verify(proof, key, client, host, RemoteRole::host));

  SecretKey otherKey = key;
  otherKey.mutableBytes()[31] ^= 0x01;
  Bytes longProof = proof;
  longProof.push_back(0);
  EXPECT_FALSE(verify(proof, otherKey, client, host, RemoteRole::host));
  EXPECT_FALSE(verify(proof, key, host, client, RemoteRole::host));  // each nonce in its place
  EXPECT_FALSE(verify(proof, key, client, host, RemoteRole::client));
  EXPECT_FALSE(verify(ByteView(proof).first(16), key, client, host, RemoteRole::host));
  EXPECT_FALSE(verify(longProof, key, client, host, RemoteRole::host));

  // Nonces that are not 32 bytes would let bytes shift between them.
  const Bytes shortClient(client.begin(), client.end() - 1);
  Bytes longHost = host;
  longHost.insert(longHost.begin(), client.back());
  EXPECT_FALSE(verify(proof, key, shortClient, longHost, RemoteRole::host));
  EXPECT_THROW(RemoteAuthentication::proof(key, shortClient, longHost, RemoteRole::host),
               RemoteError);
}

}  // namespace
}  // namespace veltra
