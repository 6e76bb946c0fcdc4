#include "h264_test_stream.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "codec/H264NalUnits.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/md5.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace veltra::test {
namespace {

void require(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(std::string("test stream: ") + what);
}

std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  size_t read;
  while ((read = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, read);
  pclose(pipe);
  return output;
}

}  // namespace

Bytes toAnnexB(ByteView accessUnit, ByteView prefix) {
  Bytes out(prefix.begin(), prefix.end());
  size_t offset = 0;
  while (offset + 4 <= accessUnit.size()) {
    const size_t size = size_t{accessUnit[offset]} << 24 | size_t{accessUnit[offset + 1]} << 16 |
                        size_t{accessUnit[offset + 2]} << 8 | accessUnit[offset + 3];
    offset += 4;
    require(size <= accessUnit.size() - offset, "NAL length overruns the access unit");
    const uint8_t startCode[] = {0, 0, 0, 1};
    out.insert(out.end(), startCode, startCode + 4);
    out.insert(out.end(), accessUnit.begin() + offset, accessUnit.begin() + offset + size);
    offset += size;
  }
  require(offset == accessUnit.size(), "trailing bytes after the last NAL unit");
  return out;
}

Bytes annexBParameterSets(const VideoFormat& format) {
  const ByteView sets[] = {format.sps, format.pps};
  return toAnnexB(h264::lengthPrefixed(sets));
}

EncodedStream encodeH264(const StreamOptions& options) {
  av_log_set_level(AV_LOG_QUIET);  // libx264 reports statistics on every close
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  require(codec != nullptr, "libx264 missing");
  AVCodecContext* context = avcodec_alloc_context3(codec);
  require(context != nullptr, "no encoder context");
  context->width = options.width;
  context->height = options.height;
  context->pix_fmt =
      options.pixelFormat ? static_cast<AVPixelFormat>(options.pixelFormat) : AV_PIX_FMT_YUV420P;
  context->time_base = {1, 60};
  context->framerate = {60, 1};
  context->gop_size = options.keyInterval;
  context->max_b_frames = 0;
  if (options.bitRate > 0) {
    context->bit_rate = options.bitRate;
    context->rc_max_rate = options.bitRate;
    context->rc_buffer_size = static_cast<int>(options.bitRate / 60);
  }
  av_opt_set(context->priv_data, "preset", options.preset.c_str(), 0);
  av_opt_set(context->priv_data, "tune", "zerolatency", 0);
  if (options.bitRate == 0) av_opt_set(context->priv_data, "crf", "16", 0);
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
      const ByteView data(packet->data, static_cast<size_t>(packet->size));
      stream.annexB.emplace_back(data.begin(), data.end());
      std::vector<ByteView> units;
      for (ByteView unit : h264::splitAnnexB(data)) {
        if (h264::nalType(unit) == h264::kSequenceParameterSet && stream.format.sps.empty())
          stream.format.sps.assign(unit.begin(), unit.end());
        if (h264::nalType(unit) == h264::kPictureParameterSet && stream.format.pps.empty())
          stream.format.pps.assign(unit.begin(), unit.end());
        if (h264::nalType(unit) != h264::kSequenceParameterSet &&
            h264::nalType(unit) != h264::kPictureParameterSet)
          units.push_back(unit);
      }
      stream.frames.push_back(h264::lengthPrefixed(units));
      av_packet_unref(packet);
    }
  };
  const Painter paint = options.paint ? options.paint : movingPainter();
  for (int index = 0; index < options.frames; ++index) {
    require(av_frame_make_writable(picture) >= 0, "picture not writable");
    paint(picture, index);
    Bytes luma(static_cast<size_t>(options.width) * options.height);
    for (int row = 0; row < options.height; ++row) {
      const uint8_t* line = picture->data[0] + static_cast<ptrdiff_t>(row) * picture->linesize[0];
      std::copy(line, line + options.width,
                luma.begin() + static_cast<ptrdiff_t>(row) * options.width);
    }
    stream.sources.push_back(std::move(luma));
    picture->pts = index;
    require(avcodec_send_frame(context, picture) >= 0, "libx264 refused a picture");
    collect();
  }
  avcodec_send_frame(context, nullptr);
  collect();
  av_packet_free(&packet);
  av_frame_free(&picture);
  avcodec_free_context(&context);
  require(stream.frames.size() == static_cast<size_t>(options.frames), "pictures went missing");
  require(!stream.format.sps.empty() && !stream.format.pps.empty(), "no parameter sets");
  return stream;
}

EncodedStream encodeH264(int width, int height, int frames) {
  StreamOptions options;
  options.width = width;
  options.height = height;
  options.frames = frames;
  return encodeH264(options);
}

namespace {

// Chroma planes of any planar or NV12 8-bit layout, filled with one value.
void fillChroma(AVFrame* picture, uint8_t value) {
  const AVPixFmtDescriptor* layout =
      av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture->format));
  const int chromaHeight = -((-picture->height) >> layout->log2_chroma_h);
  for (int plane = 1; plane < 3 && picture->data[plane]; ++plane) {
    for (int row = 0; row < chromaHeight; ++row)
      std::fill_n(picture->data[plane] + static_cast<ptrdiff_t>(row) * picture->linesize[plane],
                  picture->linesize[plane], value);
  }
}

}  // namespace

Painter flatPainter(uint8_t luma) {
  return [luma](AVFrame* picture, int) {
    for (int row = 0; row < picture->height; ++row)
      std::fill_n(picture->data[0] + static_cast<ptrdiff_t>(row) * picture->linesize[0],
                  picture->width, luma);
    fillChroma(picture, 128);
  };
}

Painter movingPainter() {
  return [](AVFrame* picture, int index) {
    const int width = picture->width, height = picture->height;
    const int square = std::max(8, height / 5);
    const int squareX = (index * 7) % std::max(1, width - square);
    const int squareY = height / 3;
    const int barY = (index * 3) % std::max(1, height - 16);
    // A diagonal gradient that slides a little every picture, from a table: no division per
    // sample, so 1440p pictures paint quickly even under the sanitizers.
    const int span = width + height + 2 * index;
    std::vector<uint8_t> gradient(static_cast<size_t>(span));
    for (int at = 0; at < span; ++at) gradient[at] = static_cast<uint8_t>(40 + 150 * at / span);
    for (int row = 0; row < height; ++row) {
      uint8_t* line = picture->data[0] + static_cast<ptrdiff_t>(row) * picture->linesize[0];
      if (row >= barY && row < barY + 16) {
        for (int col = 0; col < width; ++col) line[col] = ((col + index) / 4) % 2 ? 190 : 60;
        continue;
      }
      std::copy_n(gradient.begin() + row + 2 * index, width, line);
      if (row >= squareY && row < squareY + square) std::fill_n(line + squareX, square, 220);
    }
    fillChroma(picture, static_cast<uint8_t>(110 + index % 20));
  };
}

double lumaPsnr(const uint8_t* a, int strideA, const uint8_t* b, int strideB, int width,
                int height) {
  double squared = 0;
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width; ++col) {
      const double difference =
          static_cast<double>(a[static_cast<ptrdiff_t>(row) * strideA + col]) -
          b[static_cast<ptrdiff_t>(row) * strideB + col];
      squared += difference * difference;
    }
  }
  if (squared == 0) return 99;
  const double mean = squared / (static_cast<double>(width) * height);
  return 10 * std::log10(255.0 * 255.0 / mean);
}

std::string packedMd5(const AVFrame* picture) {
  AVMD5* md5 = av_md5_alloc();
  av_md5_init(md5);
  for (int plane = 0; plane < 3; ++plane) {
    const int width = plane ? (picture->width + 1) / 2 : picture->width;
    const int height = plane ? (picture->height + 1) / 2 : picture->height;
    for (int row = 0; row < height; ++row)
      av_md5_update(md5,
                    picture->data[plane] + static_cast<ptrdiff_t>(row) * picture->linesize[plane],
                    static_cast<size_t>(width));
  }
  uint8_t digest[16];
  av_md5_final(md5, digest);
  av_free(md5);
  char text[33];
  for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

CommandLineDecode decodeWithCommandLine(const Bytes& annexB) {
  static std::atomic<int> counter{0};
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("veltra-decoder-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".h264");
  {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(annexB.data()),
               static_cast<std::streamsize>(annexB.size()));
  }
  CommandLineDecode result;
  const std::string quoted = "'" + path.string() + "'";
  // Errors go to the same pipe (2>&1) and are told apart by not looking like framemd5 lines.
  const std::string output =
      run("ffmpeg -nostdin -v error -f h264 -i " + quoted + " -f framemd5 - 2>&1");
  std::filesystem::remove(path);

  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (std::sscanf(line.c_str(), "#dimensions 0: %dx%d", &result.width, &result.height) == 2) {
      result.ran = true;
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    const size_t comma = line.rfind(',');
    if (comma != std::string::npos && line.size() - comma == 34 && line[0] == '0')
      result.md5s.push_back(line.substr(comma + 2));
    else
      result.errors += line + "\n";
  }
  return result;
}

}  // namespace veltra::test
