#include "core/result_text.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "core/meter.hpp"

namespace trellan {
namespace {

std::string join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : separator) + part;
  return out;
}

// "jitter 0.013 ms, lost 23439 of 646767 (3.6 %)", for one direction of two.
std::string short_loss_text(const UdpLoss& l) {
  return "jitter " + l.jitter_ms + " ms, lost " + std::to_string(l.lost) + " of " +
         std::to_string(l.total) + " (" + l.percent + " %)";
}

}  // namespace

std::string rate_text(double mbps) {
  auto [number, unit] = format_rate(mbps);
  return number + " " + unit;
}

std::string quality_text(const SummaryDetails& d) {
  std::vector<std::string> parts;
  if (!d.bidirectional) {
    if (d.tx.retransmits) parts.push_back("Retransmits: " + std::to_string(*d.tx.retransmits));
    if (const auto& l = d.tx.loss)
      parts.push_back("Jitter " + l->jitter_ms + " ms · lost " + std::to_string(l->lost) + " of " +
                      std::to_string(l->total) + " datagrams (" + l->percent + " %)");
    return join(parts, " · ");
  }
  std::vector<std::string> retransmits;
  if (d.tx.retransmits) retransmits.push_back("send " + std::to_string(*d.tx.retransmits));
  if (d.rx.retransmits) retransmits.push_back("receive " + std::to_string(*d.rx.retransmits));
  if (!retransmits.empty()) parts.push_back("Retransmits: " + join(retransmits, " · "));
  if (d.tx.loss) parts.push_back("Send: " + short_loss_text(*d.tx.loss));
  if (d.rx.loss) parts.push_back("Receive: " + short_loss_text(*d.rx.loss));
  return join(parts, " · ");
}

std::string last_client_text(const std::string& peer, const std::optional<SummaryDetails>& d,
                             const std::optional<std::string>& ended_early) {
  std::vector<std::string> parts;
  if (d) {
    const std::optional<double> send = d->tx.sender_mbps;
    const std::optional<double> receive = d->bidirectional ? d->rx.receiver_mbps : d->tx.receiver_mbps;
    if (send) parts.push_back("send: " + rate_text(*send));
    if (receive) parts.push_back("receive: " + rate_text(*receive));
    if (std::string quality = quality_text(*d); !quality.empty()) parts.push_back(std::move(quality));
  }
  if (ended_early) parts.push_back("ended early (" + *ended_early + ")");
  if (parts.empty()) return "Last client: " + peer;
  return "Last client: " + peer + " — " + join(parts, " · ");
}

}  // namespace trellan
