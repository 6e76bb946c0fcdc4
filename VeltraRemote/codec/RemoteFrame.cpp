#include "codec/RemoteFrame.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {

int RemoteFrame::colorSpace() const {
  const AVFrame* frame = picture_.frame();
  return frame ? frame->colorspace : AVCOL_SPC_UNSPECIFIED;
}

int RemoteFrame::colorRange() const {
  const AVFrame* frame = picture_.frame();
  return frame ? frame->color_range : AVCOL_RANGE_UNSPECIFIED;
}

bool RemoteFrame::isFullRange() const {
  return colorRange() == AVCOL_RANGE_JPEG || pixelFormat() == AV_PIX_FMT_YUVJ420P;
}

int RemoteFrame::planeCount() const {
  switch (pixelFormat()) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
      return 3;
    case AV_PIX_FMT_NV12:
      return 2;
    default:
      return 0;
  }
}

const uint8_t* RemoteFrame::plane(int index) const {
  if (index < 0 || index >= planeCount()) return nullptr;
  return picture_.frame()->data[index];
}

int RemoteFrame::stride(int index) const {
  if (index < 0 || index >= planeCount()) return 0;
  return picture_.frame()->linesize[index];
}

}  // namespace veltra
