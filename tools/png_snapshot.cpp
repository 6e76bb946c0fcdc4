#include "png_snapshot.h"

#include <libyuv/convert_argb.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "codec/FFmpegSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

// The picture as RGB24 rows, with the matrix the host's capture used (BT.601).
bool toRgb(const RemoteFrame& frame, AVFrame* rgb) {
  const int width = frame.width();
  const int height = frame.height();
  switch (frame.pixelFormat()) {
    case AV_PIX_FMT_NV12:
      return libyuv::NV12ToRAW(frame.plane(0), frame.stride(0), frame.plane(1), frame.stride(1),
                               rgb->data[0], rgb->linesize[0], width, height) == 0;
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P: {
      auto convert = frame.isFullRange() ? libyuv::J420ToRAW : libyuv::I420ToRAW;
      return convert(frame.plane(0), frame.stride(0), frame.plane(1), frame.stride(1),
                     frame.plane(2), frame.stride(2), rgb->data[0], rgb->linesize[0], width,
                     height) == 0;
    }
    default:
      return false;
  }
}

}  // namespace

bool writePngSnapshot(const RemoteFrame& frame, const std::string& path) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!codec || frame.width() <= 0 || frame.height() <= 0) return false;
  ffmpeg::ContextPtr context(avcodec_alloc_context3(codec));
  ffmpeg::FramePtr rgb(av_frame_alloc());
  ffmpeg::PacketPtr packet(av_packet_alloc());
  if (!context || !rgb || !packet) return false;
  context->width = frame.width();
  context->height = frame.height();
  context->pix_fmt = AV_PIX_FMT_RGB24;
  context->time_base = AVRational{1, 1};
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return false;

  rgb->format = AV_PIX_FMT_RGB24;
  rgb->width = frame.width();
  rgb->height = frame.height();
  if (av_frame_get_buffer(rgb.get(), 0) < 0 || !toRgb(frame, rgb.get())) return false;
  if (avcodec_send_frame(context.get(), rgb.get()) < 0 ||
      avcodec_receive_packet(context.get(), packet.get()) < 0) {
    return false;
  }

  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), file) ==
                       static_cast<size_t>(packet->size);
  return std::fclose(file) == 0 && written;
}

}  // namespace veltra
