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
  // False once the display has gone by itself (its server was killed or crashed): the host then
  // makes a new one instead of handing the dead one to the next session.
  virtual bool alive() const = 0;
};

}  // namespace veltra
