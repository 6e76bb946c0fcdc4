// The fit that both the drawing and the pointer mapping use, and the colour conversion the
// shader is given.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>

#include "view/RemoteVideoRenderer.h"
#include "view/RemoteViewport.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct Mapping {
  QSizeF picture, bounds;
  QPointF point;
  bool clamp;
  std::optional<QPointF> expected;
};

class RemoteViewportTest : public testing::TestWithParam<Mapping> {};

TEST_P(RemoteViewportTest, MapsAPointToAFractionOfThePicture) {
  const Mapping& m = GetParam();
  EXPECT_EQ(RemoteViewport::fitted(m.picture, m.bounds).normalized(m.point, m.clamp), m.expected);
}

// A 1920×1080 picture in 800×600 covers y 75…525; a 1080×1920 one in 1920×1080 covers x 656.25…
const QSizeF kWide(1920, 1080), kOld(800, 600);
INSTANTIATE_TEST_SUITE_P(
    Fits, RemoteViewportTest,
    testing::Values(Mapping{kWide, kOld, {400, 300}, false, QPointF(0.5, 0.5)},
                    Mapping{kWide, kOld, {0, 75}, false, QPointF(0, 0)},
                    Mapping{kWide, kOld, {400, 50}, false, std::nullopt},  // the bar above
                    Mapping{kWide, kOld, {400, 50}, true, QPointF(0.5, 0)},
                    Mapping{kWide, kOld, {900, 600}, true, QPointF(1, 1)},
                    Mapping{kWide, kOld, {400, 525}, false, std::nullopt},  // the row below
                    Mapping{{1080, 1920}, kWide, {656.25, 0}, false, QPointF(0, 0)},
                    Mapping{{320, 180}, {1280, 1024}, {640, 152}, false, QPointF(0.5, 0)},
                    Mapping{{0, 1080}, kOld, {400, 300}, true, std::nullopt},
                    Mapping{{kNaN, 10}, kOld, {400, 300}, true, std::nullopt},
                    Mapping{kWide, {800, 0}, {0, 0}, true, std::nullopt},
                    Mapping{kWide, kOld, {kNaN, 300}, true, std::nullopt},
                    Mapping{kWide, kOld, {400, -kInfinity}, true, std::nullopt}));

struct Sample {
  int colorSpace;
  bool fullRange;
  std::array<int, 3> yuv, rgb;
};

class ColourConversionTest : public testing::TestWithParam<Sample> {};

// The shader's arithmetic on 8-bit samples.
TEST_P(ColourConversionTest, FollowsTheSignalledMatrixAndRange) {
  const Sample& s = GetParam();
  const auto c = RemoteVideoRenderer::colorConversion(s.colorSpace, s.fullRange);
  for (int row = 0; row < 3; ++row) {
    double value = 0;
    for (int column = 0; column < 3; ++column) {
      value += c.matrix[column * 3 + row] * (s.yuv[column] / 255.0 - c.offset[column]);
    }
    EXPECT_NEAR(std::clamp(value, 0.0, 1.0) * 255, s.rgb[row], 1.5) << "channel " << row;
  }
}

// The view's tests draw limited-range BT.601 and BT.709 through the real shader; full range and
// the other names of BT.601 are checked here.
INSTANTIATE_TEST_SUITE_P(
    Matrices, ColourConversionTest,
    testing::Values(Sample{AVCOL_SPC_SMPTE170M, false, {81, 90, 240}, {255, 0, 0}},
                    Sample{AVCOL_SPC_BT470BG, false, {145, 54, 34}, {0, 255, 0}},
                    Sample{AVCOL_SPC_UNSPECIFIED, true, {0, 128, 128}, {0, 0, 0}},
                    Sample{AVCOL_SPC_UNSPECIFIED, true, {255, 128, 128}, {255, 255, 255}},
                    Sample{AVCOL_SPC_BT470BG, true, {76, 85, 255}, {255, 0, 0}}));

}  // namespace
}  // namespace veltra
