#include "support/Generation.h"

#include <atomic>

namespace veltra {

Generation newGeneration() {
  static std::atomic<Generation> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace veltra
