#include "support/Allocator.h"

#include <malloc.h>

namespace veltra {

void tuneAllocatorForStreaming() {
  // Serve buffers up to 32 MiB from the heap and only give memory back beyond 64 MiB of slack.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

}  // namespace veltra
