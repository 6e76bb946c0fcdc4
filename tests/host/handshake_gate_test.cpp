#include <gtest/gtest.h>

#include "host/HandshakeGate.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using Outcome = HandshakeGate::Outcome;

enum class Op { arrive, stall, fail, authenticate };
constexpr int kRefused = -1, kAdmitted = 0;  // else: admitted, evicting that handshake

struct Step {
  int atMs;
  Op op;
  const char* address;  // arrive only
  Generation handshake;
  int expect;  // arrive only
};

// Each block of the script is one rule; the times are milliseconds on the gate's clock.
constexpr Step kScript[] = {
    // A stall costs 1 s, doubling with each further stall up to the cap (4 s here).
    {0, Op::arrive, "10.0.0.1", 1, kAdmitted},
    {0, Op::stall, "", 1, 0},
    {999, Op::arrive, "10.0.0.1", 2, kRefused},
    {1000, Op::arrive, "10.0.0.1", 2, kAdmitted},
    {1000, Op::stall, "", 2, 0},
    {2999, Op::arrive, "10.0.0.1", 3, kRefused},
    {3000, Op::arrive, "10.0.0.1", 3, kAdmitted},
    {3000, Op::stall, "", 3, 0},
    {7000, Op::arrive, "10.0.0.1", 4, kAdmitted},
    {7000, Op::stall, "", 4, 0},
    {10999, Op::arrive, "10.0.0.1", 5, kRefused},
    // Authenticating forgives: the next stall costs the first penalty again.
    {11000, Op::arrive, "10.0.0.1", 5, kAdmitted},
    {11000, Op::authenticate, "", 5, 0},
    {11000, Op::arrive, "10.0.0.1", 6, kAdmitted},
    {11000, Op::stall, "", 6, 0},
    // A failure (wrong key, garbage) costs nothing.
    {12000, Op::arrive, "10.0.0.1", 7, kAdmitted},
    {12000, Op::fail, "", 7, 0},
    {12000, Op::arrive, "10.0.0.1", 8, kAdmitted},
    {12000, Op::fail, "", 8, 0},
    // ... unless it held its slot long enough to be evicted.
    {12000, Op::arrive, "10.0.0.1", 9, kAdmitted},
    {12251, Op::fail, "", 9, 0},
    {12251, Op::arrive, "10.0.0.1", 9, kRefused},
    // On the host's own /64 (its LAN: 2001:db8:0:ff::/64 here) each address is a source.
    {15000, Op::arrive, "2001:db8:0:ff::a", 20, kAdmitted},
    {15000, Op::arrive, "2001:db8:0:ff::b", 21, kAdmitted},
    {15000, Op::arrive, "2001:db8:0:ff::c", 22, kAdmitted},
    {15000, Op::stall, "", 20, 0},
    {15000, Op::arrive, "2001:db8:0:ff::a", 23, kRefused},
    {15000, Op::arrive, "2001:db8:0:ff::d", 23, kAdmitted},
    {15000, Op::fail, "", 21, 0},
    {15000, Op::fail, "", 22, 0},
    {15000, Op::fail, "", 23, 0},
    // Two per source, an IPv6 /64 being one source and a mapped IPv4 address its IPv4 one.
    {20000, Op::arrive, "2001:db8::1", 10, kAdmitted},
    {20000, Op::arrive, "2001:db8::ffff:2", 11, kAdmitted},
    {20000, Op::arrive, "2001:db8::3", 12, kRefused},
    {20000, Op::arrive, "2001:db8:0:1::1", 13, kAdmitted},
    {20000, Op::arrive, "::ffff:10.0.0.2", 14, kAdmitted},
    // All four slots taken: the longest waiting is evicted only once past 250 ms, and its source
    // is penalized.
    {20250, Op::arrive, "10.0.0.3", 15, kRefused},
    {20251, Op::arrive, "10.0.0.3", 15, 10},
    {20251, Op::arrive, "2001:db8::4", 16, kRefused},
    {20251, Op::stall, "", 14, 0},
    {20251, Op::arrive, "10.0.0.2", 17, kRefused},
    {20251, Op::arrive, "10.0.0.4", 17, kAdmitted},
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
    switch (step.op) {
      case Op::arrive: {
        const auto decision =
            gate.arrive(asio::ip::make_address(step.address), step.handshake, now, local);
        EXPECT_EQ(decision.admitted ? static_cast<int>(decision.evicted) : kRefused, step.expect);
        break;
      }
      case Op::stall:
        gate.ended(step.handshake, Outcome::stalled, now);
        break;
      case Op::fail:
        gate.ended(step.handshake, Outcome::failed, now);
        break;
      case Op::authenticate:
        gate.ended(step.handshake, Outcome::authenticated, now);
        break;
    }
  }
  EXPECT_EQ(gate.pending(), 4u);

  // A flood of stalling sources keeps the table at its bound, dropping the soonest to end.
  const auto later = zero + 30s;
  for (Generation each = 100; each < 110; ++each) {
    const auto address = asio::ip::make_address_v4(0x0b000000 + static_cast<uint32_t>(each));
    gate.clear();
    ASSERT_TRUE(gate.arrive(address, each, later).admitted);
    gate.ended(each, Outcome::stalled, later + std::chrono::milliseconds(each));
    EXPECT_LE(gate.rememberedSources(), limits.remembered);
    EXPECT_TRUE(gate.penalized(address, later + 200ms));
  }
}

}  // namespace
}  // namespace veltra
