#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "codec/ScreenPicture.h"

namespace veltra {

// What the capture hands its pictures to and the host acknowledges frames on: VideoEncoder in a
// session, a scripted fake in the capture's and the host's tests.
//
// THREADING: encode(), ready() and stop() on the capture queue, acknowledgeFrame() on the main
// thread.
// onFailure may be called on any thread; set it before the first encode().
class PictureEncoder {
 public:
  virtual ~PictureEncoder() = default;

  // A fatal encoding error, as the text the session ends with.
  std::function<void(std::string)> onFailure;

  // Takes `picture` or drops it; true when taken. A caller that keeps changes pending until a
  // picture of them is taken relies on this answer. `presentationTime`: microseconds, monotonic.
  virtual bool encode(ScreenPicture picture, int64_t presentationTime) = 0;
  // Whether encode() would take a picture now, so that a caller may spare itself the grab of one
  // that would be dropped. Only a hint: encode() still decides.
  virtual bool ready() const { return true; }
  // Whether it is only finishing the last picture taken, and so ready again within moments by
  // itself (not waiting for the client's acknowledgements). Only a hint.
  virtual bool busy() const { return false; }
  // Drops every later picture and finishes what was taken. A second call does nothing.
  virtual void stop() = 0;
  // One frameAck from the client.
  virtual void acknowledgeFrame() = 0;
  // What encodes, for the user to see ("libx264", "h264_vaapi"); "" where nothing says. Any
  // thread.
  virtual std::string name() const { return {}; }
};

}  // namespace veltra
