#include <gtest/gtest.h>

#include <algorithm>

#include "client/AudioJitterBuffer.h"

namespace veltra {
namespace {

constexpr size_t kStep = AudioJitterBuffer::kStepFrames;

// One 10 ms step whose every sample is `value`.
std::vector<int16_t> step(int16_t value) {
  return std::vector<int16_t>(2 * kStep, value);
}

// The next `frames` frames the output would play.
std::vector<int16_t> pull(AudioJitterBuffer& buffer, size_t frames) {
  std::vector<int16_t> out(2 * frames, -1);
  buffer.pull(out);
  return out;
}

bool all(const std::vector<int16_t>& samples, int16_t value) {
  return std::all_of(samples.begin(), samples.end(), [&](int16_t each) { return each == value; });
}

TEST(AudioJitterBuffer, StartsAtTwentyMillisecondsAndKeepsTheSoundsTimeAcrossShortGaps) {
  AudioJitterBuffer buffer;
  buffer.push(7, step(1));
  EXPECT_TRUE(all(pull(buffer, kStep), 0));  // below the start threshold: silence, kept
  EXPECT_EQ(buffer.queuedFrames(), kStep);
  buffer.push(8, step(2));
  // A gap of two steps while sound is queued is two steps of silence in its place.
  buffer.push(11, step(3));
  buffer.push(10, step(9));  // older than what is queued: dropped
  buffer.push(11, step(9));  // a repeat: dropped
  EXPECT_EQ(buffer.queuedFrames(), 5 * kStep);
  std::vector<int16_t> played = pull(buffer, 5 * kStep);
  EXPECT_TRUE(all({played.begin(), played.begin() + 2 * kStep}, 1));
  EXPECT_TRUE(all({played.begin() + 2 * kStep, played.begin() + 4 * kStep}, 2));
  EXPECT_TRUE(all({played.begin() + 4 * kStep, played.begin() + 8 * kStep}, 0));
  EXPECT_TRUE(all({played.begin() + 8 * kStep, played.end()}, 3));

  // Ran dry: an underrun, and after it a gap needs no silence, the start threshold waits anyway.
  EXPECT_TRUE(all(pull(buffer, kStep), 0));
  EXPECT_EQ(buffer.underruns(), 1u);
  buffer.push(40, step(4));
  EXPECT_EQ(buffer.queuedFrames(), kStep);

  // The sequence wraps around.
  AudioJitterBuffer wrapping;
  wrapping.push(UINT32_MAX, step(1));
  wrapping.push(0, step(2));
  wrapping.push(2, step(3));
  wrapping.push(UINT32_MAX - 1, step(9));
  EXPECT_EQ(wrapping.queuedFrames(), 4 * kStep);
}

TEST(AudioJitterBuffer, CutsABacklogToTheStartAndPlaysSilenceWhileMutedWithoutKeepingTheSound) {
  AudioJitterBuffer buffer;
  for (uint32_t sequence = 0; sequence < 7; ++sequence)
    buffer.push(sequence, step(int16_t(sequence + 1)));
  // 70 ms queued is more than the 60 ms allowed: the oldest sound goes, 20 ms stay.
  EXPECT_EQ(buffer.queuedFrames(), AudioJitterBuffer::kStart);
  EXPECT_EQ(buffer.droppedFrames(), 5 * kStep);
  EXPECT_TRUE(all(pull(buffer, kStep), 6));

  buffer.setMuted(true);
  EXPECT_TRUE(all(pull(buffer, kStep), 0));
  buffer.setMuted(false);
  buffer.push(7, step(8));
  buffer.push(8, step(9));
  EXPECT_TRUE(all(pull(buffer, kStep), 8));  // the present, not the sound muted away
}

}  // namespace
}  // namespace veltra
