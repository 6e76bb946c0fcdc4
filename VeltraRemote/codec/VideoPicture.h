#pragma once

#include <memory>

#include "codec/ScreenPicture.h"

// FFmpeg stays out of our public headers: the picture is an opaque reference to its frame.
struct AVFrame;

namespace veltra {

// One immutable picture: a shared reference to an FFmpeg frame whose planes nobody writes once it
// is wrapped. Copies share the frame, so passing a picture between queues costs a reference
// count, never a copy of its pixels. Captured pictures are NV12; decoded ones 4:2:0 YUV.
class VideoPicture {
 public:
  VideoPicture() = default;

  // Takes ownership of `frame` (freed with av_frame_free when the last copy goes). The caller
  // must not write to it afterwards.
  static VideoPicture adopt(AVFrame* frame);
  // A new reference to the same buffers as `frame` (av_frame_ref); the caller keeps its own.
  static VideoPicture reference(const AVFrame* frame);
  // A frame over `picture`'s planes, without copying them: the frame holds a copy of the picture
  // until FFmpeg lets go of the frame's last reference. BT.601 in video range, which is what the
  // capture's conversion produces. Empty when FFmpeg has no memory for the frame.
  static VideoPicture wrap(const ScreenPicture& picture);

  const AVFrame* frame() const { return frame_.get(); }
  int width() const;
  int height() const;
  // An AVPixelFormat value.
  int pixelFormat() const;

  explicit operator bool() const { return frame_ != nullptr; }

 private:
  explicit VideoPicture(std::shared_ptr<const AVFrame> frame) : frame_(std::move(frame)) {}
  std::shared_ptr<const AVFrame> frame_;
};

}  // namespace veltra
