#include "view/RemoteClickCounter.h"

#include <algorithm>

namespace veltra {

int RemoteClickCounter::press(int button, QPointF position, uint64_t time) {
  const bool continues = count_ > 0 && button == button_ && time >= time_ &&
                         time - time_ <= static_cast<uint64_t>(interval_) &&
                         (position - position_).manhattanLength() <= distance_;
  count_ = continues ? std::min(count_ + 1, kMaximum) : 1;
  button_ = button;
  position_ = position;
  time_ = time;
  return count_;
}

int RemoteClickCounter::release(int button) const {
  return button == button_ && count_ > 0 ? count_ : 1;
}

}  // namespace veltra
