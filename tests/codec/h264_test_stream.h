#pragma once

// Real H.264 streams from libx264, cut as the host sends them: SPS and PPS in a VideoFormat, each
// access unit as 4-byte length-prefixed NAL units. One key frame, then P frames only.

#include <cstdint>
#include <functional>
#include <vector>

#include "protocol/VideoFormat.h"
#include "support/Bytes.h"

struct AVFrame;

namespace veltra::test {

// Fills picture `index` of a stream (any 8-bit YUV layout the frame has).
using Painter = std::function<void(AVFrame* picture, int index)>;

// Every luma sample `luma`, chroma neutral.
Painter flatPainter(uint8_t luma);
// A sliding gradient with a bright square and a textured bar moving across it: content that
// changes every picture but that a few Mbit/s encode well.
Painter movingPainter();

struct StreamOptions {
  int width = 320;
  int height = 180;
  int frames = 10;
  int pixelFormat = 0;  // an AVPixelFormat of the source; 0: yuv420p
  Painter paint = movingPainter();
};

struct EncodedStream {
  VideoFormat format;          // the parameter sets of the first key frame
  std::vector<Bytes> frames;   // one access unit per picture
  std::vector<Bytes> sources;  // each source picture's luma plane, width × height, packed
};

EncodedStream encodeH264(const StreamOptions& options);

// Luma PSNR in dB between two width × height planes; 99 when identical.
double lumaPsnr(const uint8_t* a, int strideA, const uint8_t* b, int strideB, int width,
                int height);

}  // namespace veltra::test
