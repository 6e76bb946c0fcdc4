#pragma once

#include <memory>
#include <string>
#include <thread>

#include "client/AudioOutput.h"

namespace veltra {

// The window's speaker: a playback stream on the desktop's sound server (libpulse; PipeWire's
// pulse server too), s16le 48 kHz stereo, asking for about 20 ms in the server (10 ms at a time)
// on top of what the jitter buffer holds. The server's write requests pull straight from the
// jitter buffer, so the server's clock paces the sound and nothing here sleeps.
//
// A server that cannot be reached, refuses the stream or goes away leaves the session silent
// until the next start(): nothing is reported and nothing retried within a session. libpulse
// stays out of this header.
//
// THREADING: as AudioOutput. libpulse's own main loop, its callbacks and every pull run on the
// thread "veltra.speaker", started by start() and woken and joined by stop() and the destructor;
// the main thread never waits on the server. The thread ends early on its own when the server
// fails.
class PulseAudioOutput final : public AudioOutput {
 public:
  // `server` as libpulse names one ("unix:/path", "tcp:host"); empty for the user's own
  // (PULSE_SERVER, client.conf, the session's default socket).
  explicit PulseAudioOutput(std::string server = {});
  ~PulseAudioOutput() override;

  PulseAudioOutput(const PulseAudioOutput&) = delete;
  PulseAudioOutput& operator=(const PulseAudioOutput&) = delete;

  void start(std::shared_ptr<AudioJitterBuffer> source) override;
  void stop() override;

 private:
  struct Playback;
  const std::string server_;
  std::unique_ptr<Playback> playback_;
  std::thread thread_;
};

}  // namespace veltra
