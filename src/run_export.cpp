#include "run_export.hpp"

#include <vector>

namespace trellan {
namespace {

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : " · ") + part;
  return out;
}

}  // namespace

std::string options_summary(const ClientOptions& o) {
  std::vector<std::string> parts;
  parts.emplace_back(o.udp ? "UDP" : "TCP");
  if (o.parallel >= 2) parts.push_back(std::to_string(o.parallel) + " streams");
  if (o.bidir)
    parts.emplace_back("bidirectional");
  else if (o.reverse)
    parts.emplace_back("reverse");
  if (!o.bitrate.empty()) parts.push_back("target " + o.bitrate);
  parts.push_back(std::to_string(o.duration) + " s");
  if (o.omit != 0) parts.push_back("omit first " + std::to_string(o.omit) + " s");
  if (o.ip_version == IpVersion::V4) parts.emplace_back("IPv4");
  if (o.ip_version == IpVersion::V6) parts.emplace_back("IPv6");
  return join(parts);
}

std::string options_summary(const ServerOptions& o) {
  std::vector<std::string> parts;
  parts.push_back("port " + std::to_string(o.port));
  if (!o.bind.empty()) parts.push_back("on " + o.bind);
  if (o.one_off) parts.emplace_back("one-off");
  return join(parts);
}

std::string far_end_of(const ClientOptions& o) { return o.server + ", port " + std::to_string(o.port); }

}  // namespace trellan
