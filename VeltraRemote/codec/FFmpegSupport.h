#pragma once

// Internal to the codec layer: owning pointers for FFmpeg's objects and the one switch that
// keeps FFmpeg quiet. Included by .cpp files only, so FFmpeg stays out of public headers.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

namespace veltra::ffmpeg {

struct ContextFree {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct BufferUnref {
  void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, ContextFree>;
using BufferPtr = std::unique_ptr<AVBufferRef, BufferUnref>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// FFmpeg logs to stderr by default; the status line is the product's only report. The level is
// process-wide, which suits every FFmpeg user in our programs. Any thread; idempotent.
void silenceLogging();

}  // namespace veltra::ffmpeg
