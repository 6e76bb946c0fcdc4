#include "client/WavAudioOutput.h"

#include <array>
#include <chrono>
#include <ctime>
#include <vector>

#include "support/ThreadName.h"

namespace veltra {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPeriod = std::chrono::milliseconds(10);

void putLittleEndian(uint8_t* at, uint32_t value, int bytes) {
  for (int index = 0; index < bytes; ++index)
    at[index] = static_cast<uint8_t>(value >> (8 * index));
}

int64_t monotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000 + now.tv_nsec / 1'000;
}

}  // namespace

WavAudioOutput::WavAudioOutput(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {
  if (file_) writeHeader();
}

WavAudioOutput::~WavAudioOutput() {
  stop();
  if (file_) std::fclose(file_);
}

void WavAudioOutput::start(std::shared_ptr<AudioJitterBuffer> source) {
  stop();
  if (!file_) return;
  stopping_ = false;
  thread_ = std::thread([this, source = std::move(source)]() mutable { run(std::move(source)); });
}

void WavAudioOutput::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  writeHeader();
}

void WavAudioOutput::run(std::shared_ptr<AudioJitterBuffer> source) {
  setCurrentThreadName("veltra.wav");
  std::vector<int16_t> chunk(AudioJitterBuffer::kStepFrames * AudioJitterBuffer::kChannels);
  if (firstSampleMicros_.load() == 0) firstSampleMicros_ = monotonicMicros();
  Clock::time_point due = Clock::now();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    // A late wake-up writes every period it missed: the file's clock is the real one.
    while (Clock::now() >= due) {
      lock.unlock();
      source->pull(chunk);
      if (std::fwrite(chunk.data(), sizeof(int16_t), chunk.size(), file_) != chunk.size())
        failed_ = true;
      dataBytes_ += chunk.size() * sizeof(int16_t);
      due += kPeriod;
      lock.lock();
      if (stopping_) break;
    }
    wake_.wait_until(lock, due, [this] { return stopping_; });
  }
}

// RIFF header of 16-bit PCM, 48 kHz stereo, with the sizes written so far.
void WavAudioOutput::writeHeader() {
  constexpr uint32_t kRate = AudioJitterBuffer::kRate;
  constexpr uint32_t kChannels = AudioJitterBuffer::kChannels;
  const auto data = static_cast<uint32_t>(std::min<uint64_t>(dataBytes_, UINT32_MAX - 36));
  std::array<uint8_t, 44> header{
      'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 0,   0,   0, 0, 0, 0,
      0,   0,   0,   0,   0, 0, 0, 0, 0,   0,   0,   0,   0,   0,   'd', 'a', 't', 'a', 0, 0, 0, 0};
  putLittleEndian(&header[4], 36 + data, 4);
  putLittleEndian(&header[16], 16, 4);  // size of the format chunk
  putLittleEndian(&header[20], 1, 2);   // PCM
  putLittleEndian(&header[22], kChannels, 2);
  putLittleEndian(&header[24], kRate, 4);
  putLittleEndian(&header[28], kRate * kChannels * 2, 4);  // bytes per second
  putLittleEndian(&header[32], kChannels * 2, 2);          // bytes per frame
  putLittleEndian(&header[34], 16, 2);                     // bits per sample
  putLittleEndian(&header[40], data, 4);
  const long end = std::ftell(file_);
  std::fseek(file_, 0, SEEK_SET);
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) failed_ = true;
  if (end > 0) std::fseek(file_, end, SEEK_SET);
  if (std::fflush(file_) != 0) failed_ = true;
}

}  // namespace veltra
