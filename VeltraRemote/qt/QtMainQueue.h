#pragma once

#include <QObject>
#include <memory>

#include "support/MainQueue.h"

namespace veltra {

// MainQueue on Qt's event loop, for the desktop applications: tasks are queued invocations on a
// context object of the GUI thread, delays and repeats are precise QTimers. Create it on the GUI
// thread after the QApplication; it must outlive every object that posts to it. Tasks still
// queued when it is destroyed do not run.
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

  std::unique_ptr<QObject> context_;
};

}  // namespace veltra
