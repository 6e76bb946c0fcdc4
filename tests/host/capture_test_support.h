#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codec/PictureEncoder.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {

// Generous bound for conditions that normally hold within milliseconds (sanitizer builds on a
// shared 2-core machine are slow); never a delay the tests sit through.
constexpr std::chrono::seconds kCaptureBound{30};

inline std::string currentThreadName() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// The planes of one NV12 picture, copied out so that the test holds no pool buffer.
struct NV12Copy {
  int width = 0;
  int height = 0;
  int format = -1;
  std::vector<uint8_t> luma;
  std::vector<uint8_t> chroma;  // interleaved U, V; width bytes per row of two pixels

  explicit NV12Copy(const AVFrame* frame = nullptr) {
    if (!frame) return;
    width = frame->width;
    height = frame->height;
    format = frame->format;
    luma.resize(static_cast<size_t>(width) * height);
    chroma.resize(static_cast<size_t>(width) * ((height + 1) / 2));
    for (int y = 0; y < height; ++y) {
      std::memcpy(&luma[static_cast<size_t>(y) * width], frame->data[0] + y * frame->linesize[0],
                  width);
    }
    for (int y = 0; y < (height + 1) / 2; ++y) {
      std::memcpy(&chroma[static_cast<size_t>(y) * width], frame->data[1] + y * frame->linesize[1],
                  width);
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
    // Steering.
    bool accepting = true;
    bool holding = false;
    bool copying = false;
    // What happened.
    int offered = 0;
    int taken = 0;
    int stops = 0;
    std::string stopThread;
    std::vector<int64_t> times;  // presentation times of the pictures taken
    std::vector<uint32_t> tags;  // first four luma bytes of each picture taken
    std::vector<VideoPicture> held;
    int format = -1, width = 0, height = 0;  // of the last picture taken
    NV12Copy last;                           // the last picture taken, while `copying`

    template <typename Condition>
    bool waitFor(Condition condition) {
      std::unique_lock lock(mutex);
      return changed.wait_for(lock, kCaptureBound, condition);
    }
  };

  explicit RecordingEncoder(std::shared_ptr<Record> record) : record_(std::move(record)) {}

  bool encode(VideoPicture picture, int64_t presentationTime) override {
    std::lock_guard lock(record_->mutex);
    ++record_->offered;
    record_->changed.notify_all();
    if (!record_->accepting || record_->stops > 0) return false;
    ++record_->taken;
    record_->times.push_back(presentationTime);
    uint32_t tag = 0;
    std::memcpy(&tag, picture.frame()->data[0], sizeof tag);
    record_->tags.push_back(tag);
    record_->format = picture.pixelFormat();
    record_->width = picture.width();
    record_->height = picture.height();
    if (record_->copying) record_->last = NV12Copy(picture.frame());
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
