#include "latency_recorder.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

namespace veltra {
namespace {

constexpr int64_t kSecond = 1'000'000;
constexpr int64_t kOldestPlausible = 60 * kSecond;

// Nearest rank: the smallest sample with at least `percent` of them at or below it.
double percentileMs(const std::vector<int64_t>& sorted, double percent) {
  const auto rank =
      static_cast<size_t>(std::ceil(percent / 100 * static_cast<double>(sorted.size())));
  return static_cast<double>(sorted[std::max<size_t>(rank, 1) - 1]) / 1000.0;
}

}  // namespace

void LatencyRecorder::add(int64_t decodedMicros, std::optional<uint64_t> drawnMicros) {
  if (!firstMicros_) firstMicros_ = decodedMicros;
  if (decodedMicros - *firstMicros_ < warmUpMicros_) return;
  Picture picture{decodedMicros, std::nullopt};
  if (drawnMicros && *drawnMicros <= static_cast<uint64_t>(decodedMicros)) {
    const auto drawn = static_cast<int64_t>(*drawnMicros);
    if (decodedMicros - drawn <= kOldestPlausible) picture.drawnMicros = drawn;
  }
  pictures_.push_back(picture);
}

LatencyRecorder::Summary LatencyRecorder::summary() const {
  Summary summary;
  summary.pictures = pictures_.size();
  std::vector<int64_t> latencies;
  for (const Picture& picture : pictures_) {
    if (picture.drawnMicros) latencies.push_back(picture.decodedMicros - *picture.drawnMicros);
  }
  summary.stamped = latencies.size();
  if (!latencies.empty()) {
    std::sort(latencies.begin(), latencies.end());
    summary.medianMs = percentileMs(latencies, 50);
    summary.p95Ms = percentileMs(latencies, 95);
    summary.p99Ms = percentileMs(latencies, 99);
  }

  if (pictures_.empty()) return summary;
  const int64_t start = pictures_.front().decodedMicros;
  summary.seconds = static_cast<int>((pictures_.back().decodedMicros - start) / kSecond);
  if (summary.seconds == 0) return summary;
  std::vector<int> counts(static_cast<size_t>(summary.seconds), 0);
  for (const Picture& picture : pictures_) {
    const auto window = static_cast<size_t>((picture.decodedMicros - start) / kSecond);
    if (window < counts.size()) ++counts[window];
  }
  int total = 0;
  for (int count : counts) total += count;
  summary.meanPerSecond = static_cast<double>(total) / summary.seconds;
  summary.worstSecond = *std::min_element(counts.begin(), counts.end());
  return summary;
}

void LatencyRecorder::writeCsv(std::ostream& out) const {
  out << "decoded_us,drawn_us,latency_us\n";
  for (const Picture& picture : pictures_) {
    out << picture.decodedMicros << ',';
    if (picture.drawnMicros) {
      out << *picture.drawnMicros << ',' << picture.decodedMicros - *picture.drawnMicros;
    } else {
      out << ',';
    }
    out << '\n';
  }
}

std::string LatencyRecorder::describe(const Summary& summary) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1);
  if (summary.stamped == 0) {
    text << "latency: no readable stamp in " << summary.pictures << " pictures";
  } else {
    text << "latency median " << summary.medianMs << " ms · p95 " << summary.p95Ms << " ms · p99 "
         << summary.p99Ms << " ms over " << summary.stamped << " pictures";
  }
  text << "\npictures per second: mean " << summary.meanPerSecond << " · worst second "
       << summary.worstSecond << " over " << summary.seconds << " s · "
       << summary.pictures - summary.stamped << " unread";
  return text.str();
}

}  // namespace veltra
