#include "protocol/Base64.h"

#include <gtest/gtest.h>

namespace veltra {
namespace {

TEST(Base64Test, EncodesRfc4648VectorsAndRoundTripsEveryByteAtEveryPadding) {
  for (const auto& [plain, encoded] :
       {std::pair{"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"", ""}}) {
    EXPECT_EQ(base64Encode(asBytes(plain)), encoded);
  }
  Bytes bytes(256);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(255 - i);
  for (const size_t length : {size_t{254}, size_t{255}, size_t{256}}) {
    const ByteView view = ByteView(bytes).first(length);
    EXPECT_EQ(base64Decode(base64Encode(view)), Bytes(view.begin(), view.end()));
  }
}

TEST(Base64Test, DecodeRejectsAnythingButCanonicalShape) {
  using namespace std::string_literals;
  // Lengths are multiples of 4 where possible, so that only the character checks can refuse.
  for (const std::string& text :
       {"Zg"s, "Zg="s, "Zm9vY"s, "Zm9 "s, " Zm9"s, "Zm8=\n\n\n\n"s, "Zg=A"s, "Z==="s, "===="s,
        "Zg==Zm9v"s, "Zm-_"s, "Zm9\0"s, "Zm9\xc3"s}) {
    EXPECT_EQ(base64Decode(text), std::nullopt) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace veltra
