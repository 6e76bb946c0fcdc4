#pragma once

#include <cstdint>
#include <functional>

#include "protocol/AudioPacket.h"

namespace veltra {

// The sound of one virtual display for the audio extension: what its programs play, as numbered
// 10 ms Opus frames of 48 kHz stereo. Silent frames are not sent, but still counted, so a still
// desktop costs nothing on the wire.
//
// THREADING: start() and the destructor on the main thread; onPacket is called on the
// recorder's own thread ("veltra.audio"), and the owner hops. The destructor stops recording and
// waits for that thread.
class HostAudio {
 public:
  virtual ~HostAudio() = default;

  // One encoded frame. Set before start().
  std::function<void(AudioPacket)> onPacket;

  // Starts recording display `displayID`'s sound. A display without a sound server, or one that
  // cannot be reached, leaves the session silent, silently.
  virtual void start(uint32_t displayID) = 0;
};

}  // namespace veltra
