#pragma once

#include <cstdint>
#include <memory>

#include "host/ScreenSource.h"

namespace veltra {

// Screen 0 of an X display through XCB: MIT-SHM for the pixels (one shared segment, converted to
// NV12 with libyuv right after each grab, so one is enough), DAMAGE for drawing, XFIXES for the
// cursor image and its changes, and a pointer query per poll for motion. The damage a grab
// reports is the DAMAGE region it empties (fetched through an XFIXES region in the same round
// trip as the pixels) plus the pointer's old and new rectangles when the cursor moved or changed.
// With the pointer left out it neither asks where the pointer is nor draws it: XFIXES's word of a
// new cursor only makes takeCursor() fetch the image.
// Needs a TrueColor root of 24 or 32 bits in 32-bit pixels; without MIT-SHM (a server on another
// machine) it falls back to plain GetImage.
//
// THREADING: as ScreenSource: every method on the capture queue. XCB and the segment stay behind
// a pointer so that X11 headers stay out of this one.
class X11ScreenSource final : public ScreenSource {
 public:
  X11ScreenSource();
  ~X11ScreenSource() override;

  X11ScreenSource(const X11ScreenSource&) = delete;
  X11ScreenSource& operator=(const X11ScreenSource&) = delete;

  void setPointerDrawn(bool drawn) override;
  bool open(uint32_t displayID, int width, int height) override;
  bool poll() override;
  std::optional<CursorImage> takeCursor() override;
  bool grab(ScreenPicture& picture) override;
  bool broken() const override;
  int eventDescriptor() const override;
  void close() override;

 private:
  struct Session;
  std::unique_ptr<Session> session_;
  bool pointerDrawn_ = true;
};

}  // namespace veltra
