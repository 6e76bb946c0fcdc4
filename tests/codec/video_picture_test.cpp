#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codec/PicturePool.h"
#include "codec/VideoPicture.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

// The encoder's frame is the pool's buffer itself, and the buffer returns to the pool only once
// FFmpeg has let go of the frame.
TEST(ScreenPictureTest, AWrappedPictureSharesItsPlanesAndHoldsItsBufferUntilTheFrameGoes) {
  const auto pool = PicturePool::create(100, 50, 1);
  ScreenPicture picture = pool->acquire();
  ASSERT_TRUE(picture);
  EXPECT_FALSE(pool->acquire());
  const ScreenPicture::Plane luma = picture.plane(0), chroma = picture.plane(1);
  EXPECT_EQ(luma.stride % 64, 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(luma.data) % 64, 0u);
  EXPECT_GE(chroma.data, luma.data + luma.stride * 50);

  VideoPicture frame = VideoPicture::wrap(picture);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame.frame()->data[0], luma.data);
  EXPECT_EQ(frame.frame()->data[1], chroma.data);
  EXPECT_EQ(frame.frame()->linesize[1], chroma.stride);
  EXPECT_NE(av_frame_get_plane_buffer(const_cast<AVFrame*>(frame.frame()), 1), nullptr);
  EXPECT_EQ(frame.frame()->colorspace, AVCOL_SPC_SMPTE170M);
  EXPECT_EQ(frame.frame()->color_range, AVCOL_RANGE_MPEG);

  picture = {};
  EXPECT_FALSE(pool->acquire());
  frame = {};
  EXPECT_EQ(pool->acquire().plane(0).data, luma.data);
}

TEST(ScreenPictureTest, DamageIsClippedToThePictureAndManyRectanglesBecomeTheirBounds) {
  ScreenPicture picture(100, 50, PixelFormat::nv12, {}, nullptr);
  const std::vector<PictureRect> some = {{-10, -10, 20, 20}, {90, 40, 20, 20}, {5, 5, 0, 3}};
  picture.setDamage(some);
  EXPECT_EQ(picture.damage(), (std::vector<PictureRect>{{0, 0, 10, 10}, {90, 40, 10, 10}}));

  std::vector<PictureRect> many;
  for (int i = 0; i <= static_cast<int>(ScreenPicture::kMaximumDamage); ++i) {
    many.push_back({10 + i, 20, 1, 1 + i});
  }
  picture.setDamage(many);
  EXPECT_EQ(picture.damage(), (std::vector<PictureRect>{{10, 20, 17, 17}}));
}

}  // namespace
}  // namespace veltra
