#include <gtest/gtest.h>

#include "protocol/UnicodeText.h"

namespace veltra {
namespace {

TEST(UnicodeTextTest, CountsUserPerceivedCharactersOfWellFormedUtf8Only) {
  const std::pair<std::string_view, std::optional<size_t>> cases[] = {
      {"", 0},
      {"fe80::1%en0", 11},
      {"e\u0301", 1},                                     // e + combining acute
      {"\U0001F1E9\U0001F1EA\U0001F1EB", 2},              // a flag, then a lone indicator
      {"\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},  // family joined by ZWJ
      {"\U0001F44D\U0001F3FD", 1},                        // thumbs up with skin tone
      {"\u1100\u1161\u11A8", 1},                          // Hangul L V T jamo
      {"\r\n", 1},
  };
  for (const auto& [text, count] : cases) EXPECT_EQ(graphemeCount(text), count) << text;
  for (std::string_view bad : {"\xFF", "ab\x80", "\xC0\xAF", "\xE2\x82", "\xED\xA0\x80",
                               "\xF4\x90\x80\x80", "\xF0\x9F\x87"}) {
    EXPECT_EQ(graphemeCount(bad), std::nullopt);
  }
}

TEST(UnicodeTextTest, WhiteSpaceIsTheWholeUnicodePropertyAndTrimsAtBothEndsOnly) {
  for (const char* space : {" ", "\t", "\n", "\v", "\f", "\r", "\u0085", "\u00A0", "\u1680",
                            "\u2000", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"}) {
    EXPECT_TRUE(containsWhiteSpace(std::string("host") + space + "name")) << space;
    EXPECT_EQ(trimWhiteSpace(std::string(space) + "key" + space), "key") << space;
  }
  // Look-alikes that are not White_Space: zero-width space, BOM, Mongolian vowel separator.
  for (const char* other : {"host\u200Bname", "\uFEFFhost", "host\u180Ename", "\xFF\xC2"}) {
    EXPECT_FALSE(containsWhiteSpace(other)) << other;
  }
  EXPECT_EQ(trimWhiteSpace("\u3000 \tkey\u00A0value\u2028\n\u0085"), "key\u00A0value");
  EXPECT_EQ(trimWhiteSpace(" \n\u2029 "), "");
  // Ill-formed bytes stop the trim instead of being taken for part of a space.
  EXPECT_EQ(trimWhiteSpace(" \xA0key\x85 "), "\xA0key\x85");
}

}  // namespace
}  // namespace veltra
