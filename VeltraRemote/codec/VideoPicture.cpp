#include "codec/VideoPicture.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

void freeFrame(const AVFrame* frame) {
  AVFrame* owned = const_cast<AVFrame*>(frame);
  av_frame_free(&owned);
}

// FFmpeg calls this when the last reference to a wrapped picture's buffer goes; any thread.
void releasePicture(void* opaque, uint8_t*) {
  delete static_cast<ScreenPicture*>(opaque);
}

AVPixelFormat avFormat(PixelFormat format) {
  switch (format) {
    case PixelFormat::nv12:
      return AV_PIX_FMT_NV12;
  }
  return AV_PIX_FMT_NONE;
}

}  // namespace

VideoPicture VideoPicture::wrap(const ScreenPicture& picture) {
  if (!picture) return {};
  AVFrame* frame = av_frame_alloc();
  if (!frame) return {};
  // A buffer reference per plane, each owning a copy of the picture (which keeps the planes
  // alive), so that FFmpeg finds every plane inside a buffer of its own.
  const int rows[] = {picture.height(), (picture.height() + 1) / 2};
  for (int index = 0; index < 2; ++index) {
    const ScreenPicture::Plane& plane = picture.plane(index);
    auto* owner = new ScreenPicture(picture);
    frame->buf[index] = av_buffer_create(
        plane.data, static_cast<size_t>(plane.stride) * rows[index], releasePicture, owner, 0);
    if (!frame->buf[index]) {
      delete owner;
      av_frame_free(&frame);  // drops the references made so far
      return {};
    }
  }
  frame->format = avFormat(picture.format());
  frame->width = picture.width();
  frame->height = picture.height();
  for (int index = 0; index < 2; ++index) {
    frame->data[index] = picture.plane(index).data;
    frame->linesize[index] = picture.plane(index).stride;
  }
  frame->colorspace = AVCOL_SPC_SMPTE170M;
  frame->color_range = AVCOL_RANGE_MPEG;
  return adopt(frame);
}

VideoPicture VideoPicture::adopt(AVFrame* frame) {
  if (!frame) return {};
  return VideoPicture(std::shared_ptr<const AVFrame>(frame, freeFrame));
}

VideoPicture VideoPicture::reference(const AVFrame* frame) {
  if (!frame) return {};
  AVFrame* copy = av_frame_alloc();
  if (!copy) return {};
  if (av_frame_ref(copy, frame) < 0) {
    av_frame_free(&copy);
    return {};
  }
  return adopt(copy);
}

int VideoPicture::width() const {
  return frame_ ? frame_->width : 0;
}
int VideoPicture::height() const {
  return frame_ ? frame_->height : 0;
}
int VideoPicture::pixelFormat() const {
  return frame_ ? frame_->format : -1;
}

}  // namespace veltra
