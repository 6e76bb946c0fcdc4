#include "host/RemoteCapture.h"

#include <array>
#include <atomic>
#include <utility>

#include "codec/VideoEncoder.h"
#include "protocol/RemoteError.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {

using Clock = std::chrono::steady_clock;

namespace {

const char kConnectionLost[] = "Virtual display connection lost.";
const char kStopped[] = "Screen capture was stopped.";
const char kStartedBefore[] = "Screen capture was already started.";

std::string notAvailable() {
  return RemoteError::unavailable("Virtual display is not available to screen capture.").what();
}

int64_t monotonicMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
      .count();
}

// How long drawing that was just reported gets to finish before the screen is copied: clients
// draw a picture in several requests, and the first one already reports the damage.
constexpr Clock::duration kSettle = std::chrono::milliseconds(1);

// Rounded up, so that the pictures of a second never outnumber fps.
Clock::duration periodOf(int fps) {
  const int64_t perSecond = std::max(fps, 1);
  return std::chrono::nanoseconds((1'000'000'000 + perSecond - 1) / perSecond);
}

}  // namespace

// The NV12 buffers that captured pictures live in. A buffer is free again once the last
// reference to its picture is gone, wherever that happens (usually on the encoder's thread); the
// flag is our own atomic rather than FFmpeg's reference count so that a sanitizer sees the
// encoder's last read ordered before our next write. The pool outlives the capture while any of
// its pictures do.
class PicturePool : public std::enable_shared_from_this<PicturePool> {
 public:
  static constexpr int kSize = 3;

  PicturePool(int width, int height)
      : width_(width),
        height_(height),
        stride_((width + 63) & ~63),
        lumaSize_(static_cast<size_t>(stride_) * height),
        size_(lumaSize_ + static_cast<size_t>(stride_) * ((height + 1) / 2)) {
    for (Slot& slot : slots_) slot.memory = static_cast<uint8_t*>(av_malloc(size_));
  }
  ~PicturePool() {
    for (Slot& slot : slots_) av_free(slot.memory);
  }

  // A writable NV12 frame over a free buffer, or null when every buffer is still held. The
  // buffer returns to the pool when the frame and every reference to it are freed. Capture
  // queue.
  AVFrame* acquire() {
    for (int index = 0; index < kSize; ++index) {
      Slot& slot = slots_[index];
      if (!slot.memory || slot.held.load(std::memory_order_acquire)) continue;
      AVFrame* frame = av_frame_alloc();
      if (!frame) return nullptr;
      auto* lease = new Lease{shared_from_this(), index};
      frame->buf[0] = av_buffer_create(slot.memory, size_, release, lease, 0);
      if (!frame->buf[0]) {
        delete lease;
        av_frame_free(&frame);
        return nullptr;
      }
      slot.held.store(true, std::memory_order_relaxed);
      frame->format = AV_PIX_FMT_NV12;
      frame->width = width_;
      frame->height = height_;
      frame->data[0] = slot.memory;
      frame->linesize[0] = stride_;
      frame->data[1] = slot.memory + lumaSize_;
      frame->linesize[1] = stride_;
      // What libyuv's conversion produces; the encoder may signal it.
      frame->colorspace = AVCOL_SPC_SMPTE170M;
      frame->color_range = AVCOL_RANGE_MPEG;
      return frame;
    }
    return nullptr;
  }

 private:
  struct Slot {
    uint8_t* memory = nullptr;
    std::atomic<bool> held{false};
  };
  struct Lease {
    std::shared_ptr<PicturePool> pool;
    int index;
  };

  // FFmpeg calls this when the last reference to a buffer goes; any thread.
  static void release(void* opaque, uint8_t*) {
    auto* lease = static_cast<Lease*>(opaque);
    lease->pool->slots_[lease->index].held.store(false, std::memory_order_release);
    delete lease;
  }

  const int width_;
  const int height_;
  const int stride_;
  const size_t lumaSize_;
  const size_t size_;
  std::array<Slot, kSize> slots_;
};

RemoteCapture::RemoteCapture(RemoteConfiguration configuration,
                             std::unique_ptr<PictureEncoder> encoder,
                             std::unique_ptr<ScreenSource> source, MainQueue& main, Options options)
    : configuration_(configuration),
      options_(options),
      main_(main),
      encoder_(std::move(encoder)),
      source_(std::move(source)),
      period_(periodOf(configuration.fps)),
      queue_("veltra.capture") {
  // Set before the encoder sees its first picture; onFailure itself is read only when called.
  encoder_->onFailure = [this](std::string text) {
    if (onFailure) onFailure(std::move(text));
  };
  timer_.emplace(queue_.context());
}

std::unique_ptr<RemoteCapture> RemoteCapture::create(RemoteConfiguration configuration,
                                                     std::shared_ptr<PacketSender> sender,
                                                     MainQueue& main, Options options) {
  return std::make_unique<RemoteCapture>(
      configuration, std::make_unique<VideoEncoder>(configuration, std::move(sender)),
      makeScreenSource(), main, options);
}

RemoteCapture::~RemoteCapture() {
  queue_.runSync([this] {
    startCompletion_ = nullptr;  // destroyed before it could run: it never will
    stopOnQueue();
    timer_.reset();
  });
}

void RemoteCapture::start(uint32_t displayID, StartCompletion completion) {
  if (startCalled_) {
    main_.post([completion = std::move(completion)] { completion(kStartedBefore); });
    return;
  }
  startCalled_ = true;
  queue_.post([this, displayID, completion = std::move(completion)]() mutable {
    if (phase_ != Phase::idle) {  // stop() came first
      main_.post([completion = std::move(completion)] { completion(kStopped); });
      return;
    }
    phase_ = Phase::lookingUp;
    displayID_ = displayID;
    startCompletion_ = std::move(completion);
    tryOpen();
  });
}

void RemoteCapture::stop(std::function<void()> completion) {
  queue_.post([this, completion = std::move(completion)]() mutable {
    stopOnQueue();
    if (completion) main_.post(std::move(completion));
  });
}

// A display that was just created may not accept clients yet, so it is looked for again after a
// wait; the last wait is sat out too, so a lookup takes lookupTries × lookupInterval to fail.
void RemoteCapture::tryOpen() {
  ++tries_;
  if (!source_->open(displayID_, configuration_.width, configuration_.height)) {
    waitForNextTry();
    return;
  }
  phase_ = Phase::capturing;
  pool_ = std::make_shared<PicturePool>(configuration_.width, configuration_.height);
  dirty_ = true;  // the client has nothing yet
  completeStart("");
  if (const int descriptor = source_->eventDescriptor(); descriptor >= 0) {
    displayEvents_.emplace(queue_.context(), descriptor);
  }
  nextTick_ = Clock::now();
  tick();
}

void RemoteCapture::waitForNextTry() {
  timer_->expires_after(options_.lookupInterval);
  timer_->async_wait([this](const std::error_code& error) {
    if (error || phase_ != Phase::lookingUp) return;
    if (tries_ >= options_.lookupTries) {
      phase_ = Phase::failed;
      completeStart(notAvailable());
      return;
    }
    tryOpen();
  });
}

void RemoteCapture::scheduleTick() {
  // Absolute deadlines keep the rate exact however long a tick took; after a stall (more than a
  // period behind) the schedule starts afresh rather than catching up in a burst.
  nextTick_ += period_;
  const Clock::time_point now = Clock::now();
  if (now - nextTick_ > period_) nextTick_ = now + period_;
  armTick();
}

// Re-arming cancels a pending wait: its handler sees the error and leaves.
void RemoteCapture::armTick() {
  timer_->expires_at(nextTick_);
  timer_->async_wait([this](const std::error_code& error) {
    if (error || phase_ != Phase::capturing) return;
    tick();
  });
}

void RemoteCapture::watchDisplay() {
  if (!displayEvents_ || watching_) return;
  watching_ = true;
  displayEvents_->async_wait(asio::posix::stream_descriptor::wait_read,
                             [this](const std::error_code& error) {
                               watching_ = false;
                               if (error || phase_ != Phase::capturing) return;
                               displayEvent();
                             });
}

// The display has news: a change brings the next tick forward to when it may be grabbed.
void RemoteCapture::displayEvent() {
  if (source_->poll()) dirty_ = true;
  if (source_->broken()) {
    fail(kConnectionLost);
    return;
  }
  if (dirty_) {
    const Clock::time_point soonest = std::max(Clock::now() + kSettle, lastPicture_ + period_);
    if (soonest < nextTick_) {
      nextTick_ = soonest;
      armTick();
    }
  }
  watchDisplay();
}

void RemoteCapture::tick() {
  if (source_->poll()) dirty_ = true;
  if (source_->broken()) {
    fail(kConnectionLost);
    return;
  }
  // A still screen costs only the poll. With all three buffers held by the encoder the tick is
  // skipped and the change waits for the next one.
  if (dirty_) {
    if (AVFrame* frame = pool_->acquire()) {
      const int64_t time = monotonicMicros();
      if (!source_->grab(frame)) {
        av_frame_free(&frame);
        fail(kConnectionLost);
        return;
      }
      // Only a picture the encoder took clears the change; a dropped one is grabbed afresh.
      if (encoder_->encode(VideoPicture::adopt(frame), time)) {
        dirty_ = false;
        lastPicture_ = Clock::now();
      }
    }
  }
  scheduleTick();
  watchDisplay();
}

void RemoteCapture::fail(std::string text) {
  phase_ = Phase::failed;
  if (onFailure) onFailure(std::move(text));
}

void RemoteCapture::stopOnQueue() {
  if (phase_ == Phase::stopped) return;
  phase_ = Phase::stopped;
  timer_->cancel();
  // The descriptor belongs to the source: give it back before the source closes it.
  if (displayEvents_) {
    displayEvents_->release();
    displayEvents_.reset();
  }
  completeStart(kStopped);
  source_->close();
  encoder_->stop();
}

void RemoteCapture::completeStart(std::string error) {
  if (!startCompletion_) return;
  main_.post([completion = std::exchange(startCompletion_, nullptr), error = std::move(error)] {
    completion(error);
  });
}

}  // namespace veltra
