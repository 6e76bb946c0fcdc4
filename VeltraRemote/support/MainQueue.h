#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace veltra {

// A cancellable scheduled task. Copies share one task; cancelling any of them cancels it. A
// default-constructed handle refers to nothing. Cancel from the queue that runs the task to be
// sure it does not run again; from another thread it may still run once if already started.
class TaskHandle {
 public:
  TaskHandle() = default;
  explicit TaskHandle(std::shared_ptr<std::atomic<bool>> cancelled,
                      std::function<void()> onCancel = {});

  void cancel();
  bool isCancelled() const;
  explicit operator bool() const { return cancelled_ != nullptr; }

 private:
  std::shared_ptr<std::atomic<bool>> cancelled_;
  std::shared_ptr<std::function<void()>> onCancel_;
};

// The one thread of a program that owns all state of its long-lived objects (host, client,
// windows). Every callback from a wire, capture, encoder or decoder queue hops here.
// Implementations: AsioMainQueue (headless programs and tests), a Qt one (desktop applications).
// All methods may be called from any thread.
class MainQueue {
 public:
  using Task = std::function<void()>;
  using Duration = std::chrono::milliseconds;

  virtual ~MainQueue() = default;

  // Runs `task` on the main thread after everything posted before it.
  virtual void post(Task task) = 0;
  // Runs `task` once, `delay` from now, unless cancelled first.
  virtual TaskHandle postDelayed(Duration delay, Task task) = 0;
  // Runs `task` every `interval`, the first time one interval from now, until cancelled.
  virtual TaskHandle repeating(Duration interval, Task task) = 0;
  // Whether the caller is on the main thread.
  virtual bool isCurrent() const = 0;
};

}  // namespace veltra
