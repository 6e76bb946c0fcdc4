#pragma once

#include <string>

namespace veltra {

struct RemoteDesktopOptions {
  // A connection profile to import at start; empty for none.
  std::string profile;
  // Connect at once (after the import).
  bool connect = false;
  // Where SIGUSR1 saves a PNG of the window, for scripts and tests; empty to ignore the signal.
  std::string screenshot;
  // Print the frame rates and the round trip once a second while connected, for scripts.
  bool statistics = false;
};

// Runs the Veltra Remote Desktop application until its window closes or SIGINT or SIGTERM
// arrives; returns the exit code. Prints every new status line on standard output, as the
// headless client does. Call on the process's main thread, once.
int runRemoteDesktop(int& argc, char** argv, const RemoteDesktopOptions& options);

}  // namespace veltra
