#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/ScreenPicture.h"

namespace veltra {

// A fixed number of NV12 buffers of one size for captured pictures: rows 64-byte aligned, so
// that the conversion and the encoder run on whole vectors. A buffer is free again once the last
// copy of its picture is gone, wherever that happens (usually on the encoder's thread). The
// "held" flag is our own atomic, released by the last copy and acquired by acquire(), so that a
// sanitizer sees the encoder's last read ordered before the next write into that buffer. The
// pool outlives its owner while any of its pictures do.
//
// THREADING: acquire() on one thread at a time (the capture queue); pictures on any thread.
class PicturePool : public std::enable_shared_from_this<PicturePool> {
 public:
  // Throws std::bad_alloc when the buffers cannot be had.
  static std::shared_ptr<PicturePool> create(int width, int height, int count);
  ~PicturePool();

  PicturePool(const PicturePool&) = delete;
  PicturePool& operator=(const PicturePool&) = delete;

  // A writable picture over a free buffer, without damage; an empty picture when every buffer
  // is still held.
  ScreenPicture acquire();

 private:
  struct Slot {
    uint8_t* memory = nullptr;
    std::atomic<bool> held{false};
  };

  PicturePool(int width, int height, int count);

  const int width_;
  const int height_;
  const int stride_;
  const size_t lumaSize_;
  const size_t size_;
  std::vector<Slot> slots_;
};

}  // namespace veltra
