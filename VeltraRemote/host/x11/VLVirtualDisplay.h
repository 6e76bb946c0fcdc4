#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/VirtualDisplay.h"
#include "host/x11/SessionKeeper.h"
#include "support/SerialQueue.h"

namespace veltra {

class MainQueue;

struct VirtualDisplayRequest {
  VirtualDisplayRequest() = default;
  VirtualDisplayRequest(int width_, int height_, double refreshRate_, std::string command = {})
      : width(width_),
        height(height_),
        refreshRate(refreshRate_),
        sessionCommand(std::move(command)) {}

  int width = 0;
  int height = 0;
  double refreshRate = 0;  // Xvfb has no refresh rate; kept for the record of the mode
  // Run by /bin/sh inside the display, on its own D-Bus session bus where dbus-run-session is
  // installed, in the environment of a fresh X11 login; empty for none.
  std::string sessionCommand;

  // Test seams. Where Xvfb and dbus-run-session are looked for (a PATH-style list); empty
  // means $PATH.
  std::string searchPath;
  // How long the server may take to report that it is ready.
  std::chrono::milliseconds startTimeout{10'000};
  // How long the sound server may take to accept connections; the display goes on without sound
  // after that.
  std::chrono::milliseconds soundTimeout{3'000};
};

// A private Xvfb server of exactly the requested size (depth 24, 110 dpi), reachable only with a
// fresh MIT-MAGIC-COOKIE-1 held in a private directory, and an optional session command inside
// it. Its X display number is the display identifier. The root window carries the name
// "Veltra Remote Display" (WM_NAME), where window managers and xprop show it. Where PulseAudio
// is installed the display has a sound server of its own (soundServerArguments()), whose socket
// lies in the private folder and is named to the session in PULSE_SERVER.
//
// Nothing of it outlives it or the host: a SessionKeeper, started before the server, ends the
// session with everything it started and the sound server, then the X server, and removes the
// files, when the display is released or the host dies in any way. Xvfb cannot change its size once
// started (its RandR offers the start-up size only), so another mode always takes another display.
//
// THREADING: create() blocks for the server's start-up (tens to hundreds of milliseconds), so the
// host calls it through VirtualDisplayLauncher. The accessors are constant and safe anywhere. The
// destructor blocks while the processes end (normally a few milliseconds, at most about two
// seconds for a server that ignores SIGTERM).
class VLVirtualDisplay final : public VirtualDisplay {
 public:
  // Starts the display and waits until it accepts connections. Throws RemoteError::unavailable
  // with the failure text; a failure leaves no process, socket, lock or cookie behind.
  static std::unique_ptr<VLVirtualDisplay> create(const VirtualDisplayRequest& request);
  // Whether an executable Xvfb is on `searchPath` (a PATH-style list; empty means $PATH).
  static bool serverInstalled(const std::string& searchPath = {});
  // Removes what displays of this user left behind when their host was killed before its
  // keeper could clean up (both killed at once): display locks whose process is gone and whose
  // socket nobody listens on, with that socket, and private folders whose lock nobody holds.
  static void removeStaleFiles();
  // Ends the session with everything it started and the server (terminate, wait briefly, kill),
  // reaps the server and removes the cookie and its directory.
  ~VLVirtualDisplay() override;

  VLVirtualDisplay(const VLVirtualDisplay&) = delete;
  VLVirtualDisplay& operator=(const VLVirtualDisplay&) = delete;

  uint32_t displayID() const override { return displayID_; }
  // Whether the server still runs. Safe on any thread: it only looks at the unreaped child.
  bool alive() const override;
  // ":N", for DISPLAY.
  std::string displayName() const { return ":" + std::to_string(displayID_); }
  // The X authority file holding the display's cookie, for XAUTHORITY.
  const std::string& authorityFile() const { return authorityFile_; }
  int width() const { return width_; }
  int height() const { return height_; }
  pid_t serverProcess() const { return server_; }
  // The session command's process (and group) id, or 0 without one; a child of the keeper.
  pid_t sessionProcess() const { return session_; }
  // The sound server's socket, "" when the display has none (PulseAudio is not installed, or it
  // did not start in time), and its process, also a child of the keeper.
  const std::string& soundServer() const { return soundServer_; }
  pid_t soundProcess() const { return soundProcess_; }
  // The sound server's socket of the live display `displayID`, "" for none. Any thread.
  static std::string soundServerOf(uint32_t displayID);

 private:
  VLVirtualDisplay() = default;

  uint32_t displayID_ = 0;
  int width_ = 0;
  int height_ = 0;
  pid_t server_ = 0;
  pid_t session_ = 0;
  std::string soundServer_;
  pid_t soundProcess_ = 0;
  uint32_t claimedDisplay_ = 0;  // the number whose lock file we hold
  // The lock file we created and the socket our server listened on: only these are removed, so
  // that a server which took the number after our check keeps its own.
  FileIdentity claimedLock_;
  FileIdentity serverSocket_;
  std::string directory_;
  std::string authorityFile_;
  int folderLock_ = -1;
  std::unique_ptr<SessionKeeper> keeper_;
};

// Creates virtual displays away from the caller's thread, one at a time, on its own queue
// (thread "veltra.display"); each completion runs on the main queue. A display whose completion
// never runs (the main queue was destroyed first) is released with the dropped task.
//
// THREADING: launch() from any thread. Destroy it on the main thread: the destructor waits for a
// creation in progress.
class VirtualDisplayLauncher {
 public:
  using Completion =
      std::function<void(std::unique_ptr<VLVirtualDisplay> display, std::string error)>;

  explicit VirtualDisplayLauncher(MainQueue& main);

  // Exactly one of `display` and `error` is set in the completion.
  void launch(VirtualDisplayRequest request, Completion completion);
  // Ends `display` on the launcher's queue: after every launch before it, before every launch
  // after it, so a replaced display is gone before its successor starts.
  void release(std::unique_ptr<VirtualDisplay> display);

 private:
  MainQueue& main_;
  SerialQueue queue_;
};

}  // namespace veltra
