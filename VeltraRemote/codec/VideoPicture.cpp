#include "codec/VideoPicture.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace veltra {
namespace {

void freeFrame(const AVFrame* frame) {
  AVFrame* owned = const_cast<AVFrame*>(frame);
  av_frame_free(&owned);
}

}  // namespace

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
