// iperf3's output lines into events: the standard-output parser and the
// standard-error filter.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/events.hpp"

namespace trellan {

// Turns iperf3's standard-output lines into events. One per run.
class OutputParser {
 public:
  explicit OutputParser(bool server_mode);
  std::vector<IperfEvent> feed_line(std::string_view line);

 private:
  std::vector<IperfEvent> on_accepted(std::string_view after_phrase);
  std::vector<IperfEvent> on_listening();
  // `sender` and `receiver`: whether the line says so.
  void on_summary(std::string_view line, std::size_t after_unit, double v, bool is_sum,
                  bool sender, bool receiver, std::vector<IperfEvent>& out);
  // An interval line; `key` is the token before its first "sec", `between`
  // what stands between that "sec" and the rate, `after_unit` where the
  // rate's unit ends.
  void on_interval(std::string_view line, std::optional<std::string_view> key, std::string_view between,
                   std::size_t after_unit, double v, bool is_sum, std::vector<IperfEvent>& out);
  void on_header(std::string_view line);
  // Fills the record of an interval line; false when the line gives none.
  bool fill_record(IntervalRecord& r, std::string_view line, std::string_view key,
                   std::string_view between, Direction direction, std::size_t after_unit, double v);

  // The summary values of one flow and where they came from.
  struct Flow {
    FlowFigures figures;
    bool sender_from_sum = false;
    bool receiver_from_sum = false;
  };

  bool server_mode_;
  bool client_active_ = false;
  Flow flow_;        // the untagged summary lines of an ordinary test
  Flow tx_, rx_;     // a bidirectional test's "[TX-…]" and "[RX-…]" lines
  bool has_interval_key_ = false;  // with interval_key_: the optional key
  std::string interval_key_;
  double interval_mbps_ = 0.0;
  bool interval_from_sum_ = false;

  // What the interval records of the current test go by: the direction and
  // protocol of the last column-header line, and how many streams run.
  Direction header_direction_ = Direction::Send;
  bool header_udp_ = false;
  unsigned connected_streams_ = 0;  // its "... connected to ..." lines
  bool saw_sum_ = false;            // a "[SUM]" interval line came
  // The last record of each direction, for telling a reprinted interval.
  struct LastRecord {
    std::string start, end;
    bool omitted = false;
    bool valid = false;
  };
  LastRecord last_record_[2];
};

// The user-facing message for one standard-error line, or nothing.
std::optional<std::string> stderr_message(std::string_view line);

// The bitrate of a data line in Mbit/s, from the line's tokens.
std::optional<double> parse_bitrate(std::span<const std::string_view> tokens);

}  // namespace trellan
