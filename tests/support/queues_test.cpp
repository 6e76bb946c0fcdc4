#include <gtest/gtest.h>

#include <algorithm>
#include <asio/post.hpp>
#include <future>
#include <thread>
#include <vector>

#include "support/AsioMainQueue.h"
#include "support/NetworkContext.h"
#include "support/SerialQueue.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;

// Running on the queue's thread and repeating tasks are checked by the host tests (the display
// launcher and the watchdog).
TEST(AsioMainQueueTest, DelayedTasksRunInDeadlineOrderUnlessCancelledAndRunUntilGivesUp) {
  AsioMainQueue queue;
  std::vector<int> order;
  bool last = false;
  queue.postDelayed(20ms, [&] { order.push_back(2); });
  queue.postDelayed(20ms, [&] { order.push_back(100); }).cancel();
  queue.postDelayed(5ms, [&] { order.push_back(1); });
  queue.postDelayed(60ms, [&] { last = true; });
  EXPECT_TRUE(queue.runUntil([&] { return last; }, 2s));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.runUntil([] { return false; }, 30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(SerialQueueTest, RunsTasksInOrderOnItsOwnThreadPassesExceptionsBackAndDrainsOnDestruction) {
  std::vector<int> order;
  std::thread::id worker;
  {
    SerialQueue queue("test.capture");
    for (int i = 0; i < 100; ++i) queue.post([&order, i] { order.push_back(i); });
    queue.runSync([&] { worker = std::this_thread::get_id(); });
    EXPECT_EQ(order.size(), 100u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    // From the queue itself runSync must not deadlock.
    queue.runSync([&] { queue.runSync([&] { order.push_back(-1); }); });
    EXPECT_THROW(queue.runSync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    for (int i = 0; i < 10; ++i) queue.post([&order] { order.push_back(7); });
  }
  EXPECT_NE(worker, std::this_thread::get_id());
  EXPECT_EQ(order.size(), 111u);
  EXPECT_EQ(order[100], -1);
}

// A connection's destructor relies on this to tell whether it may wait for the network thread.
TEST(NetworkContextTest, KnowsItsOwnThread) {
  auto& network = NetworkContext::shared();
  std::promise<bool> onNetwork;
  asio::post(network.context(), [&] { onNetwork.set_value(network.isNetworkThread()); });
  EXPECT_TRUE(onNetwork.get_future().get());
  EXPECT_FALSE(network.isNetworkThread());
}

}  // namespace
}  // namespace veltra
