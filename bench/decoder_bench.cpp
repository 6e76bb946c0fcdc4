// Decoding a realistic host stream (libx264, zero latency, 20 Mbit/s at 1920 × 1080 and
// 35 Mbit/s at 2560 × 1440, one-frame VBV, moving desktop content, 4 slices per picture) with
// VideoDecoder, against the ffmpeg command-line tool decoding the same stream as an Annex B file
// into the null muxer with the same threading (slice threads, one per core, low delay).
// VideoDecoder also reports the latency of each picture: decode() call to onFrame.
//
// The reference time is ffmpeg's own "-benchmark" rtime, which leaves out process start and
// probing; it still includes the demuxer and the null muxer, so a ratio a little above 1 is
// what equal decoding speed looks like.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "codec/H264NalUnits.h"
#include "codec/VideoDecoder.h"
#include "ratio_reporter.h"
#include "synthetic_desktop.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace {

using namespace veltra;
using Clock = std::chrono::steady_clock;

constexpr int kPictures = 120;   // two seconds at 60 fps
constexpr int kFileRepeats = 5;  // the reference decodes the stream this many times per run

struct Stream {
  VideoFormat format;
  std::vector<Bytes> frames;  // length-prefixed, parameter sets out
  Bytes annexB;               // the encoder's output as written, kFileRepeats times
  size_t frameBytes = 0;
  std::filesystem::path file;
};

void require(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(what);
}

Stream encode(int width, int height, int64_t bitRate) {
  av_log_set_level(AV_LOG_QUIET);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  require(codec, "libx264 missing");
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_NV12;
  context->time_base = {1, 60};
  context->framerate = {60, 1};
  context->gop_size = 120;
  context->max_b_frames = 0;
  context->bit_rate = context->rc_max_rate = bitRate;
  context->rc_buffer_size = static_cast<int>(bitRate / 60);
  context->thread_count = 4;  // zero latency makes these slices: 4 per picture
  av_opt_set(context->priv_data, "preset", "superfast", 0);
  av_opt_set(context->priv_data, "tune", "zerolatency", 0);
  require(avcodec_open2(context, codec, nullptr) >= 0, "libx264 did not open");

  Stream stream;
  stream.format.width = width;
  stream.format.height = height;
  AVFrame* picture = av_frame_alloc();
  picture->width = width;
  picture->height = height;
  picture->format = AV_PIX_FMT_NV12;
  require(av_frame_get_buffer(picture, 0) >= 0, "no picture");
  AVPacket* packet = av_packet_alloc();
  Bytes once;
  const auto collect = [&] {
    while (avcodec_receive_packet(context, packet) >= 0) {
      once.insert(once.end(), packet->data, packet->data + packet->size);
      std::vector<ByteView> units;
      for (ByteView unit : h264::splitAnnexB({packet->data, static_cast<size_t>(packet->size)})) {
        const uint8_t type = h264::nalType(unit);
        if (type == h264::kSequenceParameterSet && stream.format.sps.empty())
          stream.format.sps.assign(unit.begin(), unit.end());
        if (type == h264::kPictureParameterSet && stream.format.pps.empty())
          stream.format.pps.assign(unit.begin(), unit.end());
        if (type != h264::kSequenceParameterSet && type != h264::kPictureParameterSet)
          units.push_back(unit);
      }
      Bytes frame = h264::lengthPrefixed(units);
      stream.frameBytes += frame.size();
      stream.frames.push_back(std::move(frame));
      av_packet_unref(packet);
    }
  };
  const bench::SyntheticDesktop desktop(width, height);
  for (int index = 0; index < kPictures; ++index) {
    require(av_frame_make_writable(picture) >= 0, "picture busy");
    desktop.draw(index, picture->data[0], picture->linesize[0], picture->data[1],
                 picture->linesize[1]);
    picture->pts = index;
    require(avcodec_send_frame(context, picture) >= 0, "encode failed");
    collect();
  }
  avcodec_send_frame(context, nullptr);
  collect();
  av_packet_free(&packet);
  av_frame_free(&picture);
  avcodec_free_context(&context);
  require(stream.frames.size() == kPictures, "pictures went missing");

  for (int repeat = 0; repeat < kFileRepeats; ++repeat)
    stream.annexB.insert(stream.annexB.end(), once.begin(), once.end());
  stream.file = std::filesystem::temp_directory_path() /
                ("veltra-decoder-bench-" + std::to_string(width) + ".h264");
  std::ofstream(stream.file, std::ios::binary)
      .write(reinterpret_cast<const char*>(stream.annexB.data()),
             static_cast<std::streamsize>(stream.annexB.size()));
  return stream;
}

const Stream& stream(int height) {
  static const Stream hd = encode(1920, 1080, 20'000'000);
  static const Stream qhd = encode(2560, 1440, 35'000'000);
  return height == 1080 ? hd : qhd;
}

int threads() {
  return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
}

void videoDecoder(benchmark::State& state) {
  const Stream& input = stream(static_cast<int>(state.range(0)));
  VideoDecoder decoder;
  Clock::time_point submitted;
  std::vector<double> latencies;
  int64_t pictures = 0;
  decoder.onFrame = [&](std::shared_ptr<const RemoteFrame> frame) {
    latencies.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - submitted).count());
    benchmark::DoNotOptimize(frame->plane(0));
    ++pictures;
  };
  for (auto _ : state) {
    decoder.stop();
    decoder.configure(input.format);
    for (const Bytes& frame : input.frames) {
      submitted = Clock::now();
      decoder.decode(frame);
    }
  }
  if (pictures != static_cast<int64_t>(state.iterations()) * kPictures)
    state.SkipWithError("pictures went missing");
  std::sort(latencies.begin(), latencies.end());
  const auto percentile = [&](double p) {
    return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(p * (latencies.size() - 1))];
  };
  state.counters["pictures/s"] =
      benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
  state.counters["latency_p50_ms"] = percentile(0.5);
  state.counters["latency_p99_ms"] = percentile(0.99);
  state.counters["stream_Mbit/s"] =
      static_cast<double>(input.frameBytes) * 8 * 60 / kPictures / 1e6;
  state.counters["latency_max_ms"] = latencies.empty() ? 0.0 : latencies.back();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.frameBytes));
  state.SetLabel(decoder.decoderName() + ", " + std::to_string(threads()) + " slice threads");
}
BENCHMARK(videoDecoder)->Arg(1080)->Arg(1440)->Unit(benchmark::kMillisecond)->UseRealTime();

void ffmpegCommandLine(benchmark::State& state) {
  const Stream& input = stream(static_cast<int>(state.range(0)));
  const std::string command = "ffmpeg -nostdin -hide_banner -benchmark -threads " +
                              std::to_string(threads()) +
                              " -thread_type slice -flags low_delay -f h264 -i '" +
                              input.file.string() + "' -f null - 2>&1";
  for (auto _ : state) {
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    size_t read;
    while (pipe && (read = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, read);
    if (pipe) pclose(pipe);
    const size_t at = output.find("rtime=");
    int frames = 0;
    const size_t frameAt = output.rfind("frame=");
    if (frameAt != std::string::npos) std::sscanf(output.c_str() + frameAt, "frame=%d", &frames);
    if (at == std::string::npos || frames != kPictures * kFileRepeats) {
      state.SkipWithError(("ffmpeg did not decode the stream: " + output).c_str());
      break;
    }
    state.SetIterationTime(std::stod(output.substr(at + 6)) / kFileRepeats);
  }
  state.counters["pictures/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kPictures), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.frameBytes));
}
BENCHMARK(ffmpegCommandLine)->Arg(1080)->Arg(1440)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter(
      {{"videoDecoder/1080/real_time", "ffmpegCommandLine/1080/manual_time"},
       {"videoDecoder/1440/real_time", "ffmpegCommandLine/1440/manual_time"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ignored;
  for (const char* name : {"veltra-decoder-bench-1920.h264", "veltra-decoder-bench-2560.h264"})
    std::filesystem::remove(std::filesystem::temp_directory_path() / name, ignored);
}
