// libFuzzer target: arbitrary bytes, split into lines, through both parsers,
// the standard-error filter and the text helpers, checking what must always
// hold of their results.
#include "process/iperf.hpp"
#include "core/text.hpp"

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

bool contains_ws(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i)
    if (trellan::ws_len_front(s.substr(i)) != 0) return true;
  return false;
}

void check_events(const std::vector<trellan::IperfEvent>& events, std::string_view line, bool server) {
  for (const auto& ev : events) {
    // The parser never reports errors or ends; server events only in server mode.
    require(!std::holds_alternative<trellan::Error>(ev) && !std::holds_alternative<trellan::Exited>(ev));
    if (!server) {
      require(!std::holds_alternative<trellan::ClientConnected>(ev) &&
              !std::holds_alternative<trellan::ClientFinished>(ev) &&
              !std::holds_alternative<trellan::Listening>(ev));
    }
    // An interval's record is made of what its line says.
    if (auto* r = std::get_if<trellan::Interval>(&ev); r && r->record) {
      const trellan::IntervalRecord& x = *r->record;
      require(!x.start_text.empty() && !x.end_text.empty() && !x.transfer.empty());
      require(line.find(x.start_text + "-" + x.end_text) != std::string_view::npos);
      require(line.find(x.transfer.substr(0, x.transfer.find(' '))) != std::string_view::npos);
      require(!x.jitter_ms || line.find(*x.jitter_ms) != std::string_view::npos);
      require(!(x.retransmits && (x.jitter_ms || x.lost)));
    }
    if (auto* c = std::get_if<trellan::ClientConnected>(&ev)) {
      require(line.find(c->peer) != std::string_view::npos);
      require(c->peer.find(',') == std::string::npos);
      require(trellan::trim_ws(c->peer).size() == c->peer.size());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  trellan::OutputParser client(false), server(true);
  std::size_t start = 0;
  while (start <= input.size()) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view line = input.substr(start, end - start);
    start = end + 1;

    check_events(client.feed_line(line), line, false);
    check_events(server.feed_line(line), line, true);

    if (const auto message = trellan::stderr_message(line)) {
      require(!message->empty());
      require(line.find(*message) != std::string_view::npos);
    }

    const std::string_view trimmed = trellan::trim_ws(line);
    require(trellan::trim_ws(trimmed) == trimmed);
    for (const auto token : trellan::split_ws(line)) require(!token.empty() && !contains_ws(token));
    (void)trellan::parse_bitrate(trellan::split_ws(line));
    (void)trellan::parse_double(trimmed);

    // Repairing gives valid text and leaves valid text alone.
    const std::string repaired = trellan::make_valid_utf8(line);
    require(trellan::is_valid_utf8(repaired));
    if (trellan::is_valid_utf8(line)) require(repaired == line);

    // Same verdict as GLib's validator wherever GLib accepts the input's NULs.
    if (line.find('\0') == std::string_view::npos)
      require(trellan::is_valid_utf8(line) ==
              static_cast<bool>(g_utf8_validate_len(line.data(), line.size(), nullptr)));
  }
  return 0;
}
