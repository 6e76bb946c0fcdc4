#include <gtest/gtest.h>

#include <algorithm>
#include <asio/post.hpp>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "support/AsioMainQueue.h"
#include "support/Generation.h"
#include "support/NetworkContext.h"
#include "support/SerialQueue.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;

TEST(AsioMainQueueTest, RunsPostedTasksInOrderOnTheRunningThread) {
  AsioMainQueue queue;
  std::vector<int> order;
  std::atomic<bool> onMain{true};
  std::thread other([&] {
    for (int i = 0; i < 3; ++i) {
      queue.post([&, i] {
        order.push_back(i);
        if (!queue.isCurrent()) onMain = false;
      });
    }
  });
  other.join();
  EXPECT_FALSE(queue.isCurrent());
  EXPECT_TRUE(queue.runUntil([&] { return order.size() == 3; }, 2s));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(onMain);
}

TEST(AsioMainQueueTest, DelayedAndRepeatingTasksRunUntilCancelled) {
  AsioMainQueue queue;
  int fired = 0;
  int ticks = 0;
  queue.postDelayed(20ms, [&] { ++fired; });
  auto cancelled = queue.postDelayed(20ms, [&] { fired += 100; });
  cancelled.cancel();
  TaskHandle tick;
  tick = queue.repeating(5ms, [&] {
    if (++ticks == 3) tick.cancel();
  });
  EXPECT_TRUE(queue.runUntil([&] { return fired == 1 && ticks == 3; }, 2s));
  queue.runFor(50ms);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(ticks, 3);
  EXPECT_TRUE(tick.isCancelled());
}

TEST(AsioMainQueueTest, RunUntilGivesUpAtItsBound) {
  AsioMainQueue queue;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.runUntil([] { return false; }, 30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(SerialQueueTest, RunsTasksInOrderOnItsOwnThreadAndDrainsOnDestruction) {
  std::vector<int> order;
  std::thread::id worker;
  {
    SerialQueue queue("test.capture");
    for (int i = 0; i < 100; ++i) queue.post([&order, i] { order.push_back(i); });
    queue.runSync([&] { worker = std::this_thread::get_id(); });
    EXPECT_EQ(order.size(), 100u);
    // From the queue itself runSync must not deadlock.
    queue.runSync([&] { queue.runSync([&] { order.push_back(-1); }); });
    for (int i = 0; i < 10; ++i) queue.post([&order] { order.push_back(7); });
  }
  EXPECT_NE(worker, std::this_thread::get_id());
  EXPECT_EQ(order.size(), 111u);
  EXPECT_EQ(order[100], -1);
}

TEST(SerialQueueTest, RunSyncPassesExceptionsBack) {
  SerialQueue queue("test.decode");
  EXPECT_THROW(queue.runSync([] { throw std::runtime_error("boom"); }), std::runtime_error);
  int after = 0;
  queue.runSync([&] { after = 1; });
  EXPECT_EQ(after, 1);
}

TEST(GenerationTest, EveryGenerationIsNewAcrossThreads) {
  std::vector<Generation> a(1000), b(1000);
  std::thread t1([&] {
    for (auto& g : a) g = newGeneration();
  });
  std::thread t2([&] {
    for (auto& g : b) g = newGeneration();
  });
  t1.join();
  t2.join();
  a.insert(a.end(), b.begin(), b.end());
  std::sort(a.begin(), a.end());
  EXPECT_EQ(std::adjacent_find(a.begin(), a.end()), a.end());
  EXPECT_NE(a.front(), 0u);
}

TEST(NetworkContextTest, OneSharedBackgroundThread) {
  auto& network = NetworkContext::shared();
  EXPECT_EQ(&network, &NetworkContext::shared());
  std::promise<bool> onNetwork;
  asio::post(network.context(), [&] { onNetwork.set_value(network.isNetworkThread()); });
  EXPECT_TRUE(onNetwork.get_future().get());
  EXPECT_FALSE(network.isNetworkThread());
}

}  // namespace
}  // namespace veltra
