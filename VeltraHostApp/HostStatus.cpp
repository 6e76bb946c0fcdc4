#include "HostStatus.h"

#include "HostTheme.h"
#include "host/RemoteHost.h"

namespace veltra {

HostState HostState::of(const RemoteHost& host) {
  return {host.running(), host.connected(), host.stopping()};
}

std::string statusWord(HostState state) {
  if (state.stopping) return "Stopping";
  if (state.connected) return "Connected";
  if (state.running) return "Listening";
  return "Stopped";
}

PaletteColor statusColor(HostState state) {
  if (state.connected) return HostTheme::green;
  if (state.running) return HostTheme::blue;
  return HostTheme::muted;
}

std::string clientBadge(HostState state) {
  return std::string(state.connected ? "1" : "0") + " client";
}

}  // namespace veltra
