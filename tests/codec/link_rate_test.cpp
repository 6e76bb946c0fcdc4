#include <gtest/gtest.h>

#include <deque>

#include "codec/LinkRate.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using Clock = LinkRate::Clock;

// A 60 fps stream with a 20 Mbit/s ceiling over a link of `megabits` (0: as fast as the client)
// into a client that takes `decode` per picture, in steps of 1 ms: pictures are sent while at
// most three are unacknowledged, their size following the rate, and each one is acknowledged
// once it crossed the link and was decoded.
struct Simulation {
  LinkRate rate{20'000'000};
  Clock::time_point now{};
  double megabits = 0;
  Clock::duration decode = 2ms;
  std::deque<Clock::time_point> acknowledgements;  // when each unacknowledged one will be
  Clock::time_point linkFree{}, clientFree{};
  int shown = 0;
  int64_t lowest = 0;  // the lowest rate a picture was sent at in the last run

  // Runs for `span`; the pictures shown in it.
  int run(Clock::duration span) {
    shown = 0;
    lowest = INT64_MAX;
    const auto end = now + span;
    auto nextPicture = now;
    for (; now < end; now += 1ms) {
      while (!acknowledgements.empty() && acknowledgements.front() <= now) {
        acknowledgements.pop_front();
        rate.acknowledged(now);
        ++shown;
      }
      if (now < nextPicture) continue;
      nextPicture += std::chrono::microseconds(16'667);
      if (acknowledgements.size() >= 3) {
        rate.windowFull(now);
        continue;
      }
      lowest = std::min(lowest, rate.target(now));
      const auto bytes = static_cast<size_t>(rate.target(now) / 60 / 8);
      rate.sent(bytes, now);
      const auto crossing =
          megabits > 0 ? std::chrono::microseconds(static_cast<int64_t>(bytes * 8 / megabits))
                       : Clock::duration{};
      linkFree = std::max(linkFree, now) + crossing;
      clientFree = std::max(clientFree, linkFree) + decode;
      acknowledgements.push_back(clientFree);
    }
    return shown;
  }
};

TEST(LinkRate, FollowsASlowLinkWithAlmostEveryPictureAndClimbsBackWhenItRecovers) {
  Simulation link;
  EXPECT_GE(link.run(3s), 175);
  EXPECT_EQ(link.rate.target(link.now), 20'000'000);

  for (double megabits : {10.0, 5.0}) {
    SCOPED_TRACE(megabits);
    link.megabits = megabits;
    link.run(2s);  // adapting
    EXPECT_GE(link.run(5s), 5 * 55);
    EXPECT_LE(link.rate.target(link.now), megabits * 1.1e6);
    EXPECT_GE(link.rate.target(link.now), megabits * 1e6 / 2);
  }

  link.megabits = 0;
  link.run(2s);
  EXPECT_EQ(link.rate.target(link.now), 20'000'000) << "not back within 2 s";
}

TEST(LinkRate, AClientThatDecodesSlowlyCostsNoQuality) {
  Simulation client;
  client.decode = 20ms;  // 50 pictures a second at best: the window stays full
  client.run(1s);  // one trial back-off at most
  EXPECT_LE(client.run(5s), 5 * 51);
  EXPECT_EQ(client.lowest, 20'000'000);
}

}  // namespace
}  // namespace veltra
