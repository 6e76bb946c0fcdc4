// The latency stamp drawn into a luma plane and read back: exactly, through noise and through a
// real H.264 encode and decode, and never as a wrong time when a cell is damaged or the picture
// is torn between two stamps.

#include "latency_stamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "codec/VideoDecoder.h"
#include "codec/h264_test_stream.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace veltra {
namespace {

namespace stamp = latency_stamp;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr uint8_t kBlack = 16;  // video range, as the host's RGB to NV12 conversion writes
constexpr uint8_t kWhite = 235;

// A luma plane with padding at the end of each row, which the reader must not look at.
struct Luma {
  int width;
  int height;
  int stride;
  std::vector<uint8_t> samples;

  Luma(int w, int h) : width(w), height(h), stride(w + 32), samples(size_t(stride) * h, 255) {
    // A diagonal gradient across the picture, like the background of a desktop.
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) at(x, y) = static_cast<uint8_t>(40 + (x + y) * 150 / (w + h));
  }

  uint8_t& at(int x, int y) { return samples[size_t(y) * stride + x]; }

  void fill(int x, int y, int w, int h, uint8_t value) {
    for (int row = y; row < y + h; ++row)
      for (int column = x; column < x + w; ++column) at(column, row) = value;
  }

  void draw(const std::vector<stamp::Block>& plan, uint8_t black = kBlack, uint8_t white = kWhite) {
    for (const auto& block : plan)
      fill(block.x, block.y, block.width, block.height, block.white ? white : black);
  }

  std::optional<uint64_t> read() const {
    return stamp::read(samples.data(), stride, width, height);
  }
};

// Where the cells are, from a plan: its first white block is the upper row's sync cell.
struct Cells {
  int left, top, size;
  explicit Cells(const std::vector<stamp::Block>& plan)
      : left(plan.at(1).x), top(plan.at(1).y), size(plan.at(1).width) {}
};
constexpr int kRowCells = 58;  // a white and a black sync cell, 48 time and 8 check bits

TEST(LatencyStampTest, ReadsBackExactlyAtEverySize) {
  const uint64_t times[] = {0,
                            1,
                            16'667,
                            123'456'789'012,
                            0xaaaaaaaaaaaa,
                            0x555555555555,
                            stamp::kTimeMask - 1,
                            stamp::kTimeMask};
  const std::pair<int, int> sizes[] = {{1920, 1080}, {2560, 1440}, {1280, 720}, {640, 360}};
  for (auto [width, height] : sizes) {
    for (uint64_t micros : times) {
      Luma luma(width, height);
      luma.draw(stamp::drawPlan(width, height, micros));
      EXPECT_EQ(luma.read(), micros) << width << "x" << height << " at " << micros;
      // Full range (a decoder may hand those out) reads the same.
      luma.draw(stamp::drawPlan(width, height, micros), 0, 255);
      EXPECT_EQ(luma.read(), micros) << width << "x" << height << " at " << micros;
    }
  }
}

TEST(LatencyStampTest, KeepsTheLow48BitsOfTheTime) {
  Luma luma(1920, 1080);
  luma.draw(stamp::drawPlan(1920, 1080, (uint64_t{5} << 48) + 777));
  EXPECT_EQ(luma.read(), 777u);
}

TEST(LatencyStampTest, CellsAreLargeAndTheStampStaysInTheBottomCornerOfTheScreen) {
  struct Screen {
    int width, height, cell;
  };
  for (auto [width, height, cell] : {Screen{1920, 1080, 16}, Screen{2560, 1440, 22}}) {
    const auto plan = stamp::drawPlan(width, height, 0);
    ASSERT_FALSE(plan.empty());
    EXPECT_FALSE(plan.front().white);
    for (const auto& block : plan) {
      EXPECT_GE(block.x, 0);
      EXPECT_LE(block.x + block.width, width / 2 + width / 4);
      // The test pattern's bars end above 80 % of the height.
      EXPECT_GE(block.y, height * 9 / 10);
      EXPECT_LE(block.y + block.height, height);
      if (block.white) {
        EXPECT_EQ(block.width, cell);
        EXPECT_EQ(block.height, cell);
      }
    }
  }
}

TEST(LatencyStampTest, ScreensTooSmallForLargeCellsHaveNone) {
  EXPECT_TRUE(stamp::drawPlan(320, 180, 5).empty());  // 2 px cells
  EXPECT_TRUE(stamp::drawPlan(200, 400, 5).empty());  // rows wider than the screen
  EXPECT_TRUE(stamp::drawPlan(0, 0, 5).empty());
  Luma luma(320, 180);
  EXPECT_EQ(luma.read(), std::nullopt);
}

TEST(LatencyStampTest, ReadsThroughNoiseOfFortyLumaLevels) {
  std::mt19937 random(1234);
  std::uniform_int_distribution<int> noise(-40, 40);
  for (int picture = 0; picture < 20; ++picture) {
    const uint64_t micros = 3'600'000'000 + uint64_t(picture) * 16'667;
    Luma luma(1920, 1080);
    luma.draw(stamp::drawPlan(1920, 1080, micros));
    for (uint8_t& sample : luma.samples)
      sample = static_cast<uint8_t>(std::clamp(sample + noise(random), 0, 255));
    EXPECT_EQ(luma.read(), micros) << "picture " << picture;
  }
}

TEST(LatencyStampTest, PicturesWithoutAStampReadAsNothing) {
  for (uint8_t value : {uint8_t{0}, kBlack, uint8_t{128}, kWhite, uint8_t{255}}) {
    Luma luma(1920, 1080);
    luma.fill(0, 0, 1920, 1080, value);
    EXPECT_EQ(luma.read(), std::nullopt) << int(value);
  }
  Luma gradient(1920, 1080);
  EXPECT_EQ(gradient.read(), std::nullopt);
  // Only the backdrop: a capture between the stamp's two fills.
  Luma halfDrawn(1920, 1080);
  halfDrawn.draw({stamp::drawPlan(1920, 1080, 99).front()});
  EXPECT_EQ(halfDrawn.read(), std::nullopt);
}

TEST(LatencyStampTest, AnyFlippedOrGreyCellReadsAsNothing) {
  const auto plan = stamp::drawPlan(1920, 1080, 987'654'321);
  const Cells cells(plan);
  Luma stamped(1920, 1080);
  stamped.draw(plan);
  ASSERT_EQ(stamped.read(), 987'654'321u);
  for (int row = 0; row < 2; ++row) {
    for (int cell = 0; cell < kRowCells; ++cell) {
      const int x = cells.left + cell * cells.size, y = cells.top + row * cells.size;
      const uint8_t was = stamped.at(x + cells.size / 2, y + cells.size / 2);
      for (uint8_t value : {was == kWhite ? kBlack : kWhite, uint8_t{128}}) {
        stamped.fill(x, y, cells.size, cells.size, value);
        EXPECT_EQ(stamped.read(), std::nullopt)
            << "row " << row << " cell " << cell << " set to " << int(value);
        stamped.fill(x, y, cells.size, cells.size, was);
      }
    }
  }
  EXPECT_EQ(stamped.read(), 987'654'321u);  // each cell was put back as it was
}

// The codec smears edges (deblocking, ringing): a cell whose border has turned into its
// neighbour's colour still reads by its middle.
TEST(LatencyStampTest, ReadsThroughSmearedCellEdges) {
  const uint64_t micros = 0x123456789a;
  const auto plan = stamp::drawPlan(1920, 1080, micros);
  const Cells cells(plan);
  Luma smeared(1920, 1080);
  smeared.draw(plan);
  const Luma clean = smeared;
  const int ring = cells.size / 8;
  for (int row = 0; row < 2; ++row) {
    for (int cell = 0; cell < kRowCells; ++cell) {
      const int x = cells.left + cell * cells.size, y = cells.top + row * cells.size;
      const uint8_t inverse =
          clean.samples[size_t(y + cells.size / 2) * clean.stride + x + cells.size / 2] == kWhite
              ? kBlack
              : kWhite;
      smeared.fill(x, y, cells.size, ring, inverse);
      smeared.fill(x, y + cells.size - ring, cells.size, ring, inverse);
      smeared.fill(x, y, ring, cells.size, inverse);
      smeared.fill(x + cells.size - ring, y, ring, cells.size, inverse);
    }
  }
  EXPECT_EQ(smeared.read(), micros);
}

// Both rows damaged alike (the mirrored order makes that take two separate faults): the check
// bits still refuse it.
TEST(LatencyStampTest, RowsAgreeingOnAWrongTimeFailTheCheck) {
  const uint64_t micros = 0x0f0f0f0f0f0f;
  const auto plan = stamp::drawPlan(1920, 1080, micros);
  const Cells cells(plan);
  Luma stamped(1920, 1080);
  stamped.draw(plan);
  const int wordBits = kRowCells - 2;
  for (int bit = 0; bit < wordBits; ++bit) {
    // The upper row holds the word's bits from the most significant, the lower from the least.
    const auto flipBoth = [&] {
      for (auto [row, column] : {std::pair{0, 2 + wordBits - 1 - bit}, std::pair{1, 2 + bit}}) {
        const int x = cells.left + column * cells.size, y = cells.top + row * cells.size;
        const uint8_t was = stamped.at(x + cells.size / 2, y + cells.size / 2);
        stamped.fill(x, y, cells.size, cells.size, was == kWhite ? kBlack : kWhite);
      }
    };
    flipBoth();
    EXPECT_EQ(stamped.read(), std::nullopt) << "bit " << bit << " flipped in both rows";
    flipBoth();  // back as it was
  }
}

// A picture captured while the stamp changes: the part left of (or above) the tear from the
// new stamp, the rest from the old one. Consecutive times at 60 and 120 fps, torn at every cell
// boundary and between the rows.
TEST(LatencyStampTest, APictureTornBetweenTwoStampsNeverReadsAsAThirdTime) {
  // Allocated once and reassigned: fresh 2 MB planes for each of thousands of cases would make
  // this the slowest test here.
  const Luma background(1920, 1080);
  Luma oldPicture = background, newPicture = background, torn = background;
  int readAsOne = 0, readAsNothing = 0;
  const auto check = [&](const Luma& shown, uint64_t older, uint64_t newer, int tear) {
    const auto reading = shown.read();
    EXPECT_TRUE(!reading || *reading == older || *reading == newer)
        << "torn at " << tear << " between " << older << " and " << newer << " read " << *reading;
    ++(reading ? readAsOne : readAsNothing);
  };
  for (uint64_t period : {16'667u, 8'333u}) {
    for (int picture = 0; picture < 60; ++picture) {
      const uint64_t older = 5'000'000'000 + picture * period * 37;
      const uint64_t newer = older + period;
      oldPicture = background;
      newPicture = background;
      oldPicture.draw(stamp::drawPlan(1920, 1080, older));
      newPicture.draw(stamp::drawPlan(1920, 1080, newer));
      const Cells cells(stamp::drawPlan(1920, 1080, older));

      // The tear moves right one cell at a time; each step takes one more column of cells from
      // the new picture.
      torn = oldPicture;
      for (int tear = 1; tear <= kRowCells; ++tear) {
        const int x = cells.left + (tear - 1) * cells.size;
        for (int y = cells.top; y < cells.top + 2 * cells.size; ++y)
          std::copy_n(&newPicture.at(x, y), cells.size, &torn.at(x, y));
        check(torn, older, newer, tear);
      }
      torn = oldPicture;
      for (int y = cells.top; y < cells.top + cells.size; ++y)
        std::copy_n(&newPicture.at(0, y), torn.width, &torn.at(0, y));
      check(torn, older, newer, -1);
    }
  }
  // Tears that change a bit in one row's order but not in the other's are caught...
  EXPECT_GT(readAsNothing, 0);
  // ...while those where both rows agree read as one of the two times.
  EXPECT_GT(readAsOne, 0);
}

// Moving content with the stamp on top, encoded as the host does at 1080p (libx264 superfast,
// zero latency, 20 Mbit/s with a one-frame buffer) and decoded as the client does.
TEST(LatencyStampTest, EveryPictureReadsItsOwnTimeAfterH264At1080p) {
  const int pictures = kSanitized ? 6 : 40;
  std::vector<uint64_t> times;
  for (int index = 0; index < pictures; ++index) times.push_back(7'000'000'000 + index * 16'667);
  const test::Painter moving = test::movingPainter();

  test::StreamOptions options;
  options.width = 1920;
  options.height = 1080;
  options.frames = pictures;
  options.bitRate = 20'000'000;
  options.paint = [&](AVFrame* picture, int index) {
    moving(picture, index);
    for (const auto& block : stamp::drawPlan(1920, 1080, times[size_t(index)])) {
      for (int y = block.y; y < block.y + block.height; ++y)
        std::fill_n(picture->data[0] + ptrdiff_t(y) * picture->linesize[0] + block.x, block.width,
                    block.white ? kWhite : kBlack);
    }
  };
  const test::EncodedStream stream = test::encodeH264(options);

  VideoDecoder decoder(VideoDecoder::Acceleration::softwareOnly);
  std::vector<std::optional<uint64_t>> stamps;
  decoder.onFrame = [&](std::shared_ptr<const RemoteFrame> frame) {
    stamps.push_back(
        stamp::read(frame->plane(0), frame->stride(0), frame->width(), frame->height()));
  };
  decoder.configure(stream.format);
  for (const Bytes& frame : stream.frames) decoder.decode(frame);

  ASSERT_EQ(stamps.size(), times.size());
  for (size_t index = 0; index < times.size(); ++index)
    EXPECT_EQ(stamps[index], times[index]) << "picture " << index;
}

}  // namespace
}  // namespace veltra
