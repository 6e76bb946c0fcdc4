#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "client/AudioOutput.h"

namespace veltra {

// The headless client's speaker: a WAV file (48 kHz, stereo, 16-bit) written in real time, 10 ms
// every 10 ms, silence included, so that a sound's place in the file is the moment it was played:
// sample n was played at firstSampleMicros() + n / 48 kHz. The header's sizes are brought up to
// date at every stop(), so the file is complete whenever the output is stopped.
//
// THREADING: as AudioOutput; the writing thread is "veltra.wav". firstSampleMicros() from any
// thread.
class WavAudioOutput final : public AudioOutput {
 public:
  // Creates (or empties) `path`; ok() tells whether that worked.
  explicit WavAudioOutput(const std::string& path);
  ~WavAudioOutput() override;

  bool ok() const { return file_ != nullptr && !failed_; }
  // CLOCK_MONOTONIC microseconds of the file's first sample; 0 before the first start().
  int64_t firstSampleMicros() const { return firstSampleMicros_.load(); }

  void start(std::shared_ptr<AudioJitterBuffer> source) override;
  void stop() override;

 private:
  void run(std::shared_ptr<AudioJitterBuffer> source);
  void writeHeader();

  std::FILE* file_ = nullptr;
  std::atomic<bool> failed_{false};
  uint64_t dataBytes_ = 0;  // the writing thread's while it runs
  std::atomic<int64_t> firstSampleMicros_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace veltra
