#include "HostNetworkAddress.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <QString>
#include <algorithm>
#include <cstring>
#include <memory>

namespace veltra {
namespace {

// Linux names Ethernet "en…" (predictable names) or "eth…" and Wi-Fi "wl…": the interfaces other
// machines on the LAN most likely reach, so they come before bridges, tunnels and the like.
bool isLanInterface(const std::string& name) {
  return name.starts_with("en") || name.starts_with("eth") || name.starts_with("wl");
}

}  // namespace

std::vector<HostNetworkAddress> HostNetworkAddress::current() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0 || list == nullptr) return {};
  const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, ::freeifaddrs);
  std::vector<InterfaceEntry> entries;
  for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
    InterfaceEntry entry;
    entry.name = item->ifa_name ? item->ifa_name : "";
    entry.flags = item->ifa_flags;
    if (item->ifa_addr != nullptr) {
      // Linux keeps no length in the address; it follows from the family.
      const sa_family_t family = item->ifa_addr->sa_family;
      entry.length = family == AF_INET    ? sizeof(sockaddr_in)
                     : family == AF_INET6 ? sizeof(sockaddr_in6)
                                          : sizeof(sockaddr);
      entry.hasAddress = true;
      std::memcpy(&entry.address, item->ifa_addr, entry.length);
    }
    entries.push_back(std::move(entry));
  }
  return fromInterfaces(entries);
}

std::vector<HostNetworkAddress> HostNetworkAddress::fromInterfaces(
    const std::vector<InterfaceEntry>& entries) {
  std::vector<HostNetworkAddress> addresses;
  for (const InterfaceEntry& entry : entries) {
    if (!entry.hasAddress || entry.address.ss_family != AF_INET) continue;
    if ((entry.flags & (IFF_UP | IFF_LOOPBACK)) != IFF_UP) continue;
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&entry.address), entry.length, host,
                      sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
      continue;
    }
    // Invalid UTF-8 becomes replacement characters rather than bytes no one can display.
    std::string text =
        QString::fromUtf8(host, static_cast<qsizetype>(std::strlen(host))).toStdString();
    if (text.starts_with("169.254.") || text == "0.0.0.0") continue;
    addresses.push_back({entry.name, std::move(text)});
  }
  std::stable_sort(addresses.begin(), addresses.end(),
                   [](const HostNetworkAddress& a, const HostNetworkAddress& b) {
                     const bool aFirst = isLanInterface(a.interface);
                     const bool bFirst = isLanInterface(b.interface);
                     if (aFirst != bFirst) return aFirst;
                     return a.id() < b.id();
                   });
  return addresses;
}

}  // namespace veltra
