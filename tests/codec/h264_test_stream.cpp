#include "h264_test_stream.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "codec/H264NalUnits.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace veltra::test {
namespace {

void require(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(std::string("test stream: ") + what);
}

uint8_t* row(AVFrame* picture, int plane, int index) {
  return picture->data[plane] + static_cast<ptrdiff_t>(index) * picture->linesize[plane];
}

// The chroma planes of any planar or NV12 8-bit layout.
void fillChroma(AVFrame* picture, uint8_t value) {
  const auto* layout = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture->format));
  const int rows = -((-picture->height) >> layout->log2_chroma_h);
  for (int plane = 1; plane < 3 && picture->data[plane]; ++plane)
    for (int index = 0; index < rows; ++index)
      std::fill_n(row(picture, plane, index), picture->linesize[plane], value);
}

}  // namespace

EncodedStream encodeH264(const StreamOptions& options) {
  av_log_set_level(AV_LOG_QUIET);  // libx264 reports statistics on every close
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  require(codec != nullptr, "libx264 missing");
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->width = options.width;
  context->height = options.height;
  context->pix_fmt =
      options.pixelFormat ? static_cast<AVPixelFormat>(options.pixelFormat) : AV_PIX_FMT_YUV420P;
  context->time_base = {1, 60};
  context->gop_size = 250;
  context->max_b_frames = 0;
  av_opt_set(context->priv_data, "preset", "superfast", 0);
  av_opt_set(context->priv_data, "tune", "zerolatency", 0);
  av_opt_set(context->priv_data, "crf", "16", 0);
  require(avcodec_open2(context, codec, nullptr) >= 0, "libx264 did not open");

  EncodedStream stream;
  stream.format.width = options.width;
  stream.format.height = options.height;
  AVFrame* picture = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  picture->width = options.width;
  picture->height = options.height;
  picture->format = context->pix_fmt;
  require(av_frame_get_buffer(picture, 0) >= 0, "no picture buffer");
  const auto collect = [&] {
    while (avcodec_receive_packet(context, packet) >= 0) {
      std::vector<ByteView> units;
      for (ByteView unit : h264::splitAnnexB({packet->data, static_cast<size_t>(packet->size)})) {
        const uint8_t type = h264::nalType(unit);
        Bytes& set = type == h264::kSequenceParameterSet ? stream.format.sps : stream.format.pps;
        if (type != h264::kSequenceParameterSet && type != h264::kPictureParameterSet)
          units.push_back(unit);
        else if (set.empty())
          set.assign(unit.begin(), unit.end());
      }
      stream.frames.push_back(h264::lengthPrefixed(units));
      av_packet_unref(packet);
    }
  };
  for (int index = 0; index < options.frames; ++index) {
    require(av_frame_make_writable(picture) >= 0, "picture not writable");
    options.paint(picture, index);
    Bytes& luma = stream.sources.emplace_back(static_cast<size_t>(options.width) * options.height);
    for (int line = 0; line < options.height; ++line)
      std::copy_n(row(picture, 0, line), options.width, &luma[size_t(line) * options.width]);
    picture->pts = index;
    require(avcodec_send_frame(context, picture) >= 0, "libx264 refused a picture");
    collect();
  }
  avcodec_send_frame(context, nullptr);
  collect();
  av_packet_free(&packet);
  av_frame_free(&picture);
  avcodec_free_context(&context);
  require(stream.frames.size() == size_t(options.frames), "pictures went missing");
  require(!stream.format.sps.empty() && !stream.format.pps.empty(), "no parameter sets");
  return stream;
}

Painter flatPainter(uint8_t luma) {
  return [luma](AVFrame* picture, int) {
    for (int line = 0; line < picture->height; ++line)
      std::fill_n(row(picture, 0, line), picture->width, luma);
    fillChroma(picture, 128);
  };
}

Painter movingPainter() {
  return [](AVFrame* picture, int index) {
    const int width = picture->width, height = picture->height;
    const int square = std::max(8, height / 5), squareX = index * 7 % std::max(1, width - square);
    const int barY = index * 3 % std::max(1, height - 16);
    // From a table, without a division per sample: 1440p paints quickly under the sanitizers.
    const int span = width + height + 2 * index;
    std::vector<uint8_t> gradient(static_cast<size_t>(span));
    for (int at = 0; at < span; ++at) gradient[at] = static_cast<uint8_t>(40 + 150 * at / span);
    for (int line = 0; line < height; ++line) {
      uint8_t* samples = row(picture, 0, line);
      std::copy_n(gradient.begin() + line + 2 * index, width, samples);
      if (line >= height / 3 && line < height / 3 + square)
        std::fill_n(samples + squareX, square, 220);
      for (int col = 0; line >= barY && line < barY + 16 && col < width; ++col)
        samples[col] = (col + index) / 4 % 2 ? 190 : 60;
    }
    fillChroma(picture, static_cast<uint8_t>(110 + index % 20));
  };
}

double lumaPsnr(const uint8_t* a, int strideA, const uint8_t* b, int strideB, int width,
                int height) {
  double squared = 0;
  for (int line = 0; line < height; ++line) {
    for (int col = 0; col < width; ++col) {
      const double difference =
          double(a[ptrdiff_t(line) * strideA + col]) - b[ptrdiff_t(line) * strideB + col];
      squared += difference * difference;
    }
  }
  return squared == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * width * height / squared);
}

}  // namespace veltra::test
