#include "view/view_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cmath>
#include <cstdlib>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace veltra::test {
namespace {

struct Yuv {
  uint8_t y, u, v;
};

Yuv toYuv(QColor colour, int colorSpace) {
  double kr = 0.299, kb = 0.114;
  if (colorSpace == AVCOL_SPC_BT709) {
    kr = 0.2126;
    kb = 0.0722;
  }
  const double r = colour.red(), g = colour.green(), b = colour.blue();
  const double luma = kr * r + (1 - kr - kb) * g + kb * b;
  auto level = [](double value) {
    return static_cast<uint8_t>(std::clamp(std::lround(value), 16L, 240L));
  };
  return {level(16 + luma * 219 / 255), level(128 + (b - luma) / (2 * (1 - kb)) * 224 / 255),
          level(128 + (r - luma) / (2 * (1 - kr)) * 224 / 255)};
}

}  // namespace

std::shared_ptr<const RemoteFrame> barsPicture(int width, int height,
                                               const std::vector<QColor>& colours, int pixelFormat,
                                               int colorSpace) {
  AVFrame* frame = av_frame_alloc();
  frame->format = pixelFormat;
  frame->width = width;
  frame->height = height;
  frame->colorspace = static_cast<AVColorSpace>(colorSpace);
  frame->color_range = AVCOL_RANGE_MPEG;
  // 128-byte alignment pads rows of the odd widths the tests use.
  if (av_frame_get_buffer(frame, 128) < 0) std::abort();
  const int bars = static_cast<int>(colours.size());
  auto at = [&](int x) {
    return toYuv(colours[static_cast<size_t>(x * bars / width)], colorSpace);
  };
  for (int row = 0; row < height; ++row) {
    for (int x = 0; x < width; ++x) frame->data[0][row * frame->linesize[0] + x] = at(x).y;
  }
  for (int row = 0; row < (height + 1) / 2; ++row) {
    for (int x = 0; x < (width + 1) / 2; ++x) {
      const Yuv sample = at(x * 2);
      if (pixelFormat == AV_PIX_FMT_NV12) {
        frame->data[1][row * frame->linesize[1] + 2 * x] = sample.u;
        frame->data[1][row * frame->linesize[1] + 2 * x + 1] = sample.v;
      } else {
        frame->data[1][row * frame->linesize[1] + x] = sample.u;
        frame->data[2][row * frame->linesize[2] + x] = sample.v;
      }
    }
  }
  return std::make_shared<const RemoteFrame>(VideoPicture::adopt(frame));
}

bool processUntil(const std::function<bool()>& condition, int milliseconds) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!condition()) {
    if (elapsed.elapsed() > milliseconds) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

void processFor(int milliseconds) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (elapsed.elapsed() < milliseconds)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool near(QColor actual, QColor expected, int levels) {
  return std::abs(actual.red() - expected.red()) <= levels &&
         std::abs(actual.green() - expected.green()) <= levels &&
         std::abs(actual.blue() - expected.blue()) <= levels;
}

}  // namespace veltra::test
