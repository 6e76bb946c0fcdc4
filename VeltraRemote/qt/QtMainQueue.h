#pragma once

#include <QObject>
#include <deque>
#include <memory>
#include <mutex>

#include "support/MainQueue.h"

class QSocketNotifier;

namespace veltra {

// MainQueue on Qt's event loop, for the desktop applications. Posted tasks wait in a queue of
// our own, guarded by a mutex, and an eventfd watched by a QSocketNotifier wakes the GUI thread
// to run them in order; delays and repeats are precise QTimers made on the GUI thread. Posting
// from other threads never hands Qt an object to carry across: Qt's queued invocations share
// their functor with the poster (so a task could die on the posting thread, which is fatal for a
// task holding the last reference to a capture that joins its own thread), and they synchronise
// with futexes that ThreadSanitizer cannot see.
//
// Create it on the GUI thread after the QApplication; it must outlive every object that posts to
// it. Tasks still queued when it is destroyed do not run. A task, and everything it captured, is
// destroyed on the GUI thread, whichever thread posted it.
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
  TaskHandle schedule(Duration interval, Task task, bool repeats);
  // GUI thread: runs the tasks posted so far.
  void runPosted();

  std::unique_ptr<QObject> context_;
  int wakeup_ = -1;  // eventfd
  std::unique_ptr<QSocketNotifier> notifier_;
  std::mutex mutex_;
  std::deque<Task> posted_;  // guarded by mutex_
};

}  // namespace veltra
