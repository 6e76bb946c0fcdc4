#pragma once

namespace veltra {

// Video packets of up to megabytes are allocated and freed many times a second. With glibc's
// defaults each such buffer is returned to the kernel when freed and faulted in again when the
// next one is made (about 10x the cost of sealing it). Programs call this once at start-up to
// keep those buffers in the heap. Main thread, before other threads start.
void tuneAllocatorForStreaming();

}  // namespace veltra
