#include "codec/LinkRate.h"

#include <algorithm>

namespace veltra {
namespace {

// How far below what the link delivered the rate goes: room for the queues to drain.
constexpr double kBackOff = 0.85;
// Right after congestion the rate climbs slowly, so that a link that stays slow is probed
// gently; later it climbs fast, so that a link that recovered gets its quality back in a second
// or two.
constexpr auto kGentle = std::chrono::milliseconds(750);
constexpr double kGentleStep = 1.1;
constexpr double kFastStep = 1.5;
// A back-off helped if the pictures came this much faster after it.
constexpr double kHelped = 1.05;
// A client that was the limit still is while its pace holds within this much.
constexpr double kClientPace = 0.9;
// Acknowledgements this much later than the link's least delay waited in a queue: a client that
// keeps up is a decode or two late at most, a throttled link's queue of three frames far more.
constexpr auto kQueueing = std::chrono::milliseconds(25);
// How long the link's least delay is remembered.
constexpr auto kDelayMemory = std::chrono::seconds(5);

}  // namespace

LinkRate::LinkRate(int64_t ceiling) : ceiling_(ceiling), floor_(ceiling / 20), target_(ceiling) {}

void LinkRate::sent(size_t bytes, Clock::time_point now) {
  inFlight_.push_back({bytes, now});
  if (!intervalStart_) intervalStart_ = now;
}

void LinkRate::acknowledged(Clock::time_point now) {
  if (inFlight_.empty()) return;
  acknowledgedBytes_ += inFlight_.front().bytes;
  delays_.push_back(now - inFlight_.front().sent);
  inFlight_.pop_front();
}

void LinkRate::windowFull(Clock::time_point) {
  refused_ = true;
}

int64_t LinkRate::target(Clock::time_point now) {
  if (intervalStart_ && now - *intervalStart_ >= kInterval) decide(now);
  return target_;
}

void LinkRate::decide(Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - *intervalStart_).count();
  std::optional<Clock::duration> median;
  if (!delays_.empty()) {
    std::nth_element(delays_.begin(), delays_.begin() + delays_.size() / 2, delays_.end());
    median = delays_[delays_.size() / 2];
    leastDelays_.emplace_back(now, *std::min_element(delays_.begin(), delays_.end()));
  }
  while (!leastDelays_.empty() && now - leastDelays_.front().first > kDelayMemory)
    leastDelays_.pop_front();
  Clock::duration least = Clock::duration::max();
  for (const auto& [when, delay] : leastDelays_) least = std::min(least, delay);

  // Nothing acknowledged in a whole interval while frames wait is congestion too.
  const bool stalled =
      delays_.empty() && !inFlight_.empty() && now - inFlight_.front().sent > kQueueing;
  const bool queueing = median && least != Clock::duration::max() && *median > least + kQueueing;
  const bool congested = refused_ && (queueing || stalled);
  const double fps = static_cast<double>(delays_.size()) / seconds;

  if (trial_) {
    const Trial trial = *trial_;
    trial_.reset();
    // A smaller stream that still fills the window no faster: the client is the limit, not the
    // link. The quality goes back; the client's pace is remembered.
    if (congested && fps < trial.fps * kHelped) {
      target_ = trial.from;
      clientFps_ = trial.fps;
      return next(now);
    }
  }
  if (congested && !(clientFps_ && fps >= *clientFps_ * kClientPace)) {
    const auto delivered =
        static_cast<int64_t>(static_cast<double>(acknowledgedBytes_) * 8 / seconds);
    trial_ = Trial{target_, fps};
    target_ =
        std::clamp(std::min(target_, static_cast<int64_t>(delivered * kBackOff)), floor_, ceiling_);
    lastCongestion_ = now;
  } else {
    if (!refused_) clientFps_.reset();  // the client keeps up now
    const bool gentle = lastCongestion_ && now - *lastCongestion_ < kGentle;
    target_ =
        std::min(ceiling_, static_cast<int64_t>(target_ * (gentle ? kGentleStep : kFastStep)));
  }
  next(now);
}

void LinkRate::next(Clock::time_point now) {
  intervalStart_ = now;
  acknowledgedBytes_ = 0;
  refused_ = false;
  delays_.clear();
}

}  // namespace veltra
