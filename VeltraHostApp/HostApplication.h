#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace veltra {

// This run's command line. The window keeps the port and the session choice across runs; these
// take their place for this run only.
struct HostApplicationOptions {
  // Nothing: the port the window saved, else RemoteHost::kDefaultPort.
  std::optional<uint16_t> port;
  // What starts inside every virtual display (RemoteHost::setSessionChoice); "": the choice the
  // window saved.
  std::string sessionCommand;
};

// The host application's start-up on Qt: one RemoteHost, created before the window and kept
// until the process ends; the window; and an orderly end. Closing the window, "Quit Veltra
// Host", SIGINT and SIGTERM all stop the host and keep the event loop running until it reports
// "Stopped", so no virtual display outlives the application. Returns the exit code. Main thread;
// call once.
int runHostApplication(int argc, char** argv, const HostApplicationOptions& options);

}  // namespace veltra
