#include "view/view_test_support.h"

#include <algorithm>
#include <array>
#include <cmath>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace veltra::test {

std::shared_ptr<const RemoteFrame> barsPicture(int width, int height,
                                               const std::vector<QColor>& colours, int pixelFormat,
                                               int colorSpace, bool fullRange) {
  const bool bt709 = colorSpace == AVCOL_SPC_BT709;
  const double kr = bt709 ? 0.2126 : 0.299, kb = bt709 ? 0.0722 : 0.114;
  const double lumaScale = fullRange ? 1 : 219.0 / 255, chromaScale = fullRange ? 1 : 224.0 / 255;
  // Y, U and V of the bar that column x lies in.
  auto yuv = [&](int x) {
    const QColor c = colours[size_t(x * int(colours.size()) / width)];
    const double luma = kr * c.red() + (1 - kr - kb) * c.green() + kb * c.blue();
    auto level = [&](double v) {
      return uint8_t(std::clamp(std::lround(v), fullRange ? 0L : 16L, fullRange ? 255L : 240L));
    };
    return std::array{level((fullRange ? 0 : 16) + luma * lumaScale),
                      level(128 + (c.blue() - luma) / (2 * (1 - kb)) * chromaScale),
                      level(128 + (c.red() - luma) / (2 * (1 - kr)) * chromaScale)};
  };
  AVFrame* frame = av_frame_alloc();
  frame->format = pixelFormat;
  frame->width = width;
  frame->height = height;
  frame->colorspace = AVColorSpace(colorSpace);
  frame->color_range = fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  // 128-byte alignment pads the rows of the odd widths the tests use.
  if (av_frame_get_buffer(frame, 128) < 0) std::abort();
  const bool nv12 = pixelFormat == AV_PIX_FMT_NV12;
  for (int row = 0; row < height; ++row) {
    for (int x = 0; x < width; ++x) frame->data[0][row * frame->linesize[0] + x] = yuv(x)[0];
  }
  for (int row = 0; row < (height + 1) / 2; ++row) {
    for (int x = 0; x < (width + 1) / 2; ++x) {
      const auto sample = yuv(x * 2);
      uint8_t* u = frame->data[1] + row * frame->linesize[1] + (nv12 ? 2 * x : x);
      uint8_t* v = nv12 ? u + 1 : frame->data[2] + row * frame->linesize[2] + x;
      *u = sample[1];
      *v = sample[2];
    }
  }
  return std::make_shared<const RemoteFrame>(VideoPicture::adopt(frame));
}

}  // namespace veltra::test
