// Where a posted task's captures die. Owners hand their last reference to an object into a task
// (a capture whose thread must be joined from outside it), so a task must end on the GUI thread,
// whichever thread posted it.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "qt/QtMainQueue.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;

// Counts its destructions that happen away from the GUI thread.
struct Probe {
  Probe(std::atomic<int>* offThreadCount, std::atomic<int>* destroyedCount)
      : offThread(offThreadCount), destroyed(destroyedCount) {}
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;
  std::atomic<int>* offThread;
  std::atomic<int>* destroyed;
  ~Probe() {
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++*offThread;
    ++*destroyed;
  }
};

// Qt shares the functor it queues between the poster and the event; when the GUI thread runs the
// task before the poster's call has returned, the poster's release is the last one. Many posts
// while the GUI thread is busy delivering make that interleaving happen.
TEST(QtMainQueueLifetimeTest, TasksAndTheirCapturesEndOnTheGuiThreadWhoeverPostedThem) {
  constexpr int kTasks = 20'000;
  std::atomic<int> offThread{0}, destroyed{0}, ran{0};
  QtMainQueue queue;
  std::thread poster([&] {
    for (int i = 0; i < kTasks; ++i) {
      auto probe = std::make_shared<Probe>(&offThread, &destroyed);
      queue.post([probe = std::move(probe), &ran] { ++ran; });
      if (i % 16 == 0) std::this_thread::yield();
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (destroyed.load() < kTasks && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  poster.join();
  QCoreApplication::processEvents();
  EXPECT_EQ(ran.load(), kTasks);
  EXPECT_EQ(destroyed.load(), kTasks);
  EXPECT_EQ(offThread.load(), 0);
}

// The same for delayed tasks, including ones cancelled before they were ever scheduled.
TEST(QtMainQueueLifetimeTest, DelayedTasksEndOnTheGuiThreadEvenWhenCancelled) {
  constexpr int kTasks = 2'000;
  std::atomic<int> offThread{0}, destroyed{0};
  QtMainQueue queue;
  std::thread poster([&] {
    for (int i = 0; i < kTasks; ++i) {
      auto probe = std::make_shared<Probe>(&offThread, &destroyed);
      TaskHandle handle = queue.postDelayed(0ms, [probe = std::move(probe)] {});
      if (i % 2 == 0) handle.cancel();
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (destroyed.load() < kTasks && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  poster.join();
  QCoreApplication::processEvents();
  EXPECT_EQ(destroyed.load(), kTasks);
  EXPECT_EQ(offThread.load(), 0);
}

}  // namespace
}  // namespace veltra
