#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace veltra {

// The bit rate a session's encoder should aim at, following what the link carries. The host
// sends at most three frames ahead of the client's acknowledgements, so a link slower than the
// stream shows as frames waiting for room in that window and as acknowledgements that come back
// later than the link's own round trip. Then the stream is too big for the link: every picture
// that does not fit is dropped, and the rest wait in the link's queues. Aiming at a little less
// than what was acknowledged keeps the pictures coming and the queues short; once the link
// carries more again, the rate climbs back to the ceiling (gently right after a cut, then fast).
//
// A client that decodes too slowly also fills the window and delays its acknowledgements. Each
// back-off is therefore a trial: if the smaller pictures do not come faster, the client is the
// limit, the rate goes back up at once and the client's pace is remembered, so that it costs no
// picture quality while it holds.
//
// THREADING: not thread-safe; the encoder calls it under its flow-control lock. Times are given.
class LinkRate {
 public:
  using Clock = std::chrono::steady_clock;
  // How often the rate is decided.
  static constexpr auto kInterval = std::chrono::milliseconds(250);

  explicit LinkRate(int64_t ceiling);

  // A videoFrame of `bytes` went to the transport.
  void sent(size_t bytes, Clock::time_point now);
  // The client acknowledged the oldest frame still unacknowledged.
  void acknowledged(Clock::time_point now);
  // A picture was refused because the window was full.
  void windowFull(Clock::time_point now);

  // The rate to aim at now, between ceiling / 20 and the ceiling.
  int64_t target(Clock::time_point now);
  int64_t ceiling() const { return ceiling_; }

 private:
  void decide(Clock::time_point now);
  // Starts the next interval.
  void next(Clock::time_point now);

  const int64_t ceiling_;
  const int64_t floor_;
  int64_t target_;
  struct InFlight {
    size_t bytes;
    Clock::time_point sent;
  };
  std::deque<InFlight> inFlight_;
  std::optional<Clock::time_point> intervalStart_;
  size_t acknowledgedBytes_ = 0;
  bool refused_ = false;
  std::vector<Clock::duration> delays_;  // of this interval
  // The least acknowledgement delay of recent intervals, oldest first.
  std::deque<std::pair<Clock::time_point, Clock::duration>> leastDelays_;
  std::optional<Clock::time_point> lastCongestion_;
  // The back-off of the last interval, to be judged by this one.
  struct Trial {
    int64_t from;
    double fps;  // acknowledged pictures per second before it
  };
  std::optional<Trial> trial_;
  // The pace of a client found to be the limit.
  std::optional<double> clientFps_;
};

}  // namespace veltra
