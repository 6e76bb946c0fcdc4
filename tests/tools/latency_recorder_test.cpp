#include "latency_recorder.h"

#include <gtest/gtest.h>

#include <sstream>

namespace veltra {
namespace {

constexpr int64_t kStart = 500'000'000;  // microseconds of some machine's monotonic clock

TEST(LatencyRecorderTest, PercentilesAreNearestRankOverPlausiblyStampedPictures) {
  LatencyRecorder recorder;
  // Latencies 100, 99, ... 1 ms, in no sorted order of arrival.
  for (int64_t index = 0; index < 100; ++index)
    recorder.add(kStart + index * 10'000, kStart + index * 10'000 - (100 - index) * 1000);
  // Unread: no stamp, one drawn after the picture arrived, one older than a minute.
  const int64_t end = kStart + 1'000'000;
  recorder.add(end, std::nullopt);
  recorder.add(end, end + 1);
  recorder.add(end, end - 61'000'000);
  const auto summary = recorder.summary();
  EXPECT_EQ(summary.pictures, 103u);
  EXPECT_EQ(summary.stamped, 100u);
  EXPECT_DOUBLE_EQ(summary.medianMs, 50);
  EXPECT_DOUBLE_EQ(summary.p95Ms, 95);
  EXPECT_DOUBLE_EQ(summary.p99Ms, 99);
}

TEST(LatencyRecorderTest, CountsCompleteSecondsAfterTheWarmUpAndWritesAndDescribesThem) {
  LatencyRecorder recorder(1'000'000);
  // Slow while warming up, then 60 pictures in one second, 30 in the next, none in the third,
  // 60 in the fourth, and half a second more that is not a complete window.
  for (int64_t at = kStart; at < kStart + 1'000'000; at += 20'000) recorder.add(at, at - 90'000);
  for (int second : {1, 2, 4}) {
    const int pictures = second == 2 ? 30 : 60;
    for (int index = 0; index < pictures; ++index) {
      const int64_t at = kStart + second * 1'000'000 + index * 1'000'000 / pictures;
      recorder.add(at, at - 10'000);
    }
  }
  recorder.add(kStart + 5'500'000, std::nullopt);
  EXPECT_EQ(LatencyRecorder::describe(recorder.summary()),
            "latency median 10.0 ms · p95 10.0 ms · p99 10.0 ms over 150 pictures\n"
            "pictures per second: mean 37.5 · worst second 0 over 4 s · 1 unread");

  std::ostringstream csv;
  recorder.writeCsv(csv);
  EXPECT_TRUE(csv.str().starts_with("decoded_us,drawn_us,latency_us\n501000000,500990000,10000\n"));
  EXPECT_TRUE(csv.str().ends_with("\n505500000,,\n"));
}

}  // namespace
}  // namespace veltra
