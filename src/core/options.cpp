#include "core/options.hpp"

#include <cmath>
#include <limits>

namespace trellan {
namespace {

template <typename T>
T saturate(double value) {
  constexpr double max = static_cast<double>(std::numeric_limits<T>::max());
  if (!(value > 0)) return 0;  // negative, zero or NaN
  if (value >= max) return std::numeric_limits<T>::max();
  return static_cast<T>(std::trunc(value));
}

}  // namespace

IpVersion ip_version_from_index(unsigned index) {
  switch (index) {
    case 1: return IpVersion::V4;
    case 2: return IpVersion::V6;
    default: return IpVersion::Auto;
  }
}

std::uint32_t saturate_u32(double value) { return saturate<std::uint32_t>(value); }
std::uint16_t saturate_u16(double value) { return saturate<std::uint16_t>(value); }

std::vector<std::string> ClientOptions::to_args() const {
  std::vector<std::string> a = {"-c", server, "-p", std::to_string(port),
                                "-t", std::to_string(duration), "-i", "1", "--forceflush"};
  auto flag_with = [&a](const char* flag, std::string value) {
    a.emplace_back(flag);
    a.push_back(std::move(value));
  };
  if (parallel >= 2) flag_with("-P", std::to_string(parallel));
  if (bidir) a.emplace_back("--bidir");
  if (reverse && !bidir) a.emplace_back("-R");
  if (udp) a.emplace_back("-u");
  if (!bitrate.empty()) flag_with("-b", bitrate);
  if (bitrate.empty() && udp) flag_with("-b", "0");
  if (omit != 0) flag_with("-O", std::to_string(omit));
  if (ip_version == IpVersion::V4) a.emplace_back("-4");
  if (ip_version == IpVersion::V6) a.emplace_back("-6");
  if (!bind.empty()) flag_with("-B", bind);
  if (!window.empty()) flag_with("-w", window);
  if (!buffer_length.empty()) flag_with("-l", buffer_length);
  if (mss != 0) flag_with("-M", std::to_string(mss));
  if (!congestion.empty()) flag_with("-C", congestion);
  if (no_delay) a.emplace_back("-N");
  if (zero_copy) a.emplace_back("-Z");
  return a;
}

std::vector<std::string> ClientOptions::ping_args() const {
  // -D: each line carries ping's own time, which a busy reader cannot move.
  std::vector<std::string> a = {"-n", "-O", "-D", "-i", "0.1"};
  IpVersion family = ip_version;
  if (family == IpVersion::Auto) {
    if (server.find(':') != std::string::npos)
      family = IpVersion::V6;
    else if (!server.empty() && server.find_first_not_of("0123456789.") == std::string::npos)
      family = IpVersion::V4;
  }
  if (family == IpVersion::V4) a.emplace_back("-4");
  if (family == IpVersion::V6) a.emplace_back("-6");
  // A host that starts with "-" is still a host, never an option.
  a.emplace_back("--");
  a.push_back(server);
  return a;
}

std::vector<std::string> ServerOptions::to_args() const {
  std::vector<std::string> a = {"-s", "-p", std::to_string(port), "-i", "1", "--forceflush"};
  if (!bind.empty()) {
    a.emplace_back("-B");
    a.push_back(bind);
  }
  if (one_off) a.emplace_back("-1");
  return a;
}

}  // namespace trellan
