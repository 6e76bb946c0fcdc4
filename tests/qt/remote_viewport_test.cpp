// The fit that both the drawing and the pointer mapping use, and the colour conversion the
// shader is given.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "view/RemoteVideoRenderer.h"
#include "view/RemoteViewport.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

TEST(RemoteViewportTest, AWidePictureInAnOldScreenLeavesBarsAboveAndBelowAndMapsClicks) {
  const RemoteViewport viewport = RemoteViewport::fitted(QSizeF(1920, 1080), QSizeF(800, 600));
  EXPECT_EQ(viewport.rect, QRectF(0, 75, 800, 450));
  EXPECT_EQ(viewport.normalized(QPointF(400, 300), false), QPointF(0.5, 0.5));
  EXPECT_EQ(viewport.normalized(QPointF(0, 75), false), QPointF(0, 0));
  // On the bar above the picture: nothing, unless pinned to the edge.
  EXPECT_EQ(viewport.normalized(QPointF(400, 50), false), std::nullopt);
  EXPECT_EQ(viewport.normalized(QPointF(400, 50), true), QPointF(0.5, 0));
  EXPECT_EQ(viewport.normalized(QPointF(900, 600), true), QPointF(1, 1));
  // The first row below the picture is already outside.
  EXPECT_EQ(viewport.normalized(QPointF(400, 525), false), std::nullopt);
}

TEST(RemoteViewportTest, RendererFitsKeepTheAspectRatioWithEqualBands) {
  const QRectF wide = RemoteVideoRenderer::fittedRect(QSizeF(1920, 1080), QSizeF(1000, 1000));
  EXPECT_DOUBLE_EQ(wide.width(), 1000);
  EXPECT_DOUBLE_EQ(wide.height(), 562.5);
  EXPECT_DOUBLE_EQ(wide.top(), 218.75);
  EXPECT_DOUBLE_EQ(1000 - wide.bottom(), 218.75);

  const QRectF tall = RemoteVideoRenderer::fittedRect(QSizeF(1080, 1920), QSizeF(1920, 1080));
  EXPECT_DOUBLE_EQ(tall.width(), 607.5);
  EXPECT_DOUBLE_EQ(tall.height(), 1080);
  EXPECT_DOUBLE_EQ(tall.left(), 656.25);
  EXPECT_DOUBLE_EQ(1920 - tall.right(), 656.25);

  // Scaling up works the same way.
  EXPECT_EQ(RemoteVideoRenderer::fittedRect(QSizeF(320, 180), QSizeF(1280, 1024)),
            QRectF(0, 152, 1280, 720));
}

TEST(RemoteViewportTest, ZeroSizesAndNonFinitePointsMapNothing) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  for (QSizeF picture : {QSizeF(0, 1080), QSizeF(1920, 0), QSizeF(-5, 5), QSizeF(nan, 10)}) {
    EXPECT_TRUE(RemoteVideoRenderer::fittedRect(picture, QSizeF(800, 600)).isNull());
  }
  for (QSizeF bounds : {QSizeF(0, 600), QSizeF(800, 0), QSizeF(infinity, nan)}) {
    const RemoteViewport viewport = RemoteViewport::fitted(QSizeF(1920, 1080), bounds);
    EXPECT_TRUE(viewport.rect.isNull());
    EXPECT_EQ(viewport.normalized(QPointF(0, 0), true), std::nullopt);
  }
  const RemoteViewport none;
  EXPECT_EQ(none.normalized(QPointF(0, 0), true), std::nullopt);

  const RemoteViewport viewport = RemoteViewport::fitted(QSizeF(1920, 1080), QSizeF(800, 600));
  for (QPointF point : {QPointF(nan, 300), QPointF(400, infinity), QPointF(-infinity, 0)}) {
    EXPECT_EQ(viewport.normalized(point, true), std::nullopt);
    EXPECT_EQ(viewport.normalized(point, false), std::nullopt);
  }
}

// rgb of 8-bit YUV samples through the shader's arithmetic.
std::array<double, 3> convert(int colorSpace, bool fullRange, int y, int u, int v) {
  const auto c = RemoteVideoRenderer::colorConversion(colorSpace, fullRange);
  const double yuv[3] = {y / 255.0 - c.offset[0], u / 255.0 - c.offset[1], v / 255.0 - c.offset[2]};
  std::array<double, 3> rgb{};
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) rgb[row] += c.matrix[column * 3 + row] * yuv[column];
    rgb[row] = std::clamp(rgb[row], 0.0, 1.0) * 255;
  }
  return rgb;
}

void expectRgb(const std::array<double, 3>& rgb, double red, double green, double blue) {
  EXPECT_NEAR(rgb[0], red, 1.5);
  EXPECT_NEAR(rgb[1], green, 1.5);
  EXPECT_NEAR(rgb[2], blue, 1.5);
}

TEST(RemoteViewportTest, ColourConversionFollowsTheSignalledMatrixAndRange) {
  // Limited-range BT.601, what the host's capture produces: black, white and libyuv's red,
  // green and blue (its ARGBToNV12 coefficients).
  for (int unsignalled : {AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_SMPTE170M, AVCOL_SPC_BT470BG}) {
    SCOPED_TRACE(unsignalled);
    expectRgb(convert(unsignalled, false, 16, 128, 128), 0, 0, 0);
    expectRgb(convert(unsignalled, false, 235, 128, 128), 255, 255, 255);
    expectRgb(convert(unsignalled, false, 81, 90, 240), 255, 0, 0);
    expectRgb(convert(unsignalled, false, 145, 54, 34), 0, 255, 0);
    expectRgb(convert(unsignalled, false, 41, 240, 110), 0, 0, 255);
  }
  // BT.709 red differs from BT.601 red: a shader that ignored the matrix would get it wrong.
  expectRgb(convert(AVCOL_SPC_BT709, false, 63, 102, 240), 255, 0, 0);
  EXPECT_GT(std::abs(convert(AVCOL_SPC_BT709, false, 81, 90, 240)[1] -
                     convert(AVCOL_SPC_SMPTE170M, false, 81, 90, 240)[1]),
            10);
  // Full range: 0 and 255 are black and white, and full-range red.
  expectRgb(convert(AVCOL_SPC_UNSPECIFIED, true, 0, 128, 128), 0, 0, 0);
  expectRgb(convert(AVCOL_SPC_UNSPECIFIED, true, 255, 128, 128), 255, 255, 255);
  expectRgb(convert(AVCOL_SPC_BT470BG, true, 76, 85, 255), 255, 0, 0);
}

}  // namespace
}  // namespace veltra
