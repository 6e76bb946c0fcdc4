#include "codec/PicturePool.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace veltra {
namespace {

constexpr size_t kAlignment = 64;

size_t roundUp(size_t size) {
  return (size + kAlignment - 1) / kAlignment * kAlignment;
}

}  // namespace

std::shared_ptr<PicturePool> PicturePool::create(int width, int height, int count) {
  return std::shared_ptr<PicturePool>(new PicturePool(width, height, count));
}

PicturePool::PicturePool(int width, int height, int count)
    : width_(width),
      height_(height),
      stride_(static_cast<int>(roundUp(static_cast<size_t>(std::max(width, 0))))),
      lumaSize_(static_cast<size_t>(stride_) * std::max(height, 0)),
      size_(lumaSize_ + static_cast<size_t>(stride_) * ((std::max(height, 0) + 1) / 2)),
      slots_(static_cast<size_t>(std::max(count, 0))) {
  for (Slot& slot : slots_) {
    slot.memory = static_cast<uint8_t*>(std::aligned_alloc(kAlignment, roundUp(size_)));
    if (!slot.memory) {
      for (Slot& allocated : slots_) std::free(allocated.memory);
      throw std::bad_alloc();
    }
  }
}

PicturePool::~PicturePool() {
  for (Slot& slot : slots_) std::free(slot.memory);
}

ScreenPicture PicturePool::acquire() {
  for (Slot& slot : slots_) {
    if (slot.held.load(std::memory_order_acquire)) continue;
    slot.held.store(true, std::memory_order_relaxed);
    // The last copy of the picture hands the buffer back, on whatever thread that is.
    std::shared_ptr<void> lease(slot.memory, [pool = shared_from_this(), &slot](void*) {
      slot.held.store(false, std::memory_order_release);
    });
    return ScreenPicture(width_, height_, PixelFormat::nv12,
                         {{{slot.memory, stride_}, {slot.memory + lumaSize_, stride_}}},
                         std::move(lease));
  }
  return {};
}

}  // namespace veltra
