#pragma once

// Real H.264 streams for decoder tests, made with libx264 through libavcodec and cut the way the
// host sends them (with the encoder's own h264:: helpers): SPS and PPS in a VideoFormat, every
// access unit as 4-byte length-prefixed NAL units without them. Also the way back to Annex B,
// for handing a stream to the ffmpeg command line.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/VideoFormat.h"
#include "support/Bytes.h"

struct AVFrame;

namespace veltra::test {

// Fills picture `index` of a stream (any 8-bit YUV layout the frame has).
using Painter = std::function<void(AVFrame* picture, int index)>;

struct StreamOptions {
  int width = 320;
  int height = 180;
  int frames = 10;
  // Average bit rate with a one-frame VBV, as a streaming host runs; 0 for constant quality.
  int64_t bitRate = 0;
  int keyInterval = 250;
  // AVPixelFormat of the source: yuv420p, or another one to make a stream the view cannot draw.
  int pixelFormat = 0;
  std::string preset = "superfast";
  Painter paint;
};

struct EncodedStream {
  VideoFormat format;          // the parameter sets of the first key frame
  std::vector<Bytes> frames;   // one length-prefixed access unit per picture, SPS and PPS out
  std::vector<Bytes> annexB;   // the same access units as the encoder wrote them
  std::vector<Bytes> sources;  // each source picture's luma plane, width × height, packed
};

EncodedStream encodeH264(const StreamOptions& options);
// The common case: moving content of that size, constant quality.
EncodedStream encodeH264(int width, int height, int frames);

// A flat picture: every luma sample `luma`, chroma neutral.
Painter flatPainter(uint8_t luma);
// Smooth gradients with a bright square and a textured bar moving across them: content that
// changes every picture but that a few Mbit/s encode well.
Painter movingPainter();

// A length-prefixed access unit as Annex B (4-byte start codes), behind `prefix` (parameter sets).
Bytes toAnnexB(ByteView accessUnit, ByteView prefix = {});
// SPS and PPS as Annex B, for the front of key frames.
Bytes annexBParameterSets(const VideoFormat& format);

// Luma PSNR in dB between two width × height planes; 99 when identical.
double lumaPsnr(const uint8_t* a, int strideA, const uint8_t* b, int strideB, int width,
                int height);

// What the ffmpeg command-line tool makes of an Annex B file: the size it decodes at and the
// md5 of each decoded picture (framemd5: its planes, rows packed), in output order.
struct CommandLineDecode {
  bool ran = false;
  std::string errors;  // everything ffmpeg printed at level "error"
  int width = 0;
  int height = 0;
  std::vector<std::string> md5s;
};
CommandLineDecode decodeWithCommandLine(const Bytes& annexB);

// framemd5's digest of a decoded yuv420p picture: Y, U and V planes, rows packed.
std::string packedMd5(const AVFrame* picture);

}  // namespace veltra::test
