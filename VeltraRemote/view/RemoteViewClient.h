#pragma once

#include "protocol/RemoteInput.h"

namespace veltra {

// The part of a client session that the picture view talks to: its state for presentation and
// capture, and where input goes. RemoteClient serves it in the application (RemoteDesktopView
// adapts it); tests put a recording fake in its place.
//
// THREADING: GUI thread only, like RemoteClient itself.
class RemoteViewClient {
 public:
  virtual ~RemoteViewClient() = default;

  virtual bool connected() const = 0;
  virtual bool inputEnabled() const = 0;
  // Input capture turns on only while connected with a picture; turning it off tells the host to
  // let go of everything it holds pressed.
  virtual void setInputEnabled(bool enabled) = 0;
  // Forwarded only while input is enabled; invalid input is dropped.
  virtual void send(const RemoteInput& input) = 0;
  // One new picture reached the screen.
  virtual void recordPresentation() = 0;
};

}  // namespace veltra
