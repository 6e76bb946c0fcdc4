#pragma once

#include <QObject>
#include <deque>
#include <memory>
#include <mutex>

#include "support/MainQueue.h"

namespace veltra {

// MainQueue on Qt's event loop, for the desktop applications: tasks wait in a queue of our own
// and one queued invocation per task on a context object of the GUI thread runs them in order;
// delays and repeats are precise QTimers. Create it on the GUI thread after the QApplication; it
// must outlive every object that posts to it. Tasks still queued when it is destroyed do not run.
//
// The tasks themselves cross threads through `mutex_`, and the queued invocation is made by name,
// so nothing of ours travels inside Qt's event: Qt's locks are futexes that ThreadSanitizer
// cannot see, and a task (or a functor) handed over in a Qt event would look like a race in the
// code that posted it.
//
// All MainQueue methods may be called from any thread.
class QtMainQueue final : public MainQueue {
 public:
  QtMainQueue();
  ~QtMainQueue() override;

  void post(Task task) override;
  TaskHandle postDelayed(Duration delay, Task task) override;
  TaskHandle repeating(Duration interval, Task task) override;
  bool isCurrent() const override;

 private:
  class Context;
  TaskHandle schedule(Duration interval, Task task, bool repeats);
  // GUI thread: runs the oldest task waiting.
  void runOne();

  std::unique_ptr<Context> context_;
  std::mutex mutex_;
  std::deque<Task> tasks_;  // guarded by mutex_
};

}  // namespace veltra
