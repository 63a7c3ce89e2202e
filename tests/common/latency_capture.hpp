// A client test with latency played from a time-stamped capture of ping -D
// and iperf3 (tests/captures/latency-*): through a run session as the window
// does it, ping first, the test a second later, every line at the time it
// was read.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "captures.hpp"
#include "core/output_parser.hpp"
#include "core/ping_parser.hpp"
#include "core/run_session.hpp"

namespace trellan::testing {

struct Stamped {
  double t;
  std::string line;
  bool ping;
};

// "[1796709702.457427] text" → its stamp and text; lines without one are
// dropped (ping's header).
inline void read_stamped(const std::string& name, bool ping, std::vector<Stamped>& out) {
  for (const auto& line : capture_lines(name)) {
    if (line.size() < 3 || line[0] != '[') continue;
    const std::size_t close = line.find("] ");
    double t = 0;
    if (close == std::string::npos || std::from_chars(line.data() + 1, line.data() + close, t).ec != std::errc())
      continue;
    out.push_back({t, line.substr(close + 2), ping});
  }
}

// Plays "latency-3.12/NAME-ping.txt" and "…-iperf3.txt"; `take` gets every
// answer of the session.
template <typename Take>
void play_latency_capture(const std::string& name, RunSetup setup, Take take) {
  std::vector<Stamped> all;
  read_stamped("latency-3.12/" + name + "-ping.txt", true, all);
  read_stamped("latency-3.12/" + name + "-iperf3.txt", false, all);
  ASSERT_FALSE(all.empty());
  std::stable_sort(all.begin(), all.end(), [](const Stamped& a, const Stamped& b) { return a.t < b.t; });
  setup.idle_latency = true;
  RunSession session(setup);
  OutputParser parser(false);
  take(session.start());
  // ping started just before its first reply.
  const double t0 = std::find_if(all.begin(), all.end(), [](const Stamped& s) { return s.ping; })->t - 0.01;
  take(session.ping_started(t0));
  bool launched = false;
  for (const Stamped& s : all) {
    if (!launched && s.t >= t0 + 1.0) {
      const PageAnswer a = session.idle_tick(t0 + 1.0);
      EXPECT_TRUE(a.start_test);
      take(a);
      take(session.launched());
      launched = true;
    }
    if (s.ping) {
      if (const auto ev = parse_ping_line(s.line))
        take(session.on_ping(s.t, std::visit([](const auto& v) -> PingRunEvent { return v; }, *ev)));
    } else {
      for (const auto& ev : parser.feed_line(s.line)) take(session.on_event(ev, MeterState{}, s.t));
    }
  }
  take(session.on_event(Exited{0}, MeterState{}, all.back().t));
}

}  // namespace trellan::testing
