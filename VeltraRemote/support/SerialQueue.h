#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <functional>
#include <string>
#include <thread>

namespace veltra {

// A serial queue with a thread of its own (capture, encoder output, decode): tasks run one at a
// time in the order posted. Asio timers can be bound to context().
//
// THREADING: post() and runSync() from any thread. The destructor runs the tasks already posted,
// then joins the thread; call it from another thread than the queue's own.
class SerialQueue {
 public:
  // `name` becomes the thread's name; it should end in what the queue is for ("capture",
  // "encode", "decode").
  explicit SerialQueue(std::string name);
  ~SerialQueue();

  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void post(std::function<void()> task);
  // Runs `task` on the queue and waits for it; runs it at once when called from the queue
  // itself (waiting there would deadlock).
  void runSync(const std::function<void()>& task);
  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

  asio::io_context& context() { return context_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

}  // namespace veltra
