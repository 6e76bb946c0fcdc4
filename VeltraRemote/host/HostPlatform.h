#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/HostAudio.h"
#include "host/HostClipboard.h"
#include "host/ProcessActivity.h"
#include "host/RemoteCapture.h"
#include "host/RemoteInputInjector.h"
#include "host/VirtualDisplay.h"
#include "protocol/PacketSender.h"
#include "protocol/RemoteConfiguration.h"

namespace veltra {

// The parts of the host that touch the operating system, made by one factory so that the host's
// state machine runs against fakes in tests and against X11 (makeX11HostPlatform) in the product.
//
// THREADING: every method is called on the main thread and returns within milliseconds; work
// that takes longer (starting or ending a display server) runs elsewhere and completes on the
// main queue.
class HostPlatform {
 public:
  using DisplayCompletion =
      std::function<void(std::unique_ptr<VirtualDisplay> display, std::string error)>;

  virtual ~HostPlatform() = default;

  // Whether displays can be created and captured; asked at every call, never cached.
  virtual bool screenPermission() = 0;
  // Whether input can be injected on them.
  virtual bool inputPermission() = 0;

  // What starts inside every display created from now on: "" picks the first desktop session
  // installed, "none" keeps the displays empty, anything else is a shell command. Returns what
  // will run, for the user to see: the command, or "" for nothing.
  virtual std::string chooseSession(const std::string& choice) = 0;

  // Creates a display of exactly `configuration`'s mode; the completion gets it, or the failure
  // text, on the main queue.
  virtual void createDisplay(const RemoteConfiguration& configuration,
                             DisplayCompletion completion) = 0;
  // Removes a display without waiting for it to go. Displays released before a createDisplay()
  // are gone before that creation starts.
  virtual void releaseDisplay(std::unique_ptr<VirtualDisplay> display) = 0;

  // A session's capture with its encoder sending on `sender`. Throws RemoteError (the encoder's
  // texts).
  virtual std::unique_ptr<RemoteCapture> makeCapture(const RemoteConfiguration& configuration,
                                                     std::shared_ptr<PacketSender> sender) = 0;
  virtual std::unique_ptr<RemoteInputInjector> makeInjector() = 0;
  // A display's clipboard for a session with the clipboard extension; nullptr where there is
  // none, and the extension is then not offered.
  virtual std::unique_ptr<HostClipboard> makeClipboard() { return nullptr; }
  // A display's sound recorder for a session with the audio extension; nullptr where displays
  // have no sound, and the extension is then not accepted.
  virtual std::unique_ptr<HostAudio> makeAudio() { return nullptr; }
  // Keeps the machine awake while held; nothing where that is not possible.
  virtual std::unique_ptr<ProcessActivity> beginActivity(const std::string& reason) = 0;
};

}  // namespace veltra
