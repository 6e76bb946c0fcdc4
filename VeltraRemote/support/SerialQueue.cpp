#include "support/SerialQueue.h"

#include <asio/post.hpp>
#include <future>

#include "support/ThreadName.h"

namespace veltra {

SerialQueue::SerialQueue(std::string name)
    : name_(std::move(name)), work_(asio::make_work_guard(context_)) {
  thread_ = std::thread([this] {
    setCurrentThreadName(name_);
    context_.run();
  });
}

SerialQueue::~SerialQueue() {
  // Tasks already queued run first: stop() is itself a queued task.
  asio::post(context_, [this] { context_.stop(); });
  work_.reset();
  if (thread_.joinable()) thread_.join();
}

void SerialQueue::post(std::function<void()> task) {
  asio::post(context_, std::move(task));
}

void SerialQueue::runSync(const std::function<void()>& task) {
  if (isCurrent()) {
    task();
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  asio::post(context_, [&] {
    try {
      task();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  finished.get();
}

}  // namespace veltra
