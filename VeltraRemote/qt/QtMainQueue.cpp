#include "qt/QtMainQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cstdint>

namespace veltra {
namespace {

// The state one scheduled task shares with its handle. `timer` is touched on the GUI thread only.
struct TimedTask {
  std::shared_ptr<std::atomic<bool>> cancelled = std::make_shared<std::atomic<bool>>(false);
  QPointer<QTimer> timer;
};

}  // namespace

QtMainQueue::QtMainQueue()
    : context_(std::make_unique<QObject>()), wakeup_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wakeup_ < 0) qFatal("QtMainQueue: no eventfd");
  notifier_ = std::make_unique<QSocketNotifier>(wakeup_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, context_.get(),
                   [this] { runPosted(); });
}

QtMainQueue::~QtMainQueue() {
  notifier_.reset();
  ::close(wakeup_);
  // Timers and their tasks go with the context, on this (the GUI) thread.
  context_.reset();
  std::deque<Task> unrun;
  std::lock_guard lock(mutex_);
  unrun.swap(posted_);
}

void QtMainQueue::post(Task task) {
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    wasEmpty = posted_.empty();
    posted_.push_back(std::move(task));
  }
  // One wake-up per batch: the GUI thread takes everything queued when it runs.
  if (wasEmpty) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeup_, &one, sizeof one);
  }
}

void QtMainQueue::runPosted() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(wakeup_, &count, sizeof count);
  // Read before taking the batch: a task posted after the swap finds the queue empty and wakes
  // us again.
  std::deque<Task> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(posted_);
  }
  while (!batch.empty()) {
    Task task = std::move(batch.front());
    batch.pop_front();
    task();
  }
}

TaskHandle QtMainQueue::postDelayed(Duration delay, Task task) {
  return schedule(delay, std::move(task), false);
}

TaskHandle QtMainQueue::repeating(Duration interval, Task task) {
  return schedule(interval, std::move(task), true);
}

bool QtMainQueue::isCurrent() const {
  return QThread::currentThread() == context_->thread();
}

TaskHandle QtMainQueue::schedule(Duration interval, Task task, bool repeats) {
  auto timed = std::make_shared<TimedTask>();
  QObject* context = context_.get();
  std::weak_ptr<TimedTask> weak = timed;
  // Cancelling stops the timer on the GUI thread: QTimer is not thread-safe, and a repeating one
  // would otherwise keep firing (and be kept) until the queue goes.
  TaskHandle handle(timed->cancelled, [this, weak] {
    post([weak] {
      if (auto cancelledTask = weak.lock(); cancelledTask && cancelledTask->timer) {
        cancelledTask->timer->stop();
        cancelledTask->timer->deleteLater();
      }
    });
  });
  const auto milliseconds = static_cast<int>(std::max<Duration::rep>(0, interval.count()));
  post([context, timed, milliseconds, repeats, work = std::make_shared<Task>(std::move(task))] {
    if (timed->cancelled->load()) return;
    auto* timer = new QTimer(context);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(!repeats);
    timer->setInterval(milliseconds);
    timed->timer = timer;
    // The connection, and with it the task, lives as long as the timer, which is deleted on the
    // GUI thread.
    QObject::connect(timer, &QTimer::timeout, context, [timer, timed, repeats, work] {
      if (timed->cancelled->load()) {
        timer->stop();
        timer->deleteLater();
        return;
      }
      if (!repeats) timer->deleteLater();
      (*work)();
    });
    timer->start();
  });
  return handle;
}

}  // namespace veltra
