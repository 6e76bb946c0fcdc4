#pragma once

#include <sys/socket.h>

#include <string>
#include <vector>

namespace veltra {

// One IPv4 address of a network interface under which other machines of the local network can
// reach this computer. The host window shows, copies and exports these.
struct HostNetworkAddress {
  std::string interface;  // the system's name for it, e.g. eth0 or wlp2s0
  std::string address;    // dotted decimal

  // "eth0/192.168.1.20": what the window remembers of a copied address.
  std::string id() const { return interface + "/" + address; }

  friend bool operator==(const HostNetworkAddress&, const HostNetworkAddress&) = default;

  // One entry of the system's interface list, as getifaddrs reports it.
  struct InterfaceEntry {
    std::string name;
    unsigned flags = 0;
    bool hasAddress = false;
    sockaddr_storage address{};
    socklen_t length = 0;
  };

  // The current addresses, read afresh at every call; empty when the list cannot be read.
  static std::vector<HostNetworkAddress> current();

  // The addresses of `entries` (in the system's order): IPv4 only, interfaces up and not
  // loopback, link-local and 0.0.0.0 left out; Ethernet and Wi-Fi (names starting "en", "eth",
  // "wl") first, then every other interface, each group ordered by id as text. Test seam for
  // current(), which feeds it the system's list.
  static std::vector<HostNetworkAddress> fromInterfaces(const std::vector<InterfaceEntry>& entries);
};

}  // namespace veltra
