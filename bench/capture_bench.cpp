// Screen capture on a private Xvfb, against ffmpeg's x11grab on a display of the same size in the
// same run.
//
//   grab/WxH      X11ScreenSource: poll + grab (MIT-SHM copy, cursor, libyuv to NV12) of a screen
//                 that a second client changes before every picture. Median and 99th percentile
//                 wall and CPU time per picture (the CPU of the grabbing thread only; the painter
//                 is left out), and the X server's CPU per picture.
//   x11grab/WxH   ffmpeg -f x11grab to raw NV12 in /dev/null, unpaced (-framerate 1000, every
//                 grabbed picture written once), while the same painter draws. Its loop's wall and
//                 CPU time per picture come from its own "-benchmark" line, which leaves out
//                 start-up; cpu_total_ms is getrusage of the whole process, start-up included.
//   still/...     A RemoteCapture at 60 fps on a still screen for 10 s: process CPU as a share of
//                 one core, and the X server's; ffmpeg's x11grab at 60 fps for the same 10 s.
//
// The table at the end divides ffmpeg's cost by ours: above 1 means we cost less. Command lines
// go to stderr.
#include <sys/resource.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "codec/PicturePool.h"
#include "host/RemoteCapture.h"
#include "host/x11/VLVirtualDisplay.h"
#include "host/x11/X11Connection.h"
#include "host/x11/X11ScreenSource.h"
#include "ratio_reporter.h"
#include "support/AsioMainQueue.h"

namespace {

using namespace veltra;
using Clock = std::chrono::steady_clock;

constexpr int kPictures = 600;
constexpr int kWarmUp = 30;
constexpr auto kStillTime = std::chrono::seconds(10);

double seconds(const timespec& t) {
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
double seconds(const timeval& t) {
  return double(t.tv_sec) + double(t.tv_usec) * 1e-6;
}

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return seconds(now);
}

double rusageSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// utime + stime of a process from /proc, for the X server.
double processCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14 || index == 15) ticks += std::stod(field);
    if (index == 15) break;
  }
  return ticks / double(sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

std::string modeName(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// Another client drawing: a 256 × 256 square of a new colour each time, waited for.
class Painter {
 public:
  explicit Painter(uint32_t displayID) : connection_(x11::Connection::open(displayID)) {
    if (!connection_) throw std::runtime_error("cannot reach the display");
    gc_ = xcb_generate_id(connection_->get());
    xcb_create_gc(connection_->get(), gc_, connection_->root(), 0, nullptr);
  }

  void paint() {
    xcb_connection_t* c = connection_->get();
    colour_ = (colour_ + 0x050301) & 0xffffff;
    xcb_change_gc(c, gc_, XCB_GC_FOREGROUND, &colour_);
    const xcb_rectangle_t square{int16_t(100 + colour_ % 200), 100, 256, 256};
    xcb_poly_fill_rectangle(c, connection_->root(), gc_, 1, &square);
    x11::Reply<xcb_get_input_focus_reply_t> ignored(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

 private:
  std::unique_ptr<x11::Connection> connection_;
  xcb_gcontext_t gc_ = 0;
  uint32_t colour_ = 0;
};

// Paints on its own thread every couple of milliseconds while it lives.
class BackgroundPainter {
 public:
  explicit BackgroundPainter(uint32_t displayID)
      : thread_([this, displayID] {
          Painter painter(displayID);
          while (running_) {
            painter.paint();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
        }) {}
  ~BackgroundPainter() {
    running_ = false;
    thread_.join();
  }

 private:
  std::atomic<bool> running_{true};
  std::thread thread_;
};

void grab(benchmark::State& state, int width, int height) {
  auto display = VLVirtualDisplay::create({width, height, 60});
  Painter painter(display->displayID());
  X11ScreenSource source;
  if (!source.open(display->displayID(), width, height)) {
    state.SkipWithError("cannot open the display");
    return;
  }
  ScreenPicture picture = PicturePool::create(width, height, 1)->acquire();

  auto once = [&] {
    painter.paint();
    const Clock::time_point start = Clock::now();
    const double cpuStart = threadCpuSeconds();
    const bool changed = source.poll();
    const bool grabbed = source.grab(picture);
    return std::tuple(changed && grabbed,
                      std::chrono::duration<double>(Clock::now() - start).count(),
                      threadCpuSeconds() - cpuStart);
  };
  for (int i = 0; i < kWarmUp; ++i) once();

  std::vector<double> walls, cpus;
  const double serverStart = processCpuSeconds(display->serverProcess());
  for (auto _ : state) {
    auto [ok, wall, cpu] = once();
    if (!ok) {
      state.SkipWithError("a change was not seen or the grab failed");
      break;
    }
    state.SetIterationTime(wall);
    walls.push_back(wall);
    cpus.push_back(cpu);
  }
  const double server = processCpuSeconds(display->serverProcess()) - serverStart;

  const double pictures = double(walls.size());
  double cpuTotal = 0;
  for (double cpu : cpus) cpuTotal += cpu;
  state.SetBytesProcessed(int64_t(walls.size()) * width * height * 4);
  state.counters["wall_median_ms"] = 1000 * percentile(walls, 0.5);
  state.counters["wall_p99_ms"] = 1000 * percentile(walls, 0.99);
  state.counters["cpu_median_ms"] = 1000 * percentile(cpus, 0.5);
  state.counters["cpu_p99_ms"] = 1000 * percentile(cpus, 0.99);
  state.counters["cpu_ms"] = pictures ? 1000 * cpuTotal / pictures : 0;
  // Includes drawing the painter's squares.
  state.counters["server_cpu_ms"] = pictures ? 1000 * server / pictures : 0;
}

struct FfmpegRun {
  int pictures = 0;            // what it wrote
  int duplicates = 0;          // pictures it repeated rather than grabbed
  double loopSeconds = 0;      // "-benchmark" rtime
  double loopCpuSeconds = 0;   // utime + stime of the loop
  double totalCpuSeconds = 0;  // getrusage of the whole process
  double serverCpuSeconds = 0;
};

int numberAfter(const std::string& text, const std::string& key) {
  const size_t at = text.rfind(key);
  return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + key.size());
}

// Passthrough timing: ffmpeg's default constant-rate output mistakes x11grab's microsecond
// timestamps at high rates for a far higher frame rate, grabs one picture and writes it 600
// times.
FfmpegRun runX11grab(const VLVirtualDisplay& display, int framerate, int pictures) {
  const std::string command =
      "DISPLAY=" + display.displayName() + " XAUTHORITY=" + display.authorityFile() +
      " exec ffmpeg -hide_banner -nostdin -nostats -benchmark -f x11grab "
      "-draw_mouse 1 -framerate " +
      std::to_string(framerate) + " -video_size " + modeName(display.width(), display.height()) +
      " -i " + display.displayName() + " -frames:v " + std::to_string(pictures) +
      " -fps_mode passthrough -pix_fmt nv12 -f rawvideo -y /dev/null";
  std::fprintf(stderr, "%s\n", command.c_str());
  FfmpegRun run;
  const double childrenStart = rusageSeconds(RUSAGE_CHILDREN);
  const double serverStart = processCpuSeconds(display.serverProcess());
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return run;
  std::string output;
  char chunk[4096];
  while (size_t read = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, read);
  pclose(pipe);
  run.totalCpuSeconds = rusageSeconds(RUSAGE_CHILDREN) - childrenStart;
  run.serverCpuSeconds = processCpuSeconds(display.serverProcess()) - serverStart;
  run.pictures = numberAfter(output, "frame=");
  run.duplicates = numberAfter(output, "dup=");
  if (const size_t bench = output.rfind("bench: utime="); bench != std::string::npos) {
    const char* line = output.c_str() + bench;
    run.loopCpuSeconds =
        std::atof(std::strstr(line, "utime=") + 6) + std::atof(std::strstr(line, "stime=") + 6);
    run.loopSeconds = std::atof(std::strstr(line, "rtime=") + 6);
  }
  return run;
}

bool ranWell(benchmark::State& state, const FfmpegRun& run, int pictures) {
  if (run.loopSeconds > 0 && run.pictures == pictures && run.duplicates == 0) return true;
  state.SkipWithError(("ffmpeg wrote " + std::to_string(run.pictures) + " pictures, " +
                       std::to_string(run.duplicates) + " repeated")
                          .c_str());
  return false;
}

void x11grab(benchmark::State& state, int width, int height) {
  auto display = VLVirtualDisplay::create({width, height, 60});
  BackgroundPainter painter(display->displayID());
  for (auto _ : state) {
    const FfmpegRun run = runX11grab(*display, 1000, kPictures);
    if (!ranWell(state, run, kPictures)) return;
    state.SetIterationTime(run.loopSeconds / kPictures);
    state.counters["wall_ms"] = 1000 * run.loopSeconds / kPictures;
    state.counters["cpu_ms"] = 1000 * run.loopCpuSeconds / kPictures;
    state.counters["cpu_total_ms"] = 1000 * run.totalCpuSeconds / kPictures;
    state.counters["server_cpu_ms"] = 1000 * run.serverCpuSeconds / kPictures;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * width * height * 4);
}

// Takes every picture and lets it go.
class DiscardingEncoder final : public PictureEncoder {
 public:
  bool encode(ScreenPicture, int64_t) override {
    ++taken;
    return true;
  }
  void stop() override {}
  void acknowledgeFrame() override {}
  std::atomic<int> taken{0};
};

void stillCapture(benchmark::State& state) {
  const int width = 1920, height = 1080, fps = 60;
  auto display = VLVirtualDisplay::create({width, height, double(fps)});
  AsioMainQueue main;
  auto encoder = std::make_unique<DiscardingEncoder>();
  DiscardingEncoder* pictures = encoder.get();
  RemoteCapture capture({width, height, fps}, std::move(encoder),
                        std::make_unique<X11ScreenSource>(), main);
  std::string error = "(no answer)";
  bool started = false;
  capture.start(display->displayID(), [&](std::string text) {
    error = text;
    started = true;
  });
  main.runUntil([&] { return started; }, std::chrono::seconds(10));
  if (!error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  main.runFor(std::chrono::milliseconds(500));  // the first picture and what settles after it
  const int picturesBefore = pictures->taken;
  for (auto _ : state) {
    const double cpuStart = rusageSeconds(RUSAGE_SELF);
    const double serverStart = processCpuSeconds(display->serverProcess());
    const Clock::time_point start = Clock::now();
    main.runFor(std::chrono::duration_cast<MainQueue::Duration>(kStillTime));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    state.counters["cpu_percent"] = 100 * (rusageSeconds(RUSAGE_SELF) - cpuStart) / elapsed;
    state.counters["server_cpu_percent"] =
        100 * (processCpuSeconds(display->serverProcess()) - serverStart) / elapsed;
  }
  state.counters["pictures"] = pictures->taken - picturesBefore;
  bool stopped = false;
  capture.stop([&] { stopped = true; });
  main.runUntil([&] { return stopped; }, std::chrono::seconds(10));
}

void stillX11grab(benchmark::State& state) {
  const int width = 1920, height = 1080, fps = 60;
  auto display = VLVirtualDisplay::create({width, height, double(fps)});
  const int pictures = fps * int(kStillTime.count());
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    const FfmpegRun run = runX11grab(*display, fps, pictures);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ranWell(state, run, pictures)) return;
    state.SetIterationTime(elapsed);
    state.counters["cpu_percent"] = 100 * run.totalCpuSeconds / elapsed;
    state.counters["loop_cpu_percent"] = 100 * run.loopCpuSeconds / run.loopSeconds;
    state.counters["server_cpu_percent"] = 100 * run.serverCpuSeconds / elapsed;
  }
}

// The house ratio table (throughput, i.e. wall time per picture), and the CPU costs: ffmpeg's
// figure divided by ours, above 1 when we cost less.
class CaptureReporter : public veltra::bench::RatioReporter {
 public:
  struct CpuPair {
    std::string ours, oursCounter, reference, referenceCounter;
  };

  CaptureReporter(std::vector<std::pair<std::string, std::string>> throughput,
                  std::vector<CpuPair> cpu)
      : RatioReporter(std::move(throughput)), cpu_(std::move(cpu)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    RatioReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      for (const auto& [name, counter] : run.counters) {
        counters_[run.benchmark_name()][name] = counter.value;
      }
    }
  }

  void Finalize() override {
    RatioReporter::Finalize();
    std::printf("\n%-58s %10s %10s %7s\n", "cost: ours / ffmpeg", "ours", "ffmpeg", "ratio");
    for (const CpuPair& pair : cpu_) {
      if (!counters_[pair.ours].count(pair.oursCounter) ||
          !counters_[pair.reference].count(pair.referenceCounter)) {
        continue;
      }
      const double ours = counters_[pair.ours][pair.oursCounter];
      const double reference = counters_[pair.reference][pair.referenceCounter];
      const std::string label = pair.ours + " " + pair.oursCounter;
      std::printf("%-58s %10.3f %10.3f %7.2f\n", label.c_str(), ours, reference,
                  ours > 0 ? reference / ours : 0);
    }
  }

 private:
  std::vector<CpuPair> cpu_;
  std::map<std::string, std::map<std::string, double>> counters_;
};

}  // namespace

int main(int argc, char** argv) {
  veltra::bench::tuneAllocatorUnlessAsked(argc, argv);
  benchmark::Initialize(&argc, argv);

  std::vector<std::pair<std::string, std::string>> throughput;
  std::vector<CaptureReporter::CpuPair> cpu;
  for (auto [width, height] : {std::pair{1920, 1080}, std::pair{2560, 1440}}) {
    const std::string mode = modeName(width, height);
    const std::string ours = "grab/" + mode, reference = "x11grab/" + mode;
    benchmark::RegisterBenchmark(ours.c_str(), grab, width, height)
        ->Iterations(kPictures)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(reference.c_str(), x11grab, width, height)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    const std::string oursRun = ours + "/iterations:" + std::to_string(kPictures) + "/manual_time";
    const std::string referenceRun = reference + "/iterations:1/manual_time";
    throughput.emplace_back(oursRun, referenceRun);
    cpu.push_back({oursRun, "cpu_ms", referenceRun, "cpu_ms"});
    cpu.push_back({oursRun, "cpu_median_ms", referenceRun, "cpu_ms"});
    cpu.push_back({oursRun, "wall_median_ms", referenceRun, "wall_ms"});
  }
  benchmark::RegisterBenchmark("still/1920x1080@60/capture", stillCapture)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kSecond);
  benchmark::RegisterBenchmark("still/1920x1080@60/x11grab", stillX11grab)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kSecond);
  cpu.push_back({"still/1920x1080@60/capture/iterations:1/manual_time", "cpu_percent",
                 "still/1920x1080@60/x11grab/iterations:1/manual_time", "loop_cpu_percent"});
  cpu.push_back({"still/1920x1080@60/capture/iterations:1/manual_time", "server_cpu_percent",
                 "still/1920x1080@60/x11grab/iterations:1/manual_time", "server_cpu_percent"});

  CaptureReporter reporter(throughput, cpu);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
