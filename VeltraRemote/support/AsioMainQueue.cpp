#include "support/AsioMainQueue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace veltra {
namespace {

// One scheduled task. Lives as long as its timer waits; the handle cancels it by flag and by
// cancelling the timer on the queue's thread (the timer is not thread-safe).
struct TimedTask : std::enable_shared_from_this<TimedTask> {
  TimedTask(asio::io_context& context, MainQueue::Duration every, MainQueue::Task work, bool repeat)
      : timer(context), interval(every), task(std::move(work)), repeats(repeat) {}

  void arm() {
    timer.expires_after(interval);
    timer.async_wait([self = shared_from_this()](const std::error_code& error) {
      if (error || self->cancelled->load()) return;
      // Re-arm first so that a task that cancels itself wins.
      if (self->repeats) self->arm();
      self->task();
    });
  }

  asio::steady_timer timer;
  MainQueue::Duration interval;
  MainQueue::Task task;
  bool repeats;
  std::shared_ptr<std::atomic<bool>> cancelled = std::make_shared<std::atomic<bool>>(false);
};

TaskHandle schedule(asio::io_context& context, MainQueue::Duration interval, MainQueue::Task task,
                    bool repeats) {
  auto timed = std::make_shared<TimedTask>(context, interval, std::move(task), repeats);
  std::weak_ptr<TimedTask> weak = timed;
  TaskHandle handle(timed->cancelled, [&context, weak] {
    asio::post(context, [weak] {
      if (auto timedTask = weak.lock()) timedTask->timer.cancel();
    });
  });
  asio::post(context, [timed] {
    if (!timed->cancelled->load()) timed->arm();
  });
  return handle;
}

}  // namespace

// Marks the running thread as the main thread for isCurrent() while it drives the context.
class AsioMainQueue::Scope {
 public:
  explicit Scope(AsioMainQueue& queue) : queue_(queue) {
    queue_.runner_.store(std::this_thread::get_id());
  }
  ~Scope() { queue_.runner_.store(std::thread::id{}); }

 private:
  AsioMainQueue& queue_;
};

AsioMainQueue::AsioMainQueue() : work_(asio::make_work_guard(context_)) {}

AsioMainQueue::~AsioMainQueue() {
  work_.reset();
  context_.stop();
}

void AsioMainQueue::post(Task task) {
  asio::post(context_, std::move(task));
}

TaskHandle AsioMainQueue::postDelayed(Duration delay, Task task) {
  return schedule(context_, delay, std::move(task), false);
}

TaskHandle AsioMainQueue::repeating(Duration interval, Task task) {
  return schedule(context_, interval, std::move(task), true);
}

bool AsioMainQueue::isCurrent() const {
  return runner_.load() == std::this_thread::get_id();
}

void AsioMainQueue::run() {
  Scope scope(*this);
  context_.restart();
  context_.run();
}

void AsioMainQueue::stop() {
  context_.stop();
}

void AsioMainQueue::runFor(Duration duration) {
  Scope scope(*this);
  context_.restart();
  context_.run_for(duration);
}

bool AsioMainQueue::runUntil(const std::function<bool()>& condition, Duration timeout) {
  Scope scope(*this);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  context_.restart();
  while (!condition()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now,
                                                                     std::chrono::milliseconds(10));
    context_.run_one_for(slice);
    if (context_.stopped()) context_.restart();
  }
  return true;
}

}  // namespace veltra
