#include "host/RemoteCapture.h"

#include <algorithm>
#include <utility>

#include "codec/PicturePool.h"
#include "protocol/RemoteError.h"

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
// How soon a change is looked at again while the encoder finishes the last picture.
constexpr Clock::duration kBusyRetry = std::chrono::milliseconds(1);

// Pictures the encoder may hold at once; a tick with none free is skipped.
constexpr int kPicturesInFlight = 3;

// Rounded up, so that the pictures of a second never outnumber fps.
Clock::duration periodOf(int fps) {
  const int64_t perSecond = std::max(fps, 1);
  return std::chrono::nanoseconds((1'000'000'000 + perSecond - 1) / perSecond);
}

}  // namespace

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

RemoteCapture::~RemoteCapture() {
  queue_.runSync([this] {
    startCompletion_ = nullptr;  // destroyed before it could run: it never will
    stopOnQueue();
    timer_.reset();
  });
}

void RemoteCapture::reportCursor(std::function<void(CursorImage)> sink) {
  cursorSink_ = std::move(sink);
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
  if (cursorSink_) source_->setPointerDrawn(false);
  if (!source_->open(displayID_, configuration_.width, configuration_.height)) {
    waitForNextTry();
    return;
  }
  phase_ = Phase::capturing;
  pool_ = PicturePool::create(configuration_.width, configuration_.height, kPicturesInFlight);
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

void RemoteCapture::armTick() {
  armTimer(nextTick_);
}

// Re-arming cancels a pending wait: its handler sees the error and leaves.
void RemoteCapture::armTimer(Clock::time_point at) {
  timer_->expires_at(at);
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

// The display has news: a change brings the next tick forward to when it may be grabbed; a new
// cursor goes to the client at once, still screen or not.
void RemoteCapture::displayEvent() {
  if (source_->poll()) dirty_ = true;
  passCursorOn();
  if (source_->broken()) {
    fail(kConnectionLost);
    return;
  }
  if (dirty_) {
    const Clock::time_point soonest = std::max(Clock::now() + kSettle, lastAttempt_ + period_);
    if (soonest < nextTick_) {
      nextTick_ = soonest;
      armTick();
    }
  }
  watchDisplay();
}

void RemoteCapture::tick() {
  if (source_->poll()) dirty_ = true;
  passCursorOn();
  if (source_->broken()) {
    fail(kConnectionLost);
    return;
  }
  // A still screen costs only the poll. An encoder that would refuse the picture (busy, or the
  // client not acknowledging) or all three buffers held by it skip the tick: the change waits for
  // the next one without costing a grab.
  if (dirty_) {
    // An encode that ran a little long would cost the change a whole frame interval: looked at
    // again in a moment instead. Only right after a picture was taken, so that a send stuck
    // behind a client that stopped reading does not keep the capture polling.
    const Clock::time_point now = Clock::now();
    if (now - lastTaken_ < 2 * period_ && !encoder_->ready() && encoder_->busy()) {
      // The pacing counts from when the picture was wanted, so that retries do not push the
      // grabs later and later against the display's own drawing.
      if (!wantedSince_) wantedSince_ = now;
      armTimer(now + kBusyRetry);
      watchDisplay();
      return;
    }
    lastAttempt_ = wantedSince_.value_or(now);
    wantedSince_.reset();
    if (ScreenPicture picture = encoder_->ready() ? pool_->acquire() : ScreenPicture()) {
      const int64_t time = monotonicMicros();
      if (!source_->grab(picture)) {
        fail(kConnectionLost);
        return;
      }
      if (!refusedDamage_.empty()) {
        refusedDamage_.insert(refusedDamage_.end(), picture.damage().begin(),
                              picture.damage().end());
        picture.setDamage(refusedDamage_);
      }
      // Only a picture the encoder took clears the change; a dropped one is grabbed afresh, and
      // what it had changed goes with the next.
      if (encoder_->encode(picture, time)) {
        dirty_ = false;
        lastTaken_ = Clock::now();
        refusedDamage_.clear();
      } else {
        refusedDamage_ = picture.damage();
      }
    }
  }
  scheduleTick();
  watchDisplay();
}

void RemoteCapture::passCursorOn() {
  if (!cursorSink_) return;
  std::optional<CursorImage> image = source_->takeCursor();
  if (!image) return;
  cursorSink_(std::move(*image));
  // Fetching it may have read the display's next news off the descriptor, which then would not
  // wake us: looked at now rather than at the next tick.
  if (source_->poll()) dirty_ = true;
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
