#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codec/PictureEncoder.h"
#include "harness/harness.h"

namespace veltra {

inline std::string currentThreadName() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// The planes of one NV12 picture, copied out so that the test holds no pool buffer.
struct NV12Copy {
  int width = 0, height = 0;
  std::vector<uint8_t> luma, chroma;  // chroma: interleaved U, V, `width` bytes a row

  NV12Copy() = default;
  explicit NV12Copy(const ScreenPicture& picture)
      : width(picture.width()), height(picture.height()) {
    for (int row = 0; row < height; ++row) {
      const uint8_t* line = picture.plane(0).data + row * picture.plane(0).stride;
      luma.insert(luma.end(), line, line + width);
      if (row % 2) continue;
      line = picture.plane(1).data + row / 2 * picture.plane(1).stride;
      chroma.insert(chroma.end(), line, line + width);
    }
  }
  int y(int x, int row) const { return luma[static_cast<size_t>(row) * width + x]; }
  int u(int x, int row) const { return chroma[static_cast<size_t>(row / 2) * width + x / 2 * 2]; }
  int v(int x, int row) const {
    return chroma[static_cast<size_t>(row / 2) * width + x / 2 * 2 + 1];
  }
};

// A PictureEncoder the test steers: it takes pictures or refuses them (as a busy encoder does),
// may keep the ones it took (as an encoder holds pictures in flight), and records what it saw.
// The record is shared so that it outlives the capture that owns the encoder.
class RecordingEncoder final : public PictureEncoder {
 public:
  struct Record {
    std::mutex mutex;
    std::condition_variable changed;
    bool accepting = true, holding = false;  // steering
    int offered = 0, taken = 0, stops = 0;
    std::string stopThread;
    std::vector<int64_t> times;                    // presentation times of the pictures taken
    std::vector<uint32_t> tags;                    // first four luma bytes of each picture taken
    std::vector<std::vector<PictureRect>> damage;  // of each picture taken
    std::vector<ScreenPicture> held;
    int width = 0, height = 0;  // of the last picture taken

    template <typename Condition>
    bool waitFor(Condition condition) {
      std::unique_lock lock(mutex);
      return changed.wait_for(lock, test::kPatience, condition);
    }
  };

  explicit RecordingEncoder(std::shared_ptr<Record> record) : record_(std::move(record)) {}

  bool encode(ScreenPicture picture, int64_t presentationTime) override {
    std::lock_guard lock(record_->mutex);
    ++record_->offered;
    record_->changed.notify_all();
    if (!record_->accepting || record_->stops > 0) return false;
    ++record_->taken;
    record_->times.push_back(presentationTime);
    uint32_t tag = 0;
    std::memcpy(&tag, picture.plane(0).data, sizeof tag);
    record_->tags.push_back(tag);
    record_->damage.push_back(picture.damage());
    record_->width = picture.width();
    record_->height = picture.height();
    if (record_->holding) record_->held.push_back(std::move(picture));
    return true;
  }
  void stop() override {
    std::lock_guard lock(record_->mutex);
    ++record_->stops;
    record_->stopThread = currentThreadName();
    record_->changed.notify_all();
  }
  void acknowledgeFrame() override {}

  // Test hook: what an encoding error does.
  void fail(const std::string& text) { onFailure(text); }

 private:
  std::shared_ptr<Record> record_;
};

}  // namespace veltra
