#pragma once

#include <string>

#include "qt/VeltraPalette.h"

namespace veltra {

class RemoteHost;

// The three published flags the window names the host's state by.
struct HostState {
  bool running = false;
  bool connected = false;
  bool stopping = false;

  static HostState of(const RemoteHost& host);
};

// "Stopping", "Connected", "Listening" or "Stopped", in that order of precedence.
std::string statusWord(HostState state);
// Chosen without looking at `stopping`: a stop in progress with its client still marked
// connected stays green.
PaletteColor statusColor(HostState state);
// "1 client" while connected, else "0 client": the host serves one client at a time.
std::string clientBadge(HostState state);

}  // namespace veltra
