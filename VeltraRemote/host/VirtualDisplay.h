#pragma once

#include <cstdint>

namespace veltra {

// A display of exactly the mode a session asked for, which the capture streams and the injector
// aims at. It exists as long as this object: releasing it removes the display. Platform parts
// implement it (VLVirtualDisplay on X11); the host's tests use a fake.
class VirtualDisplay {
 public:
  virtual ~VirtualDisplay() = default;
  // The system's identifier of the display, never 0.
  virtual uint32_t displayID() const = 0;
};

}  // namespace veltra
