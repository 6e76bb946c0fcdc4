#pragma once

#include <cstdint>

#include "codec/VideoPicture.h"

namespace veltra {

// One decoded picture on its way from the decoder through the client session to the view, which
// uploads its planes as textures and converts YUV to RGB on the GPU. Immutable, so it travels
// between threads as std::shared_ptr<const RemoteFrame> without locks; the pixels stay alive as
// long as any holder does, even after the decoder that made them is gone.
//
// The decoder only hands out 8-bit 4:2:0 pictures: planar Y, U, V (yuv420p, or yuvj420p when the
// stream signals full range) from software decoding, or Y plus interleaved UV (nv12) from a
// hardware decoder. Enum values are FFmpeg's, so that the view can match them without wrapping.
class RemoteFrame {
 public:
  explicit RemoteFrame(VideoPicture picture) : picture_(std::move(picture)) {}

  const VideoPicture& picture() const { return picture_; }

  int width() const { return picture_.width(); }
  int height() const { return picture_.height(); }
  // An AVPixelFormat value: AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P or AV_PIX_FMT_NV12.
  int pixelFormat() const { return picture_.pixelFormat(); }
  // An AVColorSpace value, the YUV to RGB matrix the stream signals; AVCOL_SPC_UNSPECIFIED
  // when it signals none (then BT.601, what the host's capture converts with, is the guess).
  int colorSpace() const;
  // An AVColorRange value as the stream signals it (unspecified means limited range).
  int colorRange() const;
  // Full-range samples (0…255) rather than video range (16…235 luma): from the range or from
  // the yuvj420p format, which FFmpeg uses to say the same thing.
  bool isFullRange() const;

  // 3 planes (Y, U, V) for the planar formats, 2 (Y, UV) for nv12; 0 for an empty picture.
  int planeCount() const;
  // Plane `index` < planeCount() and its bytes per row. Chroma planes are half the width and
  // height, rounded up.
  const uint8_t* plane(int index) const;
  int stride(int index) const;

 private:
  VideoPicture picture_;
};

}  // namespace veltra
