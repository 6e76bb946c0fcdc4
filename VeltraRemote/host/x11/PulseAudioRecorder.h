#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "host/HostAudio.h"

namespace veltra {

// Records a virtual display's sound server (VLVirtualDisplay::soundServer()): the null sink's
// monitor, 48 kHz stereo in fragments of 10 ms, each fragment one Opus frame (the restricted
// low-delay mode, 128 kbit/s). A frame whose every sample stays within kSilenceLevel is not
// encoded; the one right after a sound still is, so that the decoder can finish it. After such a
// gap the encoder starts afresh. libpulse and Opus stay out of this header.
//
// THREADING: as HostAudio. libpulse's main loop, the encoder and onPacket run on the thread
// "veltra.audio", which the destructor wakes and joins; it ends on its own when the server goes.
class PulseAudioRecorder final : public HostAudio {
 public:
  // Peak sample value (of 32767) up to which a frame counts as silent: about -66 dBFS, below
  // dither and the hiss of an idle stream.
  static constexpr int kSilenceLevel = 16;
  static constexpr int kBitrate = 128'000;

  PulseAudioRecorder();
  ~PulseAudioRecorder() override;

  PulseAudioRecorder(const PulseAudioRecorder&) = delete;
  PulseAudioRecorder& operator=(const PulseAudioRecorder&) = delete;

  // Looks the display's sound server up with VLVirtualDisplay::soundServerOf().
  void start(uint32_t displayID) override;
  // Records the server at the Unix socket `socket`.
  void startOn(const std::string& socket);

 private:
  struct Recording;
  std::unique_ptr<Recording> recording_;
  std::thread thread_;
};

}  // namespace veltra
