// QtMainQueue: order, thread and lifetime of posted tasks, delays, repeats and cancellation.

#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <thread>

#include "qt/QtMainQueue.h"
#include "view/view_test_support.h"

namespace veltra::test {
namespace {

// Owners hand their last reference to an object (a capture whose thread must be joined from
// outside it) into a task, so a task must end on the GUI thread, whoever posted or cancelled it.
TEST(QtMainQueueTest, TasksFromAnotherThreadRunInOrderAndEndOnTheGuiThreadCancelledOrNot) {
  constexpr int kTasks = 20'000;
  std::atomic<int> destroyed{0}, offThread{0}, delayed{0};
  std::vector<int> order;
  QtMainQueue queue;
  std::atomic<bool> posterIsCurrent{true};
  std::thread poster([&] {
    posterIsCurrent = queue.isCurrent();
    for (int i = 0; i < kTasks; ++i) {
      // Counts its destructions, and those away from the GUI thread.
      auto probe = std::shared_ptr<int>(new int, [&](int* p) {
        offThread += QThread::currentThread() != QCoreApplication::instance()->thread();
        ++destroyed;
        delete p;
      });
      if (i % 10 == 0) {
        auto handle = queue.postDelayed(0ms, [probe, &delayed] { ++delayed; });
        if (i % 20 == 0) handle.cancel();
      }
      queue.post([probe = std::move(probe), &order, &queue, i] {
        if (queue.isCurrent()) order.push_back(i);
      });
    }
  });
  EXPECT_TRUE(processUntil([&] { return destroyed == kTasks; }));
  poster.join();
  EXPECT_FALSE(posterIsCurrent);
  EXPECT_EQ(offThread, 0);
  EXPECT_EQ(delayed, kTasks / 20);
  ASSERT_EQ(order.size(), size_t(kTasks));
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

// A queue's tasks still waiting when it goes never run; "later", due after many more turns of the
// others, marks when they would have.
TEST(QtMainQueueTest, DelaysAreKeptRepeatsStopWhenCancelledAndTasksOfAQueueGoneDoNotRun) {
  bool gone = false, timerMade = false;
  {
    QtMainQueue doomed;
    doomed.postDelayed(5ms, [&] { gone = true; });
    doomed.post([&] { timerMade = true; });
    ASSERT_TRUE(processUntil([&] { return timerMade; }));
    doomed.post([&] { gone = true; });
  }
  QtMainQueue queue;
  const auto start = Clock::now();
  auto delayedAt = start;
  queue.postDelayed(60ms, [&] { delayedAt = Clock::now(); });
  int repeats = 0;
  TaskHandle self;
  self = queue.repeating(1ms, [&] {
    if (++repeats == 3) self.cancel();
  });
  std::atomic<int> runs{0};
  TaskHandle other = queue.repeating(1ms, [&] { ++runs; });
  ASSERT_TRUE(processUntil([&] { return runs >= 2 && delayedAt != start; }));
  EXPECT_GE(delayedAt - start, 60ms);
  std::thread([&] { other.cancel(); }).join();
  const int settled = runs;
  bool later = false;
  queue.postDelayed(20ms, [&] { later = true; });
  ASSERT_TRUE(processUntil([&] { return later; }));
  EXPECT_EQ(runs, settled);
  EXPECT_EQ(repeats, 3);
  EXPECT_FALSE(gone);
}

}  // namespace
}  // namespace veltra::test
