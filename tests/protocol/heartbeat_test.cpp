#include "protocol/Heartbeat.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

namespace veltra {
namespace {

std::string text(const Bytes& bytes) {
  return std::string(asText(bytes));
}

TEST(HeartbeatTest, ReferenceDateClockIsUnixTimeMinus978307200) {
  const double unixSeconds =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(secondsSinceReferenceDate(), unixSeconds - 978307200.0, 2.0);
}

TEST(HeartbeatTest, PingTextIsShortestPlainDecimal) {
  EXPECT_EQ(text(pingPayload(812345678.25)), "812345678.25");
  EXPECT_EQ(text(pingPayload(800000000.1)), "800000000.1");
  EXPECT_EQ(text(pingPayload(812345678.0)), "812345678.0");
  EXPECT_EQ(text(pingPayload(5)), "5.0");
  EXPECT_EQ(text(pingPayload(0.1)), "0.1");
  EXPECT_EQ(text(pingPayload(-0.0)), "-0.0");
  // Where the default notation would switch to an exponent.
  EXPECT_EQ(text(pingPayload(1e21)), "1000000000000000000000.0");
  EXPECT_EQ(text(pingPayload(1.5e-7)), "0.00000015");
  EXPECT_THROW(pingPayload(std::numeric_limits<double>::quiet_NaN()), std::invalid_argument);
  EXPECT_THROW(pingPayload(std::numeric_limits<double>::infinity()), std::invalid_argument);
}

TEST(HeartbeatTest, PingTextReadsBackToTheSameDouble) {
  std::mt19937_64 random(20010101);
  std::uniform_real_distribution<double> nearNow(7e8, 9e8);
  std::uniform_int_distribution<uint64_t> anyBits;
  for (int i = 0; i < 20000; ++i) {
    double seconds = nearNow(random);
    // Every few rounds, an arbitrary finite bit pattern: tiny, huge, subnormal, negative.
    if (i % 4 == 3) {
      do {
        seconds = std::bit_cast<double>(anyBits(random));
      } while (!std::isfinite(seconds));
    }
    const Bytes payload = pingPayload(seconds);
    const std::string written = text(payload);
    ASSERT_NE(written.find('.'), std::string::npos) << written;
    ASSERT_EQ(written.find_first_of("eE"), std::string::npos) << written;
    const std::optional<double> parsed = parsePingPayload(payload);
    ASSERT_TRUE(parsed) << written;
    ASSERT_EQ(std::bit_cast<uint64_t>(*parsed), std::bit_cast<uint64_t>(seconds)) << written;
  }
}

TEST(HeartbeatTest, OnlyAWholeFiniteNumberParses) {
  EXPECT_EQ(parsePingPayload(asBytes("812345678.25")), 812345678.25);
  EXPECT_EQ(parsePingPayload(asBytes("-1.5")), -1.5);
  EXPECT_EQ(parsePingPayload(asBytes("42")), 42.0);
  EXPECT_EQ(parsePingPayload(asBytes("8.1e8")), 8.1e8);
  for (const char* bad : {"", " 1.0", "1.0 ", "1.0\n", "+1.0", "1,5", "1.0x", "0x1p3", "inf",
                          "-infinity", "nan", "1e400", "--1", ".", "e5", "\xEF\xBC\x91"}) {
    EXPECT_FALSE(parsePingPayload(asBytes(bad))) << bad;
  }
  EXPECT_FALSE(parsePingPayload(asBytes(std::string_view("1.0\0", 4))));
}

TEST(HeartbeatTest, RoundTripIsElapsedMillisecondsNeverNegative) {
  const double sent = 812345678.25;
  const Bytes pong = pingPayload(sent);  // the host echoes the ping's bytes
  EXPECT_NEAR(*roundTripMilliseconds(pong, sent + 0.0004), 0.4, 1e-3);
  EXPECT_NEAR(*roundTripMilliseconds(pong, sent + 1.5), 1500, 1e-3);
  EXPECT_EQ(roundTripMilliseconds(pong, sent), 0);
  EXPECT_EQ(roundTripMilliseconds(pong, sent - 3.0), 0);  // the clock stepped back
  EXPECT_EQ(roundTripMilliseconds(pong, std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_GT(roundTripMilliseconds(asBytes("-1e300"), 0.0), 1e300);

  EXPECT_EQ(roundTripMilliseconds(asBytes("not a number"), sent), std::nullopt);
  EXPECT_EQ(roundTripMilliseconds({}, sent), std::nullopt);
}

TEST(HeartbeatTest, FailureTextIsUtf8WithIllFormedSequencesReplaced) {
  const std::string description = "Screen recording is off on the host Mac’s side · retry…";
  EXPECT_EQ(failureText(failurePayload(description)), description);
  EXPECT_EQ(failureText({}), "");

  struct Case {
    std::string_view payload;
    std::string_view text;
  };
  const Case cases[] = {
      {"bad \xFF byte", "bad \uFFFD byte"},
      // A truncated sequence is one maximal subpart: one replacement.
      {"cut \xE2\x80", "cut \uFFFD"},
      // C0 can never start a sequence, so each byte is replaced on its own.
      {"A\xC0\xAF"
       "B",
       "A\uFFFD\uFFFDB"},
      // UTF-16 surrogates are not characters in UTF-8.
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},
      {std::string_view("nul\0inside", 10), std::string_view("nul\0inside", 10)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(failureText(asBytes(c.payload)), c.text) << c.payload;
  }
}

}  // namespace
}  // namespace veltra
