// The latency stamp never reads as a wrong time, whatever the damage; that it survives the host's
// H.264 is checked end to end by the programs' tests.

#include "latency_stamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <vector>

namespace veltra {
namespace {

namespace stamp = latency_stamp;

constexpr uint8_t kBlack = 16;  // video range, as the host's RGB to NV12 conversion writes
constexpr uint8_t kWhite = 235;
constexpr int kRowCells = 58;  // a white and a black sync cell, 48 time and 8 check bits

// A luma plane over a gradient, with row padding the reader must not look at. Cell positions come
// from a plan's first white block, the upper row's sync cell.
struct Luma {
  int width, height, stride;
  std::vector<uint8_t> samples;
  int left = 0, top = 0, cell = 0;

  Luma(int w, int h) : width(w), height(h), stride(w + 32), samples(size_t(stride) * h, 255) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) at(x, y) = static_cast<uint8_t>(40 + (x + y) * 150 / (w + h));
  }
  uint8_t& at(int x, int y) { return samples[size_t(y) * stride + x]; }
  void fill(int x, int y, int w, int h, uint8_t value) {
    for (int row = y; row < y + h; ++row) std::fill_n(&at(x, row), w, value);
  }
  void draw(uint64_t micros, uint8_t black = kBlack, uint8_t white = kWhite) {
    const auto plan = stamp::drawPlan(width, height, micros);
    for (const auto& block : plan)
      fill(block.x, block.y, block.width, block.height, block.white ? white : black);
    left = plan.at(1).x, top = plan.at(1).y, cell = plan.at(1).width;
  }
  std::optional<uint64_t> read() const {
    return stamp::read(samples.data(), stride, width, height);
  }
  bool isWhite(int row, int column) {
    return at(left + column * cell + cell / 2, top + row * cell + cell / 2) == kWhite;
  }
  void set(int row, int column, uint8_t value) {
    fill(left + column * cell, top + row * cell, cell, cell, value);
  }
  void flip(int row, int column) { set(row, column, isWhite(row, column) ? kBlack : kWhite); }
};

class LatencyStampSizeTest : public ::testing::TestWithParam<std::pair<int, int>> {};

// Clean, in full range, noisy or smeared, a stamp reads as its time; with any one cell flipped or
// grey, or with the same bit flipped in both rows, as nothing.
TEST_P(LatencyStampSizeTest, ReadsItsOwnTimeOrNothingButNeverAnotherTime) {
  const auto [width, height] = GetParam();
  std::mt19937_64 random(static_cast<uint64_t>(width));
  std::vector<uint64_t> times = {0, 1, 0xaaaaaaaaaaaa, 0x555555555555, stamp::kTimeMask};
  for (int i = 0; i < 4; ++i) times.push_back(random() & stamp::kTimeMask);
  const Luma background(width, height);
  EXPECT_EQ(background.read(), std::nullopt);
  for (const uint64_t micros : times) {
    SCOPED_TRACE(micros);
    // In the bottom corner, clear of the test pattern's bars, which end above 80 % of the height.
    for (const auto& block : stamp::drawPlan(width, height, micros)) {
      EXPECT_TRUE(block.x >= 0 && block.x + block.width <= width * 3 / 4);
      EXPECT_TRUE(block.y >= height * 9 / 10 && block.y + block.height <= height);
    }
    Luma full = background, luma = background;
    full.draw(micros, 0, 255);  // as a decoder may hand it out
    EXPECT_EQ(full.read(), micros);
    luma.draw(micros);
    EXPECT_EQ(luma.read(), micros);
    // Cells whose borders the codec smeared into their neighbours' colour read by their middles;
    // any one cell flipped or grey reads as nothing (damaged in place and put back).
    Luma smeared = luma;
    const int ring = std::max(1, luma.cell / 8), inner = luma.cell - 2 * ring;
    for (int row = 0; row < 2; ++row) {
      for (int column = 0; column < kRowCells; ++column) {
        const bool white = luma.isWhite(row, column);
        smeared.set(row, column, white ? kBlack : kWhite);
        smeared.fill(luma.left + column * luma.cell + ring, luma.top + row * luma.cell + ring,
                     inner, inner, white ? kWhite : kBlack);
        for (const uint8_t value : {white ? kBlack : kWhite, uint8_t{128}}) {
          luma.set(row, column, value);
          EXPECT_EQ(luma.read(), std::nullopt) << row << "," << column << " set to " << int(value);
        }
        luma.set(row, column, white ? kWhite : kBlack);
      }
    }
    EXPECT_EQ(smeared.read(), micros);
    // The upper row holds the word's bits from the most significant, the lower from the least:
    // both rows agreeing on a wrong word takes two faults, which the check bits refuse.
    for (int bit = 0; bit < kRowCells - 2; ++bit) {
      const auto flipBoth = [&] { luma.flip(0, kRowCells - 1 - bit), luma.flip(1, 2 + bit); };
      flipBoth();
      EXPECT_EQ(luma.read(), std::nullopt) << "bit " << bit << " flipped in both rows";
      flipBoth();
    }
    EXPECT_EQ(luma.read(), micros) << "every cell put back";
  }
  Luma luma = background;
  luma.draw((uint64_t{5} << 48) + 777);
  EXPECT_EQ(luma.read(), 777u) << "the low 48 bits of the time";
}

INSTANTIATE_TEST_SUITE_P(Screens, LatencyStampSizeTest,
                         ::testing::Values(std::pair{1920, 1080}, std::pair{2560, 1440},
                                           std::pair{1280, 720}, std::pair{640, 360}));

TEST(LatencyStampTest, ScreensTooSmallForLargeCellsHaveNone) {
  for (const auto& [width, height] : {std::pair{320, 180}, std::pair{200, 400}, std::pair{0, 0}})
    EXPECT_TRUE(stamp::drawPlan(width, height, 5).empty()) << width << "x" << height;
  EXPECT_EQ(Luma(320, 180).read(), std::nullopt);
}

// A picture captured while the stamp changes: left of (or above) the tear from the new stamp,
// the rest from the old one. Consecutive times at 60 fps, torn at every cell and between the rows.
TEST(LatencyStampTest, APictureTornBetweenTwoStampsNeverReadsAsAThirdTime) {
  const Luma background(1920, 1080);
  Luma older = background, newer = background, torn = background;
  int readAsOne = 0, readAsNothing = 0;
  const uint64_t period = 16'667;
  for (int picture = 0; picture < 120; ++picture) {
    const uint64_t time = 5'000'000'000 + picture * period * 37;
    older = newer = background;  // reassigned: fresh planes for every case would be slow
    older.draw(time);
    newer.draw(time + period);
    // Left of the tear from the newer stamp, in both rows; at -1, the upper row only.
    for (int tear = -1; tear < kRowCells; ++tear) {
      const int x = tear < 0 ? 1920 : older.left + tear * older.cell;
      for (int y = older.top; y < older.top + 2 * older.cell; ++y) {
        std::copy_n(&older.at(0, y), 1920, &torn.at(0, y));
        if (tear >= 0 || y < older.top + older.cell)
          std::copy_n(&newer.at(0, y), x, &torn.at(0, y));
      }
      const auto reading = torn.read();
      EXPECT_TRUE(!reading || *reading == time || *reading == time + period)
          << "torn at " << tear << " after " << time << " read " << *reading;
      ++(reading ? readAsOne : readAsNothing);
    }
  }
  // Tears that change a bit in one row's order but not in the other's are caught, while those
  // where both rows agree read as one of the two times.
  EXPECT_GT(readAsNothing, 0);
  EXPECT_GT(readAsOne, 0);
}

}  // namespace
}  // namespace veltra
