#include <gtest/gtest.h>

#include "codec/VideoPicture.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

AVFrame* nv12(int width, int height) {
  AVFrame* frame = av_frame_alloc();
  frame->width = width;
  frame->height = height;
  frame->format = AV_PIX_FMT_NV12;
  if (av_frame_get_buffer(frame, 0) < 0) av_frame_free(&frame);
  return frame;
}

TEST(VideoPictureTest, CopiesShareOneFrameAndReferencesShareItsBuffers) {
  AVFrame* source = nv12(64, 32);
  ASSERT_NE(source, nullptr);
  source->data[0][0] = 200;
  const VideoPicture referenced = VideoPicture::reference(source);
  ASSERT_TRUE(referenced);
  EXPECT_NE(referenced.frame(), source);
  EXPECT_EQ(referenced.frame()->data[0], source->data[0]);  // same pixels, no copy
  av_frame_free(&source);
  EXPECT_EQ(referenced.frame()->data[0][0], 200);  // still alive through our reference

  const VideoPicture adopted = VideoPicture::adopt(nv12(1920, 1080));
  const VideoPicture copy = adopted;
  EXPECT_EQ(copy.frame(), adopted.frame());
  EXPECT_EQ(copy.width(), 1920);
  EXPECT_EQ(copy.height(), 1080);
  EXPECT_EQ(copy.pixelFormat(), AV_PIX_FMT_NV12);
  EXPECT_FALSE(VideoPicture());
  EXPECT_EQ(VideoPicture().width(), 0);
}

}  // namespace
}  // namespace veltra
