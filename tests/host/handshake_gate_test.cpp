#include <gtest/gtest.h>

#include "host/HandshakeGate.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using Outcome = HandshakeGate::Outcome;

// A newcomer arrives, or a handshake ends so.
constexpr std::optional<Outcome> kArrive, kStall = Outcome::stalled, kFail = Outcome::failed,
                                          kAuthenticate = Outcome::authenticated;
constexpr int kRefused = -1, kAdmitted = 0;  // else: admitted, evicting that handshake

struct Step {
  int atMs;
  std::optional<Outcome> op;
  Generation handshake;
  const char* address = "";  // of a newcomer
  int expect = 0;            // for a newcomer
};

// Each block of the script is one rule; the times are milliseconds on the gate's clock.
constexpr Step kScript[] = {
    // A stall costs 1 s, doubling with each further stall up to the cap (4 s here).
    {0, kArrive, 1, "10.0.0.1", kAdmitted},
    {0, kStall, 1},
    {999, kArrive, 2, "10.0.0.1", kRefused},
    {1000, kArrive, 2, "10.0.0.1", kAdmitted},
    {1000, kStall, 2},
    {2999, kArrive, 3, "10.0.0.1", kRefused},
    {3000, kArrive, 3, "10.0.0.1", kAdmitted},
    {3000, kStall, 3},
    {7000, kArrive, 4, "10.0.0.1", kAdmitted},
    {7000, kStall, 4},
    {10999, kArrive, 5, "10.0.0.1", kRefused},
    // Authenticating forgives: the next stall costs the first penalty again.
    {11000, kArrive, 5, "10.0.0.1", kAdmitted},
    {11000, kAuthenticate, 5},
    {11000, kArrive, 6, "10.0.0.1", kAdmitted},
    {11000, kStall, 6},
    // A failure (wrong key, garbage) costs nothing, unless it held its slot long enough to be
    // evicted.
    {12000, kArrive, 7, "10.0.0.1", kAdmitted},
    {12000, kFail, 7},
    {12000, kArrive, 8, "10.0.0.1", kAdmitted},
    {12251, kFail, 8},
    {12251, kArrive, 9, "10.0.0.1", kRefused},
    // On the host's own /64 (its LAN: 2001:db8:0:ff::/64 here) each address is a source.
    {15000, kArrive, 20, "2001:db8:0:ff::a", kAdmitted},
    {15000, kStall, 20},
    {15000, kArrive, 23, "2001:db8:0:ff::a", kRefused},
    {15000, kArrive, 23, "2001:db8:0:ff::d", kAdmitted},
    {15000, kFail, 23},
    // Two per source, an IPv6 /64 being one source and a mapped IPv4 address its IPv4 one.
    {20000, kArrive, 10, "2001:db8::1", kAdmitted},
    {20000, kArrive, 11, "2001:db8::ffff:2", kAdmitted},
    {20000, kArrive, 12, "2001:db8::3", kRefused},
    {20000, kArrive, 13, "2001:db8:0:1::1", kAdmitted},
    {20000, kArrive, 14, "::ffff:10.0.0.2", kAdmitted},
    // All four slots taken: the longest waiting is evicted only once past 250 ms, and its source
    // is penalized.
    {20250, kArrive, 15, "10.0.0.3", kRefused},
    {20251, kArrive, 15, "10.0.0.3", 10},
    {20251, kArrive, 16, "2001:db8::4", kRefused},
    {20251, kStall, 14},
    {20251, kArrive, 17, "10.0.0.2", kRefused},
    {20251, kArrive, 17, "10.0.0.4", kAdmitted},
};

TEST(HandshakeGateTest, FollowsTheScript) {
  HandshakeGate::Limits limits;
  limits.pending = 4;
  limits.maxPenalty = 4s;
  limits.remembered = 3;
  HandshakeGate gate(limits);
  const auto zero = HandshakeGate::Clock::time_point{};
  const auto local = asio::ip::make_address("2001:db8:0:ff::1");
  for (const Step& step : kScript) {
    SCOPED_TRACE(testing::Message() << "at " << step.atMs << " ms, handshake " << step.handshake);
    const auto now = zero + std::chrono::milliseconds(step.atMs);
    if (step.op) {
      gate.ended(step.handshake, *step.op, now);
      continue;
    }
    const auto decision =
        gate.arrive(asio::ip::make_address(step.address), step.handshake, now, local);
    EXPECT_EQ(decision.admitted ? static_cast<int>(decision.evicted) : kRefused, step.expect);
  }
  // A flood of stalling sources keeps the table at its bound, dropping the soonest to end.
  gate.clear();
  const auto later = zero + 30s;
  for (Generation each = 100; each < 110; ++each) {
    const auto address = asio::ip::make_address_v4(0x0b000000 + static_cast<uint32_t>(each));
    ASSERT_TRUE(gate.arrive(address, each, later).admitted);
    gate.ended(each, Outcome::stalled, later + std::chrono::milliseconds(each));
    EXPECT_LE(gate.rememberedSources(), limits.remembered);
    EXPECT_TRUE(gate.penalized(address, later + 200ms));
  }
}

}  // namespace
}  // namespace veltra
