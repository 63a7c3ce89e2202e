#include "core/listen_addresses.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace trellan {
namespace {

bool is_loopback_address(const InterfaceAddress& a) {
  if (!a.is_ipv6) return a.bytes[0] == 127;  // 127.0.0.0/8
  static constexpr std::array<std::uint8_t, 16> kLoopback6{0, 0, 0, 0, 0, 0, 0, 0,
                                                           0, 0, 0, 0, 0, 0, 0, 1};
  return a.bytes == kLoopback6;
}

bool is_link_local6(const InterfaceAddress& a) {
  return a.is_ipv6 && a.bytes[0] == 0xfe && (a.bytes[1] & 0xc0) == 0x80;  // fe80::/10
}

std::string address_text(const InterfaceAddress& a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (!inet_ntop(a.is_ipv6 ? AF_INET6 : AF_INET, a.bytes.data(), text, sizeof text)) return {};
  return text;
}

}  // namespace

std::vector<std::string> reachable_addresses(const std::vector<InterfaceAddress>& all) {
  std::vector<InterfaceAddress> usable;
  for (const InterfaceAddress& a : all)
    if (a.is_up && !a.is_loopback && !is_loopback_address(a) && !is_link_local6(a))
      usable.push_back(a);
  std::stable_sort(usable.begin(), usable.end(),
                   [](const InterfaceAddress& x, const InterfaceAddress& y) {
                     if (x.is_ipv6 != y.is_ipv6) return !x.is_ipv6;
                     return x.if_index < y.if_index;
                   });
  std::vector<std::string> texts;
  for (const InterfaceAddress& a : usable) {
    std::string text = address_text(a);
    if (!text.empty() && std::find(texts.begin(), texts.end(), text) == texts.end())
      texts.push_back(std::move(text));
  }
  return texts;
}

std::vector<InterfaceAddress> read_interface_addresses() {
  std::vector<InterfaceAddress> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || !i->ifa_name) continue;
    const int family = i->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    InterfaceAddress a;
    a.if_index = if_nametoindex(i->ifa_name);
    a.is_up = (i->ifa_flags & IFF_UP) != 0;
    a.is_loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
    a.is_ipv6 = family == AF_INET6;
    if (a.is_ipv6) {
      const auto* sa = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
      std::memcpy(a.bytes.data(), &sa->sin6_addr, 16);
    } else {
      const auto* sa = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
      std::memcpy(a.bytes.data(), &sa->sin_addr, 4);
    }
    out.push_back(a);
  }
  freeifaddrs(list);
  return out;
}

std::string connect_line(const std::vector<std::string>& addresses, std::string_view bind,
                         std::uint16_t port) {
  constexpr std::size_t kNamed = 4;
  std::string where;
  if (!bind.empty()) {
    where = bind;
  } else if (addresses.empty()) {
    return "Only this machine can connect: no network address is up.";
  } else {
    const std::size_t named = std::min(addresses.size(), kNamed);
    for (std::size_t n = 0; n < named; ++n) where += (n ? " or " : "") + addresses[n];
    if (addresses.size() > named)
      where += " and " + std::to_string(addresses.size() - named) + " more";
  }
  return "Clients can connect to " + where + ", port " + std::to_string(port);
}

}  // namespace trellan
