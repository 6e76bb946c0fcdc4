#pragma once

#include <QPointF>
#include <cstdint>

namespace veltra {

// Counts the clicks of a series (1 for a single click, 2 for a double, 3 for a triple…), which Qt
// does not do beyond doubles: a press of the same button within the double-click interval and
// distance of the previous press continues the series. A release carries its press's count.
// Pure logic, one owner thread.
class RemoteClickCounter {
 public:
  static constexpr int kMaximum = 100;

  RemoteClickCounter(int intervalMilliseconds, int distance)
      : interval_(intervalMilliseconds), distance_(distance) {}

  // `button` in wire numbering, `time` in milliseconds of the event clock.
  int press(int button, QPointF position, uint64_t time);
  int release(int button) const;

 private:
  int interval_;
  int distance_;
  int button_ = -1;
  QPointF position_;
  uint64_t time_ = 0;
  int count_ = 0;
};

}  // namespace veltra
