#include "qt/QtMainQueue.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <atomic>

namespace veltra {
namespace {

// The state one scheduled task shares with its handle. `timer` is touched on the GUI thread only.
struct TimedTask {
  std::shared_ptr<std::atomic<bool>> cancelled = std::make_shared<std::atomic<bool>>(false);
  QPointer<QTimer> timer;
};

}  // namespace

// The GUI thread's receiver of the queued invocations.
class QtMainQueue::Context : public QObject {
  Q_OBJECT

 public:
  explicit Context(QtMainQueue& queue) : queue_(queue) {}
  Q_INVOKABLE void runOne() { queue_.runOne(); }

 private:
  QtMainQueue& queue_;
};

QtMainQueue::QtMainQueue() : context_(std::make_unique<Context>(*this)) {}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  QMetaObject::invokeMethod(context_.get(), "runOne", Qt::QueuedConnection);
}

void QtMainQueue::runOne() {
  Task task;
  {
    std::lock_guard lock(mutex_);
    if (tasks_.empty()) return;
    task = std::move(tasks_.front());
    tasks_.pop_front();
  }
  task();
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
  post([context, timed, milliseconds, repeats, work = std::move(task)]() mutable {
    if (timed->cancelled->load()) return;
    auto* timer = new QTimer(context);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(!repeats);
    timer->setInterval(milliseconds);
    timed->timer = timer;
    QObject::connect(timer, &QTimer::timeout, context,
                     [timer, timed, repeats, work = std::move(work)] {
                       if (timed->cancelled->load()) {
                         timer->stop();
                         timer->deleteLater();
                         return;
                       }
                       if (!repeats) timer->deleteLater();
                       work();
                     });
    timer->start();
  });
  return handle;
}

}  // namespace veltra

#include "QtMainQueue.moc"
