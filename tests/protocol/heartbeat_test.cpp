#include "protocol/Heartbeat.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "protocol/protocol_test_support.h"

namespace veltra {
namespace {

using test::kNaN;

TEST(HeartbeatTest, PingTextIsPlainDecimalThatReadsBackToTheSameDouble) {
  const double unixSeconds =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(secondsSinceReferenceDate(), unixSeconds - 978307200.0, 2.0);
  // Shortest text; never an exponent, where the default notation would switch to one.
  const std::pair<double, const char*> examples[] = {{812345678.25, "812345678.25"},
                                                     {812345678.0, "812345678.0"},
                                                     {-0.0, "-0.0"},
                                                     {1e21, "1000000000000000000000.0"},
                                                     {1.5e-7, "0.00000015"}};
  for (const auto& [seconds, written] : examples) EXPECT_EQ(asText(pingPayload(seconds)), written);
  EXPECT_THROW(pingPayload(kNaN), std::invalid_argument);
  EXPECT_THROW(pingPayload(std::numeric_limits<double>::infinity()), std::invalid_argument);

  std::mt19937_64 random(20010101);
  std::uniform_real_distribution<double> nearNow(7e8, 9e8);
  for (int i = 0; i < 20000; ++i) {
    // Every few rounds, an arbitrary finite bit pattern: tiny, huge, subnormal, negative.
    double seconds = nearNow(random);
    while (i % 4 == 3 && !std::isfinite(seconds = std::bit_cast<double>(random()))) {
    }
    const Bytes payload = pingPayload(seconds);
    ASSERT_EQ(asText(payload).find_first_of("eE"), std::string::npos) << asText(payload);
    const std::optional<double> parsed = parsePingPayload(payload);
    ASSERT_TRUE(parsed) << asText(payload);
    ASSERT_EQ(std::bit_cast<uint64_t>(*parsed), std::bit_cast<uint64_t>(seconds))
        << asText(payload);
  }
}

TEST(HeartbeatTest, OnlyAWholeFiniteNumberParsesAndRoundTripsAreNeverNegative) {
  EXPECT_EQ(parsePingPayload(asBytes("-1.5")), -1.5);
  EXPECT_EQ(parsePingPayload(asBytes("8.1e8")), 8.1e8);
  using namespace std::string_view_literals;
  for (std::string_view bad : {""sv, " 1.0"sv, "1.0 "sv, "+1.0"sv, "1,5"sv, "1.0x"sv, "0x1p3"sv,
                               "inf"sv, "nan"sv, "1e400"sv, "."sv, "\xEF\xBC\x91"sv, "1.0\0"sv}) {
    EXPECT_FALSE(parsePingPayload(asBytes(bad))) << bad;
  }

  const double sent = 812345678.25;
  const Bytes pong = pingPayload(sent);  // the host echoes the ping's bytes
  EXPECT_NEAR(*roundTripMilliseconds(pong, sent + 1.5), 1500, 1e-3);
  EXPECT_EQ(roundTripMilliseconds(pong, sent - 3.0), 0);  // the clock stepped back
  EXPECT_EQ(roundTripMilliseconds(pong, kNaN), 0);
  EXPECT_EQ(roundTripMilliseconds(asBytes("not a number"), sent), std::nullopt);
}

TEST(HeartbeatTest, FailureTextIsUtf8WithIllFormedSequencesReplaced) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"host Mac’s side · retry…", "host Mac’s side · retry…"},
      {"bad \xFF byte", "bad \uFFFD byte"},
      {"cut \xE2\x80", "cut \uFFFD"},          // a truncated sequence is one maximal subpart
      {"A\xC0\xAF", "A\uFFFD\uFFFD"},          // C0 never starts a sequence
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},  // UTF-16 surrogates are not characters
      {std::string_view("nul\0inside", 10), std::string_view("nul\0inside", 10)},
  };
  for (const auto& [payload, expected] : cases) {
    EXPECT_EQ(failureText(asBytes(payload)), expected) << payload;
  }
  EXPECT_EQ(failureText(failurePayload("Screen off")), "Screen off");
}

}  // namespace
}  // namespace veltra
