// Which of the machine's addresses the Server page names, in which order,
// and the line that names them.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/listen_addresses.hpp"

using namespace trellan;
using Texts = std::vector<std::string>;

namespace {

constexpr bool kUp = true, kDown = false;

// One address as getifaddrs would report it, from its usual text.
InterfaceAddress addr(unsigned index, const char* text, bool up = kUp, bool loopback_if = false) {
  InterfaceAddress a;
  a.if_index = index;
  a.is_up = up;
  a.is_loopback = loopback_if;
  a.is_ipv6 = std::string(text).find(':') != std::string::npos;
  EXPECT_EQ(inet_pton(a.is_ipv6 ? AF_INET6 : AF_INET, text, a.bytes.data()), 1) << text;
  return a;
}

}  // namespace

TEST(ReachableAddresses, LeaveOutLoopbackLinkLocalAndInterfacesThatAreDown) {
  // lo, v0 with one address of each family, v1 with its link-local one only,
  // and a down interface.
  const std::vector<InterfaceAddress> all = {
      addr(1, "127.0.0.1", kUp, true),   addr(1, "::1", kUp, true),
      addr(2, "192.0.2.10"),             addr(3, "fe80::8c1b:2dff:fe4e:9a01"),
      addr(2, "2001:db8::10"),           addr(2, "fe80::dc38:d5ff:fefc:e5e2"),
      addr(4, "198.51.100.7", kDown),    addr(4, "2001:db8:4::7", kDown),
  };
  EXPECT_EQ(reachable_addresses(all), (Texts{"192.0.2.10", "2001:db8::10"}));

  // fe80::/10 reaches up to febf::; fec0:: lies beyond it. Loopback
  // addresses count as such on any interface.
  EXPECT_EQ(reachable_addresses({addr(2, "febf:ffff::1"), addr(2, "fec0::1"),
                                 addr(5, "127.0.0.53"), addr(5, "::1")}),
            (Texts{"fec0::1"}));
  EXPECT_EQ(reachable_addresses({addr(1, "127.0.0.1", kUp, true)}), Texts{});
}

TEST(ReachableAddresses, ListIpv4FirstThenIpv6EachByInterfaceIndex) {
  const std::vector<InterfaceAddress> all = {
      addr(7, "2001:db8:7::1"), addr(7, "203.0.113.7"),  addr(3, "2001:db8:3::1"),
      addr(3, "192.0.2.3"),     addr(3, "192.0.2.30"),   addr(12, "198.51.100.12"),
  };
  EXPECT_EQ(reachable_addresses(all), (Texts{"192.0.2.3", "192.0.2.30", "203.0.113.7",
                                             "198.51.100.12", "2001:db8:3::1", "2001:db8:7::1"}));
}

TEST(ReachableAddresses, NameAnAddressOnSeveralInterfacesOnce) {
  const std::vector<InterfaceAddress> all = {
      addr(4, "192.0.2.10"), addr(2, "2001:db8::10"), addr(2, "192.0.2.10"),
      addr(5, "2001:0db8:0000::0010"),
  };
  EXPECT_EQ(reachable_addresses(all), (Texts{"192.0.2.10", "2001:db8::10"}));
}

TEST(ConnectLine, NamesAtMostFourAddressesAndCountsTheRest) {
  const Texts seven = {"192.0.2.10", "192.0.2.11", "192.0.2.12", "2001:db8::10",
                       "2001:db8::11", "2001:db8::12", "2001:db8::13"};
  EXPECT_EQ(connect_line(seven, "", 5201),
            "Clients can connect to 192.0.2.10 or 192.0.2.11 or 192.0.2.12 or 2001:db8::10 and 3 "
            "more, port 5201");
  EXPECT_EQ(connect_line(Texts(seven.begin(), seven.begin() + 5), "", 5201),
            "Clients can connect to 192.0.2.10 or 192.0.2.11 or 192.0.2.12 or 2001:db8::10 and 1 "
            "more, port 5201");
  EXPECT_EQ(connect_line(Texts(seven.begin(), seven.begin() + 4), "", 6000),
            "Clients can connect to 192.0.2.10 or 192.0.2.11 or 192.0.2.12 or 2001:db8::10, port "
            "6000");
  EXPECT_EQ(connect_line({"2001:db8::10"}, "", 1), "Clients can connect to 2001:db8::10, port 1");
}

TEST(ConnectLine, ABoundServerNamesItsAddressAsTypedAndNoAddressMeansThisMachineOnly) {
  EXPECT_EQ(connect_line({"192.0.2.10", "2001:db8::10"}, "192.0.2.10", 5201),
            "Clients can connect to 192.0.2.10, port 5201");
  EXPECT_EQ(connect_line({}, "2001:DB8::0010", 65535),
            "Clients can connect to 2001:DB8::0010, port 65535");
  EXPECT_EQ(connect_line({}, "", 5201), "Only this machine can connect: no network address is up.");
}
