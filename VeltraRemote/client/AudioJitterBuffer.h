#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>

namespace veltra {

// The client's sound between the network and the speaker: decoded 48 kHz stereo frames go in as
// they arrive, the output takes what it needs at its own pace. It holds as little as a LAN allows:
// playback starts once kStart is queued, a backlog above kMost (a stall, a burst) is cut back to
// kStart by dropping the oldest sound, and an underrun plays silence and waits for kStart again.
//
// A gap in the sequence while sound is still queued is filled with silence, so that what follows
// keeps its time; a gap after the queue ran dry needs nothing, the start threshold spaces it.
//
// THREADING: thread-safe. push() comes from the client's audio queue ("veltra.audio"), pull()
// from the output's own thread, setMuted() from the main thread.
class AudioJitterBuffer {
 public:
  static constexpr int kRate = 48'000;
  static constexpr int kChannels = 2;
  // Samples per channel in one sequence step (10 ms).
  static constexpr size_t kStepFrames = kRate / 100;
  static constexpr size_t kStart = 2 * kStepFrames;  // 20 ms
  static constexpr size_t kMost = 6 * kStepFrames;   // 60 ms
  // A longer gap than this (in sequence steps) is not bridged: the sound before it is history.
  static constexpr uint32_t kLongestBridgedGap = 6;

  // `samples` interleaved, whole frames; `sequence` as the packet carried it.
  void push(uint32_t sequence, std::span<const int16_t> samples);
  // Fills `out` (interleaved, whole frames) with the next sound, silence where there is none.
  void pull(std::span<int16_t> out);
  // While muted, pull() still takes the sound off the queue, so that unmuting plays the present.
  void setMuted(bool muted);

  // Frames queued and not yet pulled.
  size_t queuedFrames() const;
  // Frames dropped from a backlog, and the times the queue ran dry while playing (the end of
  // every sound counts), since the start.
  size_t droppedFrames() const;
  size_t underruns() const;

 private:
  mutable std::mutex mutex_;
  std::deque<int16_t> samples_;
  std::optional<uint32_t> nextSequence_;
  bool playing_ = false;
  bool muted_ = false;
  size_t dropped_ = 0;
  size_t underruns_ = 0;
};

}  // namespace veltra
