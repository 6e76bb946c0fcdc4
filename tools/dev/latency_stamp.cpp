#include "latency_stamp.h"

#include <time.h>

#include <array>
#include <cstddef>

namespace veltra::latency_stamp {
namespace {

constexpr int kCheckBits = 8;
constexpr int kWordBits = kTimeBits + kCheckBits;
constexpr int kSyncCells = 2;  // white, black
constexpr int kRowCells = kSyncCells + kWordBits;
constexpr int kRows = 2;
// A cell's mean luma must be this far from mid-grey: a blurred or half-changed cell lands in
// between and fails the whole stamp.
constexpr int kLowest = 128 - 40;
constexpr int kHighest = 128 + 40;

// Where the stamp sits; `cell` is 0 when the screen cannot hold it.
struct Geometry {
  int cell = 0;
  int left = 0;
  int top = 0;  // of the upper row

  Geometry(int width, int height) {
    if (width <= 0 || height <= 0) return;
    const int size = height / 64;
    // One cell of margin on the left and a backdrop half a cell wide all round.
    if (size < 4 || (kRowCells + 2) * size > width || 5 * size > height) return;
    cell = size;
    left = size;
    top = height - 3 * size;
  }
};

// CRC-8/AUTOSAR (polynomial 0x2F, Hamming distance 4 over our 56 bits) of the six time bytes,
// most significant first. The initial and final inversion keep an all-zero word invalid.
uint8_t checksum(uint64_t micros) {
  uint8_t crc = 0xff;
  for (int shift = kTimeBits - 8; shift >= 0; shift -= 8) {
    crc ^= static_cast<uint8_t>(micros >> shift);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x2f : crc << 1);
  }
  return static_cast<uint8_t>(crc ^ 0xff);
}

// Which bit of the word cell `index` (past the sync cells) of `row` carries.
int bitOf(int row, int index) {
  return row == 0 ? kWordBits - 1 - index : index;
}

// Mean luma over the middle half of a cell, each way: its edges are where the codec smears.
int centreMean(const uint8_t* luma, int stride, int x, int y, int cell) {
  const int inset = cell / 4;
  const int size = cell - 2 * inset;
  int sum = 0;
  for (int row = y + inset; row < y + inset + size; ++row) {
    const uint8_t* line = luma + static_cast<ptrdiff_t>(row) * stride;
    for (int column = x + inset; column < x + inset + size; ++column) sum += line[column];
  }
  return sum / (size * size);
}

}  // namespace

uint64_t monotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

std::vector<Block> drawPlan(int width, int height, uint64_t micros) {
  const Geometry at(width, height);
  if (at.cell == 0) return {};
  micros &= kTimeMask;
  const uint64_t word = micros << kCheckBits | checksum(micros);
  const int cell = at.cell;

  std::vector<Block> plan;
  plan.push_back(Block{at.left - cell / 2, at.top - cell / 2, kRowCells * cell + cell,
                       kRows * cell + cell, false});
  for (int row = 0; row < kRows; ++row) {
    const int y = at.top + row * cell;
    plan.push_back(Block{at.left, y, cell, cell, true});  // sync; the black one is the backdrop
    for (int index = 0; index < kWordBits; ++index) {
      if (word >> bitOf(row, index) & 1) {
        plan.push_back(Block{at.left + (kSyncCells + index) * cell, y, cell, cell, true});
      }
    }
  }
  return plan;
}

std::optional<uint64_t> read(const uint8_t* luma, int stride, int width, int height) {
  const Geometry at(width, height);
  if (at.cell == 0 || luma == nullptr || stride < width) return std::nullopt;

  std::array<uint64_t, kRows> words{};
  for (int row = 0; row < kRows; ++row) {
    const int y = at.top + row * at.cell;
    for (int cell = 0; cell < kRowCells; ++cell) {
      const int mean = centreMean(luma, stride, at.left + cell * at.cell, y, at.cell);
      if (mean > kLowest && mean < kHighest) return std::nullopt;
      const bool white = mean >= kHighest;
      if (cell < kSyncCells) {
        if (white != (cell == 0)) return std::nullopt;
      } else if (white) {
        words[static_cast<size_t>(row)] |= uint64_t{1} << bitOf(row, cell - kSyncCells);
      }
    }
  }
  if (words[0] != words[1]) return std::nullopt;
  const uint64_t micros = words[0] >> kCheckBits;
  if ((words[0] & 0xff) != checksum(micros)) return std::nullopt;
  return micros;
}

}  // namespace veltra::latency_stamp
