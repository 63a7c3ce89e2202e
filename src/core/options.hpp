// The settings of a Client or Server run, read from a form at the moment of
// a click, and the iperf3 argument lists they turn into.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace trellan {

struct ClientForm;
struct ServerForm;

enum class IpVersion { Auto, V4, V6 };

// The combo row's position: 1 is IPv4 only, 2 is IPv6 only, anything else Auto.
IpVersion ip_version_from_index(unsigned index);

// A spin value saturated into 0..max with the fraction dropped (NaN gives 0).
std::uint32_t saturate_u32(double value);
std::uint16_t saturate_u16(double value);

struct ClientOptions {
  std::string server;
  std::uint16_t port = 5201;
  std::uint32_t duration = 10;
  std::uint32_t parallel = 1;
  bool reverse = false;
  bool bidir = false;
  bool udp = false;
  std::string bitrate;
  std::uint32_t omit = 0;
  IpVersion ip_version = IpVersion::Auto;
  std::string bind;
  std::string window;
  std::string buffer_length;
  std::uint32_t mss = 0;
  std::string congestion;
  bool no_delay = false;
  bool zero_copy = false;
  bool latency = true;  // ping the server before and during the test

  static ClientOptions from_form(const ClientForm& form);
  std::vector<std::string> to_args() const;
  // ping's arguments for the latency: ten probes a second, numeric, every
  // unanswered probe reported, each line with ping's own time, in the
  // address family of the form or of the
  // host as typed.
  std::vector<std::string> ping_args() const;
};

struct ServerOptions {
  std::uint16_t port = 5201;
  std::string bind;
  bool one_off = false;

  static ServerOptions from_form(const ServerForm& form);
  std::vector<std::string> to_args() const;
};

}  // namespace trellan
