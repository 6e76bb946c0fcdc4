#include "client/AudioJitterBuffer.h"

#include <algorithm>

namespace veltra {

void AudioJitterBuffer::push(uint32_t sequence, std::span<const int16_t> samples) {
  const size_t frames = samples.size() / kChannels;
  if (frames == 0) return;
  std::lock_guard lock(mutex_);
  if (nextSequence_) {
    // Modular: the sequence wraps after 2^32 steps.
    const auto ahead = static_cast<int32_t>(sequence - *nextSequence_);
    if (ahead < 0) return;  // a repeat or older than what was already played
    if (ahead > 0 && !samples_.empty() && static_cast<uint32_t>(ahead) <= kLongestBridgedGap)
      samples_.insert(samples_.end(), static_cast<size_t>(ahead) * kStepFrames * kChannels, 0);
  }
  const auto steps = static_cast<uint32_t>((frames + kStepFrames - 1) / kStepFrames);
  nextSequence_ = sequence + steps;
  samples_.insert(samples_.end(), samples.begin(), samples.begin() + frames * kChannels);

  const size_t queued = samples_.size() / kChannels;
  if (queued > kMost) {
    const size_t drop = queued - kStart;
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<ptrdiff_t>(drop * kChannels));
    dropped_ += drop;
  }
}

void AudioJitterBuffer::pull(std::span<int16_t> out) {
  std::lock_guard lock(mutex_);
  size_t filled = 0;
  if (!playing_ && samples_.size() / kChannels >= kStart) playing_ = true;
  if (playing_) {
    filled = std::min(out.size() / kChannels * kChannels, samples_.size());
    const auto end = samples_.begin() + static_cast<ptrdiff_t>(filled);
    if (muted_)
      std::fill(out.begin(), out.begin() + static_cast<ptrdiff_t>(filled), int16_t{0});
    else
      std::copy(samples_.begin(), end, out.begin());
    samples_.erase(samples_.begin(), end);
    if (filled < out.size()) {
      playing_ = false;
      ++underruns_;
    }
  }
  std::fill(out.begin() + static_cast<ptrdiff_t>(filled), out.end(), int16_t{0});
}

void AudioJitterBuffer::setMuted(bool muted) {
  std::lock_guard lock(mutex_);
  muted_ = muted;
}

size_t AudioJitterBuffer::queuedFrames() const {
  std::lock_guard lock(mutex_);
  return samples_.size() / kChannels;
}

size_t AudioJitterBuffer::droppedFrames() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

size_t AudioJitterBuffer::underruns() const {
  std::lock_guard lock(mutex_);
  return underruns_;
}

}  // namespace veltra
