// Where clients elsewhere can reach a server on this machine: which of the
// machine's addresses count, in which order, and the line that says so.
// Free of GTK; reading the addresses asks the kernel (getifaddrs).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trellan {

// One address of one network interface, as the system lists it.
struct InterfaceAddress {
  unsigned if_index = 0;
  bool is_up = false;
  bool is_loopback = false;  // the interface is a loopback one
  bool is_ipv6 = false;
  // Network byte order; an IPv4 address uses the first four bytes.
  std::array<std::uint8_t, 16> bytes{};
};

// The addresses a client on another machine could use, written as usual
// ("192.0.2.10", "2001:db8::10"): those of interfaces that are up, without
// loopback addresses and IPv6 link-local ones (fe80::/10); IPv4 first, then
// IPv6, each group in the order of the interfaces' index; each address once.
std::vector<std::string> reachable_addresses(const std::vector<InterfaceAddress>& all);

// Every IPv4 and IPv6 address of every interface, from getifaddrs; empty when
// the system cannot list them.
std::vector<InterfaceAddress> read_interface_addresses();

// The line for a server listening on `port`: bound to `bind` when that is not
// empty, else on all of `addresses`, of which at most four are named.
std::string connect_line(const std::vector<std::string>& addresses, std::string_view bind,
                         std::uint16_t port);

}  // namespace trellan
