#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "qt/QtMainQueue.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;

// Spins Qt's event loop until `condition` holds or `timeout` passes.
bool processUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!condition()) {
    if (elapsed.elapsed() > timeout.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

TEST(QtMainQueueTest, PostedTasksRunInOrderOnTheGuiThreadEvenWhenPostedFromOthers) {
  QtMainQueue queue;
  EXPECT_TRUE(queue.isCurrent());
  std::vector<int> order;
  std::atomic<bool> offThreadSawCurrent{true};
  std::thread poster([&] {
    offThreadSawCurrent = queue.isCurrent();
    for (int i = 0; i < 100; ++i) {
      queue.post([&order, &queue, i] {
        EXPECT_TRUE(queue.isCurrent());
        order.push_back(i);
      });
    }
  });
  poster.join();
  EXPECT_FALSE(offThreadSawCurrent.load());
  ASSERT_TRUE(processUntil([&] { return order.size() == 100; }, 5s));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(QtMainQueueTest, DelayedAndRepeatingTasksHonourTheirTimesAndCancellation) {
  QtMainQueue queue;
  QElapsedTimer elapsed;
  elapsed.start();
  qint64 delayedAt = -1;
  queue.postDelayed(60ms, [&] { delayedAt = elapsed.elapsed(); });
  bool cancelledRan = false;
  auto cancelled = queue.postDelayed(20ms, [&] { cancelledRan = true; });
  cancelled.cancel();

  int repeats = 0;
  TaskHandle repeat;
  repeat = queue.repeating(10ms, [&] {
    if (++repeats == 3) repeat.cancel();  // a task that cancels itself runs no more
  });
  ASSERT_TRUE(processUntil([&] { return delayedAt >= 0 && repeats >= 3; }, 5s));
  EXPECT_GE(delayedAt, 60);
  processUntil([] { return false; }, 100ms);
  EXPECT_EQ(repeats, 3);
  EXPECT_FALSE(cancelledRan);
  EXPECT_TRUE(cancelled.isCancelled());
}

TEST(QtMainQueueTest, CancellingFromAnotherThreadStopsARepeatingTask) {
  QtMainQueue queue;
  std::atomic<int> runs{0};
  auto handle = queue.repeating(5ms, [&] { ++runs; });
  ASSERT_TRUE(processUntil([&] { return runs.load() >= 2; }, 5s));
  std::thread([&] { handle.cancel(); }).join();
  processUntil([] { return false; }, 30ms);  // lets the stop reach the timer
  const int settled = runs.load();
  processUntil([] { return false; }, 60ms);
  EXPECT_EQ(runs.load(), settled);
}

TEST(QtMainQueueTest, TasksStillQueuedWhenTheQueueGoesDoNotRun) {
  bool ran = false;
  {
    QtMainQueue queue;
    queue.post([&] { ran = true; });
    queue.postDelayed(1ms, [&] { ran = true; });
  }
  processUntil([] { return false; }, 30ms);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace veltra
