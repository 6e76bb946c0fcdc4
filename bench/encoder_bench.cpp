// VideoEncoder on moving synthetic pictures: sustained pictures per second with back-to-back
// pictures (every frame acknowledged at once, so flow control never throttles) and per-picture
// latency from encode() to the videoFrame reaching the sender, median and 99th percentile; plus
// the luma PSNR of what a client would decode. The reference is the ffmpeg command line encoding
// the same raw pictures with the same libx264 settings (preset, tune, bit rate, VBV, GOP, slice
// threads): the ratio of throughputs shows what our wrapper costs.
//
//   encoder_bench                 the four streaming modes (desktop scene) and full-screen video
//   encoder_bench --sweep         the command line alone over presets and thread counts, with
//                                 PSNR: how the preset in codec/H264Session.cpp was chosen
//
// The command lines run are printed to stderr.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "codec/H264NalUnits.h"
#include "codec/PicturePool.h"
#include "codec/VideoEncoder.h"
#include "protocol/VideoFormat.h"
#include "ratio_reporter.h"
#include "synthetic_desktop.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace {

using namespace veltra;
using veltra::bench::SyntheticDesktop;
using Clock = std::chrono::steady_clock;
using Scene = SyntheticDesktop::Scene;

// What our encoder uses; the command line gets the same. Keep in step with H264Session.cpp.
constexpr const char* kPreset = "superfast";
constexpr int kThreads = 2;
// Pictures whose decoded luma is compared with the source (2 s at 60 fps: a whole GOP).
constexpr int kQualityPictures = 120;

const char* sceneName(Scene scene) {
  return scene == Scene::desktop ? "desktop" : "video";
}

struct Mode {
  int width, height, fps;
  Scene scene;
  int pictures;  // a multiple of the ring's period
};

std::string modeName(const Mode& mode) {
  return std::to_string(mode.width) + "x" + std::to_string(mode.height) + "@" +
         std::to_string(mode.fps) + "/" + sceneName(mode.scene);
}

// One ring of SyntheticDesktop::kPeriod pictures per size and scene, and the same pictures as a
// raw NV12 file for the command line.
struct Ring {
  std::vector<ScreenPicture> pictures;
  std::filesystem::path file;
};

const Ring& ring(int width, int height, Scene scene) {
  static std::map<std::tuple<int, int, Scene>, Ring> rings;
  Ring& ring = rings[{width, height, scene}];
  if (!ring.pictures.empty()) return ring;
  const SyntheticDesktop painter(width, height, scene);
  ring.file = std::filesystem::temp_directory_path() /
              ("veltra_encoder_bench_" + std::to_string(width) + "x" + std::to_string(height) +
               "_" + sceneName(scene) + ".nv12");
  std::ofstream raw(ring.file, std::ios::binary | std::ios::trunc);
  // The ring holds every picture for good: a buffer for each.
  const auto pool = PicturePool::create(width, height, SyntheticDesktop::kPeriod);
  for (int index = 0; index < SyntheticDesktop::kPeriod; ++index) {
    ScreenPicture picture = pool->acquire();
    const ScreenPicture::Plane luma = picture.plane(0), chroma = picture.plane(1);
    painter.draw(index, luma.data, luma.stride, chroma.data, chroma.stride);
    for (int row = 0; row < height; ++row) {
      raw.write(reinterpret_cast<const char*>(luma.data + row * luma.stride), width);
    }
    for (int row = 0; row < height / 2; ++row) {
      raw.write(reinterpret_cast<const char*>(chroma.data + row * chroma.stride), width);
    }
    ring.pictures.push_back(std::move(picture));
  }
  return ring;
}

void removeRingFiles() {
  const auto directory = std::filesystem::temp_directory_path();
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.path().filename().string().starts_with("veltra_encoder_bench_")) {
      std::filesystem::remove(entry.path());
    }
  }
}

int64_t rawBytes(int width, int height) {
  return int64_t{width} * height * 3 / 2;
}

// Takes the stream: notes when each videoFrame arrives and keeps the first ones for decoding.
class TimingSender final : public PacketSender {
 public:
  void send(RemotePacket type, Bytes payload, std::function<void()> completion) override {
    const Clock::time_point now = Clock::now();
    if (completion) completion();  // the transport took the bytes at once
    std::lock_guard lock(mutex_);
    if (type == RemotePacket::videoFrame) {
      arrivals_.push_back(now);
      if (kept_.size() < static_cast<size_t>(kQualityPictures)) kept_.push_back(std::move(payload));
      changed_.notify_all();
    } else if (kept_.size() < static_cast<size_t>(kQualityPictures)) {
      formats_[kept_.size()] = VideoFormat::decodeJson(payload);
    }
  }

  Clock::time_point waitForFrame(size_t index) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return arrivals_.size() > index; });
    return arrivals_[index];
  }

  // Annex B access units of the kept frames, parameter sets in front of key frames.
  std::vector<Bytes> annexB() {
    std::lock_guard lock(mutex_);
    std::vector<Bytes> units;
    auto append = [](Bytes& out, ByteView nal) {
      out.insert(out.end(), {0, 0, 0, 1});
      out.insert(out.end(), nal.begin(), nal.end());
    };
    for (size_t index = 0; index < kept_.size(); ++index) {
      Bytes unit;
      if (auto format = formats_.find(index); format != formats_.end()) {
        append(unit, format->second.sps);
        append(unit, format->second.pps);
      }
      ByteView rest = kept_[index];
      while (rest.size() >= 4) {
        const size_t length =
            size_t{rest[0]} << 24 | size_t{rest[1]} << 16 | size_t{rest[2]} << 8 | rest[3];
        append(unit, rest.subspan(4, length));
        rest = rest.subspan(4 + length);
      }
      units.push_back(std::move(unit));
    }
    return units;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Clock::time_point> arrivals_;
  std::vector<Bytes> kept_;
  std::map<size_t, VideoFormat> formats_;  // by the index of the frame they precede
};

// Mean per-picture luma PSNR of the decoded units against the ring, as x264 reports it.
double meanLumaPsnr(const std::vector<Bytes>& units, const Ring& source) {
  AVCodecContext* decoder = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
  decoder->flags |= AV_CODEC_FLAG_LOW_DELAY;
  decoder->thread_count = 2;
  decoder->thread_type = FF_THREAD_SLICE;
  if (avcodec_open2(decoder, nullptr, nullptr) < 0) std::abort();
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  double total = 0;
  int count = 0;
  for (size_t index = 0; index < units.size(); ++index) {
    packet->data = const_cast<uint8_t*>(units[index].data());
    packet->size = static_cast<int>(units[index].size());
    if (avcodec_send_packet(decoder, packet) < 0) continue;
    while (avcodec_receive_frame(decoder, frame) == 0) {
      const ScreenPicture::Plane original =
          source.pictures[index % source.pictures.size()].plane(0);
      double squares = 0;
      for (int y = 0; y < frame->height; ++y) {
        const uint8_t* a = frame->data[0] + y * frame->linesize[0];
        const uint8_t* b = original.data + y * original.stride;
        for (int x = 0; x < frame->width; ++x) squares += double(a[x] - b[x]) * (a[x] - b[x]);
      }
      const double mse = squares / (double(frame->width) * frame->height);
      total += mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
      ++count;
      av_frame_unref(frame);
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&decoder);
  return count ? total / count : 0;
}

// CPU time of every thread of the process (ours and x264's): what encoding cost, however busy
// the machine was.
double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

void encoderWrapper(benchmark::State& state, const Mode& mode) {
  const int width = mode.width, height = mode.height, fps = mode.fps;
  const Ring& pictures = ring(width, height, mode.scene);
  auto sender = std::make_shared<TimingSender>();
  VideoEncoder encoder({width, height, fps}, sender);
  state.SetLabel(encoder.encoderName());

  std::vector<double> latencies;
  size_t index = 0;
  const double cpuStart = processCpuSeconds();
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (!encoder.encode(pictures.pictures[index % pictures.pictures.size()],
                        static_cast<int64_t>(index) * 1'000'000 / fps)) {
      state.SkipWithError("a picture was dropped");
      break;
    }
    const Clock::time_point sent = sender->waitForFrame(index);
    latencies.push_back(std::chrono::duration<double, std::milli>(sent - start).count());
    encoder.acknowledgeFrame();
    ++index;
  }
  const double cpu = processCpuSeconds() - cpuStart;
  encoder.stop();
  state.SetBytesProcessed(static_cast<int64_t>(index) * rawBytes(width, height));
  state.counters["cpu_ms"] = index ? 1000 * cpu / static_cast<double>(index) : 0;
  state.counters["fps"] =
      benchmark::Counter(static_cast<double>(index), benchmark::Counter::kIsRate);
  state.counters["median_ms"] = percentile(latencies, 0.5);
  state.counters["p99_ms"] = percentile(latencies, 0.99);
  state.counters["psnr_y"] = meanLumaPsnr(sender->annexB(), pictures);
}

struct CommandLineRun {
  double seconds = 0;     // ffmpeg's own "rtime": the transcoding loop, without start-up
  double cpuSeconds = 0;  // "utime" + "stime": what the loop cost, contention or not
  double psnr = 0;        // x264's mean luma PSNR, when asked for
};

CommandLineRun runFfmpeg(int width, int height, int fps, Scene scene, int pictures,
                         const std::string& preset, int threads, bool psnr) {
  const Ring& source = ring(width, height, scene);
  const int64_t bitRate = h264BitRate({width, height, fps});
  const std::string command =
      "ffmpeg -hide_banner -nostdin -benchmark -f rawvideo -pix_fmt nv12 -video_size " +
      std::to_string(width) + "x" + std::to_string(height) + " -framerate " + std::to_string(fps) +
      " -stream_loop " + std::to_string(pictures / SyntheticDesktop::kPeriod - 1) + " -i " +
      source.file.string() + " -c:v libx264 -preset " + preset +
      " -tune zerolatency -profile:v high -bf 0 -g " + std::to_string(2 * fps) + " -b:v " +
      std::to_string(bitRate) + " -maxrate " + std::to_string(bitRate) + " -bufsize " +
      std::to_string(bitRate / fps) + " -threads " + std::to_string(threads) +
      " -thread_type slice" + (psnr ? " -psnr" : "") + " -f null -";
  std::fprintf(stderr, "%s\n", command.c_str());
  CommandLineRun run;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return run;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    if (const char* rtime = std::strstr(line, "rtime=")) run.seconds = std::atof(rtime + 6);
    if (const char* utime = std::strstr(line, "utime=")) run.cpuSeconds += std::atof(utime + 6);
    if (const char* stime = std::strstr(line, "stime=")) run.cpuSeconds += std::atof(stime + 6);
    // The last "PSNR Mean Y:" is the summary over all frame types.
    if (const char* mean = std::strstr(line, "PSNR Mean Y:")) run.psnr = std::atof(mean + 12);
  }
  pclose(pipe);
  return run;
}

// Preset and threads as ours, unless swept.
void ffmpegCommandLine(benchmark::State& state, const Mode& mode, const std::string& preset,
                       int threads, bool psnr) {
  const int width = mode.width, height = mode.height, fps = mode.fps, pictures = mode.pictures;
  const Scene scene = mode.scene;
  for (auto _ : state) {
    const CommandLineRun timed =
        runFfmpeg(width, height, fps, scene, pictures, preset, threads, false);
    if (timed.seconds <= 0) {
      state.SkipWithError("ffmpeg did not run");
      return;
    }
    state.SetIterationTime(timed.seconds);
    state.counters["fps"] = pictures / timed.seconds;
    state.counters["cpu_ms"] = 1000 * timed.cpuSeconds / pictures;
    if (psnr) {
      state.counters["psnr_y"] =
          runFfmpeg(width, height, fps, scene, kQualityPictures * 2, preset, threads, true).psnr;
    }
  }
  state.SetBytesProcessed(int64_t{pictures} * rawBytes(width, height));
}

}  // namespace

int main(int argc, char** argv) {
  bool sweep = false;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--sweep") == 0) {
      sweep = true;
    } else {
      arguments.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());

  std::vector<std::pair<std::string, std::string>> pairs;
  if (sweep) {
    const Mode modes[] = {{1920, 1080, 60, Scene::desktop, 480},
                          {1920, 1080, 60, Scene::video, 480}};
    for (const Mode& mode : modes) {
      for (const char* preset : {"ultrafast", "superfast", "veryfast"}) {
        for (int threads : {1, 2, 3, 4}) {
          const std::string name =
              "sweep/" + modeName(mode) + "/" + preset + "/threads:" + std::to_string(threads);
          benchmark::RegisterBenchmark(name.c_str(), ffmpegCommandLine, mode, preset, threads, true)
              ->Iterations(1)
              ->UseManualTime()
              ->Unit(benchmark::kMillisecond);
        }
      }
    }
  } else {
    const Mode modes[] = {{1920, 1080, 60, Scene::desktop, 600},
                          {1920, 1080, 120, Scene::desktop, 600},
                          {2560, 1440, 60, Scene::desktop, 360},
                          {2560, 1440, 120, Scene::desktop, 360},
                          {1920, 1080, 60, Scene::video, 600}};
    for (const Mode& mode : modes) {
      const std::string ours = "encoder/" + modeName(mode);
      const std::string reference = "ffmpeg/" + modeName(mode);
      benchmark::RegisterBenchmark(ours.c_str(), encoderWrapper, mode)
          ->Iterations(mode.pictures)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(reference.c_str(), ffmpegCommandLine, mode, kPreset, kThreads,
                                   false)
          ->Iterations(1)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
      pairs.emplace_back(ours + "/iterations:" + std::to_string(mode.pictures) + "/real_time",
                         reference + "/iterations:1/manual_time");
    }
  }
  veltra::bench::RatioReporter reporter(pairs);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  removeRingFiles();
}
