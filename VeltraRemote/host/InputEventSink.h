#pragma once

#include <cstdint>
#include <optional>

namespace veltra {

// A display's rectangle in the coordinates its pointer events use.
struct DisplayBounds {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  bool empty() const { return width <= 0 || height <= 0; }
};

struct PixelPoint {
  int x = 0;
  int y = 0;

  friend bool operator==(const PixelPoint&, const PixelPoint&) = default;
};

// Where RemoteInputInjector's events go: the platform's synthetic input (XTEST on X11), or a
// recording fake in tests. Posting calls only queue the event; flush() sends what was queued, so
// that one input costs one write however many events it makes. Posting calls go to the display
// last asked about (canInject(), bounds()); with none reachable they do nothing.
//
// Button numbers follow X: 1 left, 2 middle, 3 right, 4 and 5 wheel up and down, 6 and 7 wheel
// left and right.
//
// THREADING: main thread only, like the injector that owns it.
class InputEventSink {
 public:
  virtual ~InputEventSink() = default;

  // Whether input can be injected on this display (its server is reachable and has XTEST);
  // false for display 0, which means none.
  virtual bool canInject(uint32_t displayID) = 0;
  // The display's rectangle; empty when it is unknown or gone.
  virtual DisplayBounds bounds(uint32_t displayID) = 0;
  // The platform's key code for a macOS virtual key code, or nothing when the platform has no
  // such key. The table is constant: the same code always gives the same answer.
  virtual std::optional<uint32_t> keyCode(uint16_t macKey) = 0;

  virtual void key(uint32_t keyCode, bool press) = 0;
  // To a pixel of the display, absolute.
  virtual void motion(PixelPoint point) = 0;
  virtual void button(int xButton, bool press) = 0;
  virtual void flush() = 0;
};

}  // namespace veltra
