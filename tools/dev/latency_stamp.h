#pragma once

// The latency stamp: the test pattern draws the time of each picture into the picture itself, and
// a client on the same machine reads it back from the decoded luma plane, so the whole path
// (draw, capture, encode, wire, decode) is measured end to end with one clock.
//
// The stamp is two rows of large black and white cells near the bottom-left corner, sized from
// the screen height (16 px cells at 1080 lines) so that H.264 at streaming bit rates keeps every
// cell clearly black or white. Each row starts with a white and a black sync cell, then carries a
// 56-bit word (48 bits of time, 8 of CRC): the top row most significant bit first, the bottom row
// least significant bit first. Reading demands both rows agree, so a picture torn once between
// two stamps (at any column, or between the rows) reads as one of the two times or as nothing,
// never as a mix; a cell that is neither clearly dark nor clearly light reads as nothing.

#include <cstdint>
#include <optional>
#include <vector>

namespace veltra::latency_stamp {

// Times are CLOCK_MONOTONIC microseconds; the stamp keeps their low 48 bits (8.9 years).
constexpr int kTimeBits = 48;
constexpr uint64_t kTimeMask = (uint64_t{1} << kTimeBits) - 1;

// CLOCK_MONOTONIC now, in microseconds: the clock both programs on one machine share.
uint64_t monotonicMicros();

struct Block {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool white = false;

  bool operator==(const Block&) const = default;
};

// What to draw for `micros` on a width × height screen, in drawing order: one black backdrop
// under the whole stamp, then every white cell. Empty when the screen is too small for cells a
// codec keeps (under 4 px, or rows wider than the screen).
std::vector<Block> drawPlan(int width, int height, uint64_t micros);

// The time stamped into a decoded picture's luma plane (8-bit samples, full or video range), or
// nothing when the picture carries no complete, consistent stamp.
std::optional<uint64_t> read(const uint8_t* luma, int stride, int width, int height);

}  // namespace veltra::latency_stamp
