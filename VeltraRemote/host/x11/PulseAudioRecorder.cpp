#include "host/x11/PulseAudioRecorder.h"

#include <opus.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/x11/VLVirtualDisplay.h"
#include "support/ThreadName.h"

namespace veltra {
namespace {

constexpr int kRate = 48'000;
constexpr int kChannels = 2;
constexpr size_t kFrameSamples = kRate / 100 * kChannels;  // 10 ms, interleaved
// The null sink's monitor (DesktopSession's soundServerArguments() names the sink).
const char kSource[] = "veltra.monitor";

int64_t monotonicMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// Everything here but `stopping` and `loop` belongs to the recorder's thread.
struct PulseAudioRecorder::Recording {
  std::string server;
  std::function<void(AudioPacket)> onPacket;
  std::atomic<bool> stopping{false};
  pa_mainloop* loop = nullptr;

  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  OpusEncoder* encoder = nullptr;
  bool failed = false;
  std::vector<int16_t> pending;  // samples short of a whole frame
  uint32_t sequence = 0;
  int64_t lastCapture = 0;  // of the newest frame
  bool lastLoud = false;
  bool afterGap = true;

  ~Recording() {
    if (encoder) opus_encoder_destroy(encoder);
    if (loop) pa_mainloop_free(loop);
  }

  void run() {
    setCurrentThreadName("veltra.audio");
    context = pa_context_new(pa_mainloop_get_api(loop), "Veltra host");
    if (!context) return;
    pa_context_set_state_callback(
        context, [](pa_context*, void* self) { static_cast<Recording*>(self)->contextChanged(); },
        this);
    if (pa_context_connect(context, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
      while (!stopping && !failed) {
        if (pa_mainloop_iterate(loop, 1, nullptr) < 0) break;
      }
    }
    if (stream) closeStream();
    pa_context_disconnect(context);
    pa_context_unref(context);
  }

  void contextChanged() {
    switch (pa_context_get_state(context)) {
      case PA_CONTEXT_READY:
        openStream();
        break;
      case PA_CONTEXT_FAILED:
      case PA_CONTEXT_TERMINATED:
        failed = true;
        break;
      default:
        break;
    }
  }

  void openStream() {
    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, kChannels};
    stream = pa_stream_new(context, "Veltra display sound", &format, nullptr);
    if (!stream) {
      failed = true;
      return;
    }
    pa_stream_set_state_callback(
        stream,
        [](pa_stream* s, void* self) {
          if (pa_stream_get_state(s) == PA_STREAM_FAILED)
            static_cast<Recording*>(self)->failed = true;
        },
        this);
    pa_stream_set_read_callback(
        stream, [](pa_stream*, size_t, void* self) { static_cast<Recording*>(self)->readable(); },
        this);
    // Fragments of one frame: the server hands each 10 ms over as soon as it has it. That also
    // keeps the null sink rendering in 10 ms blocks, so the recording hears a sound as it plays.
    // A silent display costs the server and this thread about 2 % of one core together while a
    // session records it; corking the stream while no client plays saved next to nothing (the
    // sink still renders at our latency), and disconnecting it lost the start of every sound (the
    // sink renders a new client's buffer, up to 2 s, at once, before a recording could connect).
    pa_buffer_attr attributes{};
    attributes.maxlength = uint32_t(-1);
    attributes.tlength = attributes.prebuf = attributes.minreq = uint32_t(-1);
    attributes.fragsize = uint32_t(kFrameSamples * sizeof(int16_t));
    if (pa_stream_connect_record(
            stream, kSource, &attributes,
            pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
      failed = true;
    }
  }

  void closeStream() {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
  }

  void readable() {
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0) {
      if (pa_stream_peek(stream, &data, &bytes) < 0) {
        failed = true;
        return;
      }
      if (bytes == 0) break;
      const size_t samples = bytes / sizeof(int16_t);
      if (data) {
        const size_t at = pending.size();
        pending.resize(at + samples);
        std::memcpy(pending.data() + at, data, samples * sizeof(int16_t));
      } else {
        pending.resize(pending.size() + samples, 0);  // a hole in the stream: silence
      }
      pa_stream_drop(stream);
    }
    // The newest sample was taken about now; each frame's first one as long before as what
    // follows it lasts. That guess carries this thread's scheduling delay, so frames follow the
    // sample clock (10 ms apart), drawn slowly towards the guesses, and jump only when the stream
    // did (a guess over 20 ms away).
    const int64_t now = monotonicMicros();
    size_t offset = 0;
    for (; pending.size() - offset >= kFrameSamples; offset += kFrameSamples) {
      const int64_t after = int64_t((pending.size() - offset) / kChannels);
      const int64_t guess = now - after * 1'000'000 / kRate;
      const int64_t next = lastCapture + 10'000;
      lastCapture = std::abs(guess - next) < 20'000 ? next + (guess - next) / 16 : guess;
      encode(pending.data() + offset, lastCapture);
    }
    pending.erase(pending.begin(), pending.begin() + ptrdiff_t(offset));
  }

  void encode(const int16_t* samples, int64_t captureTime) {
    const uint32_t number = sequence++;
    int peak = 0;
    for (size_t i = 0; i < kFrameSamples; ++i) peak = std::max(peak, std::abs(int(samples[i])));
    const bool loud = peak > kSilenceLevel;
    const bool send = loud || lastLoud;
    lastLoud = loud;
    if (!send) {
      afterGap = true;
      return;
    }
    if (afterGap) {
      opus_encoder_ctl(encoder, OPUS_RESET_STATE);
      afterGap = false;
    }
    uint8_t out[AudioPacket::kMaximumOpusBytes];
    const opus_int32 size =
        opus_encode(encoder, samples, int(kFrameSamples / kChannels), out, sizeof out);
    if (size <= 0) return;
    onPacket(AudioPacket{number, captureTime, Bytes(out, out + size)});
  }
};

PulseAudioRecorder::PulseAudioRecorder() = default;

PulseAudioRecorder::~PulseAudioRecorder() {
  if (!recording_) return;
  recording_->stopping = true;
  pa_mainloop_wakeup(recording_->loop);
  if (thread_.joinable()) thread_.join();
}

void PulseAudioRecorder::start(uint32_t displayID) {
  const std::string socket = VLVirtualDisplay::soundServerOf(displayID);
  if (!socket.empty()) startOn(socket);
}

void PulseAudioRecorder::startOn(const std::string& socket) {
  if (recording_) return;
  auto recording = std::make_unique<Recording>();
  recording->server = "unix:" + socket;
  recording->onPacket = onPacket;
  int error = 0;
  // The restricted low-delay mode is CELT alone: 2.5 ms of look-ahead instead of 6.5 ms.
  recording->encoder =
      opus_encoder_create(kRate, kChannels, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
  recording->loop = pa_mainloop_new();
  if (!recording->encoder || !recording->loop || !onPacket) return;
  opus_encoder_ctl(recording->encoder, OPUS_SET_BITRATE(kBitrate));
  recording_ = std::move(recording);
  thread_ = std::thread([recording = recording_.get()] { recording->run(); });
}

}  // namespace veltra
