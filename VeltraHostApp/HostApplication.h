#pragma once

#include <cstdint>
#include <string>

namespace veltra {

struct HostApplicationOptions {
  uint16_t port;
  // Started inside every virtual display the host creates; empty for none.
  std::string sessionCommand;
};

// The host application's start-up on Qt: one RemoteHost, created before the window and kept
// until the process ends; the window; and an orderly end. Closing the window, "Quit Veltra
// Host", SIGINT and SIGTERM all stop the host and keep the event loop running until it reports
// "Stopped", so no virtual display outlives the application. Returns the exit code. Main thread;
// call once.
int runHostApplication(int argc, char** argv, const HostApplicationOptions& options);

}  // namespace veltra
