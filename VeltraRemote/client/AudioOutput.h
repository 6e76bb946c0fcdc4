#pragma once

#include <memory>

#include "client/AudioJitterBuffer.h"

namespace veltra {

// Where the session's sound is heard: a device (or a file) that takes 48 kHz stereo from a jitter
// buffer at its own real-time pace, silence included, from start() until stop().
//
// THREADING: start(), stop() and the destructor on the client's main thread; the output pulls on
// a thread of its own. stop() (and the destructor) waits until that thread no longer touches the
// buffer.
class AudioOutput {
 public:
  virtual ~AudioOutput() = default;
  // Begins pulling from `source`; a second start() switches to the new source.
  virtual void start(std::shared_ptr<AudioJitterBuffer> source) = 0;
  virtual void stop() = 0;
};

}  // namespace veltra
