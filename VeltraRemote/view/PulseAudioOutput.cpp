#include "view/PulseAudioOutput.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <span>

#include "support/ThreadName.h"

namespace veltra {
namespace {

constexpr size_t kFrameBytes = AudioJitterBuffer::kChannels * sizeof(int16_t);
constexpr uint32_t kStepBytes = AudioJitterBuffer::kStepFrames * kFrameBytes;  // 10 ms

}  // namespace

// Everything here but `stopping` and `loop` belongs to the speaker's thread.
//
// A plain pa_mainloop on a thread of our own rather than pa_simple: a blocking pa_simple_write
// (or pa_simple_new against a server that hangs) cannot be interrupted, so stop() could wait on
// the server; the loop here wakes at once. Rather than pa_threaded_mainloop: the main thread then
// never takes libpulse's lock, and the thread is ours to name and join.
struct PulseAudioOutput::Playback {
  std::string server;
  std::shared_ptr<AudioJitterBuffer> source;
  std::atomic<bool> stopping{false};
  pa_mainloop* loop = nullptr;

  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  bool failed = false;

  ~Playback() {
    if (loop) pa_mainloop_free(loop);
  }

  void run() {
    setCurrentThreadName("veltra.speaker");
    context = pa_context_new(pa_mainloop_get_api(loop), "Veltra Remote Desktop");
    if (!context) return;
    pa_context_set_state_callback(
        context, [](pa_context*, void* self) { static_cast<Playback*>(self)->contextChanged(); },
        this);
    // No autospawn: a desktop without a sound server stays silent rather than gaining one.
    if (pa_context_connect(context, server.empty() ? nullptr : server.c_str(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
      while (!stopping && !failed) {
        if (pa_mainloop_iterate(loop, 1, nullptr) < 0) break;
      }
    }
    if (stream) closeStream();
    pa_context_set_state_callback(context, nullptr, nullptr);
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
    const pa_sample_spec format{PA_SAMPLE_S16LE, AudioJitterBuffer::kRate,
                                AudioJitterBuffer::kChannels};
    stream = pa_stream_new(context, "Remote computer", &format, nullptr);
    if (!stream) {
      failed = true;
      return;
    }
    pa_stream_set_state_callback(
        stream,
        [](pa_stream* s, void* self) {
          if (pa_stream_get_state(s) == PA_STREAM_FAILED)
            static_cast<Playback*>(self)->failed = true;
        },
        this);
    pa_stream_set_write_callback(
        stream,
        [](pa_stream*, size_t bytes, void* self) { static_cast<Playback*>(self)->writable(bytes); },
        this);
    // About 20 ms in the server in all (ADJUST_LATENCY counts the device's buffer in), asked for
    // in 10 ms steps, and playing from the first 10 ms: the jitter buffer already holds back its
    // own 20 ms against the network's jitter, so the server only covers this thread's.
    pa_buffer_attr attributes{};
    attributes.maxlength = uint32_t(-1);
    attributes.tlength = 2 * kStepBytes;
    attributes.minreq = kStepBytes;
    attributes.prebuf = kStepBytes;
    attributes.fragsize = uint32_t(-1);
    if (pa_stream_connect_playback(stream, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY, nullptr,
                                   nullptr) < 0) {
      failed = true;
    }
  }

  void closeStream() {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
  }

  // The server wants `bytes` more: the jitter buffer's next sound, silence where it has none, so
  // that the stream never runs dry and the server never stops it to prebuffer again.
  void writable(size_t bytes) {
    bytes -= bytes % kFrameBytes;
    while (bytes > 0) {
      void* data = nullptr;
      size_t size = bytes;
      if (pa_stream_begin_write(stream, &data, &size) < 0 || !data) {
        failed = true;
        return;
      }
      size = std::min(size, bytes);
      size -= size % kFrameBytes;
      if (size == 0) {
        pa_stream_cancel_write(stream);
        return;
      }
      source->pull(std::span(static_cast<int16_t*>(data), size / sizeof(int16_t)));
      if (pa_stream_write(stream, data, size, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
        failed = true;
        return;
      }
      bytes -= size;
    }
  }
};

PulseAudioOutput::PulseAudioOutput(std::string server) : server_(std::move(server)) {}

PulseAudioOutput::~PulseAudioOutput() {
  stop();
}

void PulseAudioOutput::start(std::shared_ptr<AudioJitterBuffer> source) {
  stop();
  auto playback = std::make_unique<Playback>();
  playback->server = server_;
  playback->source = std::move(source);
  playback->loop = pa_mainloop_new();
  if (!playback->loop || !playback->source) return;
  playback_ = std::move(playback);
  thread_ = std::thread([playback = playback_.get()] { playback->run(); });
}

void PulseAudioOutput::stop() {
  if (!playback_) return;
  playback_->stopping = true;
  pa_mainloop_wakeup(playback_->loop);
  if (thread_.joinable()) thread_.join();
  playback_.reset();
}

}  // namespace veltra
