// The client's latency record: which pictures count, the percentiles, the one-second windows and
// what it writes and prints.

#include "latency_recorder.h"

#include <gtest/gtest.h>

#include <sstream>

namespace veltra {
namespace {

constexpr int64_t kStart = 50'000'000;  // microseconds of some machine's monotonic clock

TEST(LatencyRecorderTest, PercentilesAreNearestRankOverStampedPictures) {
  LatencyRecorder recorder;
  // Latencies 100, 99, ... 1 ms, in no sorted order of arrival.
  for (int index = 0; index < 100; ++index) {
    const int64_t decoded = kStart + index * 10'000;
    recorder.add(decoded, static_cast<uint64_t>(decoded - (100 - index) * 1000));
  }
  recorder.add(kStart + 1'000'000, std::nullopt);
  const auto summary = recorder.summary();
  EXPECT_EQ(summary.pictures, 101u);
  EXPECT_EQ(summary.stamped, 100u);
  EXPECT_DOUBLE_EQ(summary.medianMs, 50);
  EXPECT_DOUBLE_EQ(summary.p95Ms, 95);
  EXPECT_DOUBLE_EQ(summary.p99Ms, 99);
}

TEST(LatencyRecorderTest, OnePictureIsItsOwnPercentiles) {
  LatencyRecorder recorder;
  recorder.add(kStart, kStart - 12'345);
  const auto summary = recorder.summary();
  EXPECT_DOUBLE_EQ(summary.medianMs, 12.345);
  EXPECT_DOUBLE_EQ(summary.p99Ms, 12.345);
  EXPECT_EQ(summary.seconds, 0);
}

TEST(LatencyRecorderTest, StampsThatCannotBeThisClocksReadAsUnread) {
  LatencyRecorder recorder;
  recorder.add(kStart, kStart + 1);               // drawn after it arrived
  recorder.add(kStart + 1, kStart - 61'000'000);  // older than a minute
  recorder.add(kStart + 2, std::nullopt);         // no stamp at all
  recorder.add(kStart + 3, kStart + 3);           // drawn and shown in the same microsecond
  const auto summary = recorder.summary();
  EXPECT_EQ(summary.pictures, 4u);
  EXPECT_EQ(summary.stamped, 1u);
  EXPECT_DOUBLE_EQ(summary.medianMs, 0);
}

TEST(LatencyRecorderTest, CountsCompleteSecondsAndFindsTheWorst) {
  LatencyRecorder recorder;
  // 60 pictures in the first second, 30 in the second, 60 in the third, then half a second
  // more that is not a complete window.
  int64_t at = kStart;
  for (int second = 0; second < 3; ++second) {
    const int pictures = second == 1 ? 30 : 60;
    for (int index = 0; index < pictures; ++index)
      recorder.add(at + index * 1'000'000 / pictures, std::nullopt);
    at += 1'000'000;
  }
  for (int index = 0; index < 30; ++index) recorder.add(at + index * 16'667, std::nullopt);
  const auto summary = recorder.summary();
  EXPECT_EQ(summary.seconds, 3);
  EXPECT_EQ(summary.worstSecond, 30);
  EXPECT_DOUBLE_EQ(summary.meanPerSecond, 50);
  EXPECT_EQ(summary.pictures, 180u);
}

TEST(LatencyRecorderTest, ASecondWithoutAnyPictureIsTheWorst) {
  LatencyRecorder recorder;
  recorder.add(kStart, std::nullopt);
  recorder.add(kStart + 500'000, std::nullopt);
  recorder.add(kStart + 2'500'000, std::nullopt);  // nothing from 1 s to 2 s
  const auto summary = recorder.summary();
  EXPECT_EQ(summary.seconds, 2);
  EXPECT_EQ(summary.worstSecond, 0);
  EXPECT_DOUBLE_EQ(summary.meanPerSecond, 1);
}

TEST(LatencyRecorderTest, WarmUpLeavesTheFirstPicturesOutOfEverything) {
  LatencyRecorder recorder(1'000'000);
  for (int index = 0; index < 120; ++index) {
    const int64_t decoded = kStart + index * 20'000;
    // Slow while warming up, quick after.
    recorder.add(decoded, static_cast<uint64_t>(decoded - (index < 50 ? 90'000 : 10'000)));
  }
  const auto summary = recorder.summary();
  EXPECT_EQ(summary.pictures, 70u);
  EXPECT_EQ(recorder.pictures().front().decodedMicros, kStart + 1'000'000);
  EXPECT_DOUBLE_EQ(summary.p99Ms, 10);
  std::ostringstream csv;
  recorder.writeCsv(csv);
  EXPECT_EQ(csv.str().find("\n50000000,"), std::string::npos);  // the very first picture
}

TEST(LatencyRecorderTest, WritesOneCsvLinePerPicture) {
  LatencyRecorder recorder;
  recorder.add(1'000'000, 980'000);
  recorder.add(1'016'667, std::nullopt);
  std::ostringstream csv;
  recorder.writeCsv(csv);
  EXPECT_EQ(csv.str(),
            "decoded_us,drawn_us,latency_us\n"
            "1000000,980000,20000\n"
            "1016667,,\n");
}

TEST(LatencyRecorderTest, DescribesARunInTwoLines) {
  LatencyRecorder::Summary summary;
  summary.pictures = 1201;
  summary.stamped = 1200;
  summary.medianMs = 21.04;
  summary.p95Ms = 25.56;
  summary.p99Ms = 31;
  summary.seconds = 20;
  summary.meanPerSecond = 60.04;
  summary.worstSecond = 58;
  EXPECT_EQ(LatencyRecorder::describe(summary),
            "latency median 21.0 ms · p95 25.6 ms · p99 31.0 ms over 1200 pictures\n"
            "pictures per second: mean 60.0 · worst second 58 over 20 s · 1 unread");
  summary.stamped = 0;
  EXPECT_EQ(
      LatencyRecorder::describe(summary).find("latency: no readable stamp in 1201 pictures\n"), 0u);
}

}  // namespace
}  // namespace veltra
