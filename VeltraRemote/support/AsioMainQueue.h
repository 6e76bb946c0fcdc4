#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <functional>
#include <thread>

#include "support/MainQueue.h"

namespace veltra {

// MainQueue on an Asio io_context, driven by whichever thread calls run(), runFor() or
// runUntil() (the program's main thread). Headless programs and tests use it.
class AsioMainQueue final : public MainQueue {
 public:
  AsioMainQueue();
  ~AsioMainQueue() override;

  void post(Task task) override;
  TaskHandle postDelayed(Duration delay, Task task) override;
  TaskHandle repeating(Duration interval, Task task) override;
  bool isCurrent() const override;

  // Runs tasks until stop() is called. The calling thread becomes the main thread.
  void run();
  // Makes run() return; callable from any thread (and from signal-safe contexts via post).
  void stop();
  // Runs tasks for `duration`.
  void runFor(Duration duration);
  // Runs tasks until `condition` holds (checked after every task and at least every 10 ms) or
  // `timeout` passes; returns whether it holds. For tests and short waits in tools.
  bool runUntil(const std::function<bool()>& condition, Duration timeout);

  asio::io_context& context() { return context_; }

 private:
  class Scope;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<std::thread::id> runner_{};
};

}  // namespace veltra
