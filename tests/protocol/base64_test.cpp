#include "protocol/Base64.h"

#include <gtest/gtest.h>

#include <string>

namespace veltra {
namespace {

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

TEST(Base64Test, Rfc4648Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(base64Encode(asBytes(plain)), encoded);
    EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
  }
}

TEST(Base64Test, RoundTripsEveryByteValueAtEveryPadding) {
  Bytes bytes(256);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(255 - i);
  for (const size_t length : {size_t{254}, size_t{255}, size_t{256}}) {
    const ByteView view = ByteView(bytes).first(length);
    const std::string text = base64Encode(view);
    EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(base64Decode(text), Bytes(view.begin(), view.end()));
  }
  EXPECT_NE(base64Encode(bytes).find_first_of("+/"), std::string::npos);
}

TEST(Base64Test, DecodeRejectsAnythingButCanonicalShape) {
  using namespace std::string_literals;
  // Lengths are multiples of 4 where possible, so that only the character checks can refuse.
  for (const std::string& text :
       {"Zg"s, "Zg="s, "Zm9vY"s, "Zm9 "s, " Zm9"s, "Zm\n9"s, "Zm8=\n\n\n\n"s, "\t\t\t\tZm8="s,
        "Zg=A"s, "Z==="s, "===="s, "Zg==Zm9v"s, "Zm-_"s, "Zm9\0"s, "Zm9v\0\0\0\0"s, "Zm9\xc3"s}) {
    EXPECT_EQ(base64Decode(text), std::nullopt) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace veltra
