#include "support/MainQueue.h"

namespace veltra {

TaskHandle::TaskHandle(std::shared_ptr<std::atomic<bool>> cancelled, std::function<void()> onCancel)
    : cancelled_(std::move(cancelled)),
      onCancel_(onCancel ? std::make_shared<std::function<void()>>(std::move(onCancel)) : nullptr) {
}

void TaskHandle::cancel() {
  if (!cancelled_) return;
  if (cancelled_->exchange(true)) return;
  if (onCancel_ && *onCancel_) (*onCancel_)();
}

bool TaskHandle::isCancelled() const {
  return cancelled_ && cancelled_->load();
}

}  // namespace veltra
