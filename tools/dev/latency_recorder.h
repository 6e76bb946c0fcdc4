#pragma once

// The client's measuring mode: when each decoded picture reached the client and when its latency
// stamp says it was drawn, and the figures a run is judged by.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace veltra {

// THREADING: not thread-safe; veltra-remote uses it on its main thread.
class LatencyRecorder {
 public:
  struct Picture {
    int64_t decodedMicros = 0;
    // Nothing when the stamp did not read, or read as a time that cannot be this machine's
    // clock (after the picture arrived, or more than a minute before).
    std::optional<int64_t> drawnMicros;
  };

  struct Summary {
    size_t pictures = 0;
    size_t stamped = 0;  // pictures with a latency; the percentiles are over these
    double medianMs = 0;
    double p95Ms = 0;
    double p99Ms = 0;
    // Complete one-second windows counted from the first picture; a last partial one is left
    // out, so that the run's end does not pass for a stall.
    int seconds = 0;
    double meanPerSecond = 0;
    int worstSecond = 0;
  };

  // Pictures that arrive within `warmUpMicros` of the first one are not recorded: a stream
  // opens with a key frame and with queues filling.
  explicit LatencyRecorder(int64_t warmUpMicros = 0) : warmUpMicros_(warmUpMicros) {}

  // Times in CLOCK_MONOTONIC microseconds; `drawnMicros` as the stamp read, if it did.
  void add(int64_t decodedMicros, std::optional<uint64_t> drawnMicros);

  const std::vector<Picture>& pictures() const { return pictures_; }
  Summary summary() const;

  // A header "decoded_us,drawn_us,latency_us" and one line per picture, the last two fields
  // empty when the stamp did not read.
  void writeCsv(std::ostream& out) const;

  // "latency median M ms · p95 P ms · p99 Q ms over N pictures", then the pictures per second.
  static std::string describe(const Summary& summary);

 private:
  int64_t warmUpMicros_;
  std::optional<int64_t> firstMicros_;
  std::vector<Picture> pictures_;
};

}  // namespace veltra
