// The texts that report a run's end figures beyond the rates: retransmits,
// jitter and loss, and the Server page's line about its last client.
#pragma once

#include <optional>
#include <string>

#include "core/events.hpp"

namespace trellan {

// A rate as one text, number and unit joined by a space: "9.41 Gbit/s".
std::string rate_text(double mbps);

// What the summary lines say beyond the rates; empty when they say nothing
// more. Numbers appear exactly as iperf3 printed them.
std::string quality_text(const SummaryDetails& d);

// The Server page's line about its last client: the figures of its summary
// lines, if any came, and why it ended early, if it did.
std::string last_client_text(const std::string& peer, const std::optional<SummaryDetails>& d,
                             const std::optional<std::string>& ended_early = std::nullopt);

}  // namespace trellan
