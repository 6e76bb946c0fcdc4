// The fit that both the drawing and the pointer mapping use.

#include <gtest/gtest.h>

#include <cmath>

#include "view/RemoteViewport.h"

namespace veltra {
namespace {

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

// 1920×1080 in 800×600 covers y 75…525 (inside: the mapper's tests); 1080×1920 in 1920×1080 x 656…
const QSizeF kWide(1920, 1080), kOld(800, 600);
INSTANTIATE_TEST_SUITE_P(
    Fits, RemoteViewportTest,
    testing::Values(Mapping{kWide, kOld, {400, 50}, true, QPointF(0.5, 0)},
                    Mapping{kWide, kOld, {400, 525}, false, std::nullopt},  // the row below
                    Mapping{{1080, 1920}, kWide, {656.25, 0}, false, QPointF(0, 0)},
                    Mapping{{320, 180}, {1280, 1024}, {640, 152}, false, QPointF(0.5, 0)},
                    Mapping{{0, 1080}, kOld, {400, 300}, true, std::nullopt},
                    Mapping{{NAN, 10}, kOld, {400, 300}, true, std::nullopt},
                    Mapping{kWide, {800, 0}, {0, 0}, true, std::nullopt},
                    Mapping{kWide, kOld, {NAN, 300}, true, std::nullopt},
                    Mapping{kWide, kOld, {400, -INFINITY}, true, std::nullopt}));

}  // namespace
}  // namespace veltra
