// HostNetworkAddress on interface lists fed by the test, as getifaddrs would report them.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

#include "VeltraHostApp/HostNetworkAddress.h"

namespace veltra {
namespace {

using Entry = HostNetworkAddress::InterfaceEntry;

Entry ipv4(const std::string& name, const char* address, unsigned flags = IFF_UP | IFF_RUNNING) {
  Entry entry;
  entry.name = name;
  entry.flags = flags;
  entry.hasAddress = true;
  sockaddr_in in{};
  in.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &in.sin_addr);
  std::memcpy(&entry.address, &in, sizeof in);
  entry.length = sizeof in;
  return entry;
}

Entry ipv6(const std::string& name, const char* address) {
  Entry entry;
  entry.name = name;
  entry.flags = IFF_UP;
  entry.hasAddress = true;
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, address, &in6.sin6_addr);
  std::memcpy(&entry.address, &in6, sizeof in6);
  entry.length = sizeof in6;
  return entry;
}

std::vector<std::string> ids(const std::vector<HostNetworkAddress>& addresses) {
  std::vector<std::string> result;
  for (const auto& address : addresses) result.push_back(address.id());
  return result;
}

TEST(HostNetworkAddressTest, EthernetAndWifiComeFirstThenEveryOtherInterfaceEachByIdAsText) {
  const auto addresses = HostNetworkAddress::fromInterfaces({
      ipv4("tun0", "10.8.0.2"),
      ipv4("docker0", "172.17.0.1"),
      ipv4("wlp2s0", "192.168.1.31"),
      ipv4("br-4f1c2a", "172.18.0.1"),
      ipv4("enp3s0", "192.168.1.20"),
      ipv4("eth0", "10.0.0.5"),
  });
  EXPECT_EQ(ids(addresses), (std::vector<std::string>{"enp3s0/192.168.1.20", "eth0/10.0.0.5",
                                                      "wlp2s0/192.168.1.31", "br-4f1c2a/172.18.0.1",
                                                      "docker0/172.17.0.1", "tun0/10.8.0.2"}));
}

TEST(HostNetworkAddressTest, OrderComparesTextNotNumbersAndIsCaseSensitive) {
  const auto addresses = HostNetworkAddress::fromInterfaces({
      ipv4("en2", "10.0.0.1"),
      ipv4("en0", "10.0.0.9"),
      ipv4("En1", "10.0.0.3"),
      ipv4("en10", "10.0.0.2"),
      ipv4("en0", "10.0.0.12"),
      ipv4("Eth1", "10.0.0.4"),
  });
  EXPECT_EQ(ids(addresses),
            (std::vector<std::string>{"en0/10.0.0.12", "en0/10.0.0.9", "en10/10.0.0.2",
                                      "en2/10.0.0.1", "En1/10.0.0.3", "Eth1/10.0.0.4"}));
}

TEST(HostNetworkAddressTest, OnlyUsableIpv4AddressesOfInterfacesThatAreUpAndNotLoopback) {
  Entry noAddress;
  noAddress.name = "eth9";
  noAddress.flags = IFF_UP;
  const auto addresses = HostNetworkAddress::fromInterfaces({
      ipv4("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK),
      ipv4("eth0", "169.254.10.20"),
      ipv4("eth1", "0.0.0.0"),
      ipv4("eth2", "192.168.5.5", IFF_BROADCAST),  // down
      ipv6("eth0", "fe80::1"),
      ipv6("eth0", "2001:db8::5"),
      noAddress,
  });
  EXPECT_TRUE(addresses.empty()) << ids(addresses).size();
}

TEST(HostNetworkAddressTest, TwoAddressesOnOneInterfaceAreBothKept) {
  const auto addresses = HostNetworkAddress::fromInterfaces({
      ipv4("eth0", "192.168.1.20"),
      ipv4("eth0", "192.168.1.21"),
      ipv4("eth0", "192.168.1.20"),
  });
  EXPECT_EQ(ids(addresses), (std::vector<std::string>{"eth0/192.168.1.20", "eth0/192.168.1.20",
                                                      "eth0/192.168.1.21"}));
  EXPECT_EQ(addresses[0], (HostNetworkAddress{"eth0", "192.168.1.20"}));
  EXPECT_NE(addresses[0], (HostNetworkAddress{"eth1", "192.168.1.20"}));
}

// The system's own list goes through the same rules: no loopback ever comes back.
TEST(HostNetworkAddressTest, TheSystemsListHasNoLoopbackOrLinkLocalAddress) {
  for (const HostNetworkAddress& address : HostNetworkAddress::current()) {
    EXPECT_NE(address.interface, "lo");
    EXPECT_FALSE(address.address.starts_with("127.")) << address.id();
    EXPECT_FALSE(address.address.starts_with("169.254.")) << address.id();
  }
}

}  // namespace
}  // namespace veltra
