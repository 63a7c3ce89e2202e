// The interval table's model: a run's records in place, made into items only
// when asked, caught up in one change per side when the page asks, and the
// columns a run fills. Records come from captured iperf3 output through the
// parser and the run log; expected values are read off the captures.
#include "core/interval_list.hpp"
#include "core/output_parser.hpp"
#include "core/run_words.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace trellan {
namespace {

std::vector<IntervalRecord> captured(const std::string& name) {
  const char* dir = std::getenv("TRELLAN_CAPTURES");
  std::ifstream in(std::string(dir ? dir : "captures") + "/" + name);
  EXPECT_TRUE(in.good()) << "no capture " << name;
  OutputParser parser(false);
  std::vector<IntervalRecord> out;
  for (std::string line; std::getline(in, line);)
    for (auto& ev : parser.feed_line(line))
      if (auto* i = std::get_if<Interval>(&ev); i && i->record) out.push_back(std::move(*i->record));
  return out;
}

// The list's changes as "position -removed +added".
struct Changes {
  std::vector<std::string> seen;
  static void on(GListModel*, guint position, guint removed, guint added, gpointer data) {
    static_cast<Changes*>(data)->seen.push_back(std::to_string(position) + " -" + std::to_string(removed) + " +" +
                                                std::to_string(added));
  }
};

std::string cell(GListModel* list, guint i, int column) {
  auto* item = static_cast<TrellanIntervalItem*>(g_list_model_get_item(list, i));
  if (!item) return "(no item)";
  const IntervalRecord* r = interval_item_record(item);
  std::string out = r ? interval_cell(*r, column) : "(gone)";
  g_object_unref(item);
  return out;
}

std::shared_ptr<const RunRecord> shared(const RunLog& log, std::uint64_t id) {
  for (const auto& r : log.runs())
    if (r->id == id) return r;
  return nullptr;
}

TEST(IntervalList, ShowsARunsRecordsInPlaceAndCatchesUpOnlyWhenAsked) {
  RunLog log;
  const auto id = log.begin(RunPage::Client, "127.0.0.1, port 51041", "TCP · 3 s");
  const auto tcp = captured("iperf3-3.12/tcp-client.txt");
  ASSERT_EQ(tcp.size(), 3u);
  log.add_interval(id, tcp[0]);

  TrellanIntervalList* list = interval_list_new();
  GListModel* model = G_LIST_MODEL(list);
  Changes changes;
  g_signal_connect(list, "items-changed", G_CALLBACK(Changes::on), &changes);
  interval_list_show(list, shared(log, id));
  EXPECT_EQ(g_list_model_get_n_items(model), 1u);
  EXPECT_EQ(cell(model, 0, 0), "0.00–1.00 s");
  EXPECT_EQ(cell(model, 0, 3), "1.73 GBytes");

  // Readings wait for the page to ask, then join in one change.
  log.add_interval(id, tcp[1]);
  log.add_interval(id, tcp[2]);
  EXPECT_EQ(g_list_model_get_n_items(model), 1u);
  interval_list_catch_up(list);
  interval_list_catch_up(list);  // nothing new: no change
  EXPECT_EQ(changes.seen, (std::vector<std::string>{"0 -0 +1", "1 -0 +2"}));
  EXPECT_EQ(cell(model, 2, 0), "2.00–3.00 s");
  EXPECT_EQ(cell(model, 2, 4), "1");
  EXPECT_EQ(cell(model, 3, 0), "(no item)");
  EXPECT_EQ(interval_list_filled(list), (FilledColumns{true, false, false}));

  // A UDP receiving run fills jitter and loss, not retransmits; the list
  // lets go of the TCP run in one change.
  const auto udp_id = log.begin(RunPage::Client, "127.0.0.1, port 50239", "UDP · reverse · 3 s");
  for (const auto& r : captured("iperf3-3.12/udp-reverse-client.txt")) log.add_interval(udp_id, r);
  interval_list_show(list, shared(log, udp_id));
  EXPECT_EQ(changes.seen.back(), "0 -3 +3");
  EXPECT_EQ(cell(model, 0, 5), "0.184 ms");
  EXPECT_EQ(cell(model, 1, 6), "30242 of 50066");
  EXPECT_EQ(interval_list_filled(list), (FilledColumns{false, true, true}));
  auto* item = static_cast<TrellanIntervalItem*>(g_list_model_get_item(model, 2));
  EXPECT_EQ(interval_row_name(*interval_item_record(item)),
            "2.00–3.00 s, Receive, 5.91 Gbit/s, 705 MBytes, jitter 0.478 ms, loss 36069 of 58626");

  // Another run gets new items, for a table that binds only a new item.
  interval_list_show(list, shared(log, id));
  auto* again = static_cast<TrellanIntervalItem*>(g_list_model_get_item(model, 2));
  EXPECT_NE(again, item);
  EXPECT_EQ(cell(model, 2, 0), "2.00–3.00 s");
  g_object_unref(again);
  g_object_unref(item);

  // Shown a few first, a long run's table takes the rest at its next
  // catch-up, the columns known from the start.
  interval_list_show(list, shared(log, id), 2);
  EXPECT_EQ(changes.seen.back(), "0 -3 +2");
  EXPECT_EQ(interval_list_filled(list), (FilledColumns{true, false, false}));
  interval_list_catch_up(list);
  EXPECT_EQ(changes.seen.back(), "2 -0 +1");
  EXPECT_EQ(cell(model, 2, 0), "2.00–3.00 s");
  g_object_unref(list);
}

// Made for a table that binds a row again when its place is given an item,
// a place asked for again while its item is held gets that item, which now
// stands for the shown run's record there: the row's widgets stay.
TEST(IntervalList, APlaceKeepsItsItemFromOneRunToTheNextWhenAskedTo) {
  RunLog log;
  const auto udp_id = log.begin(RunPage::Client, "127.0.0.1, port 50239", "UDP · reverse · 3 s");
  for (const auto& r : captured("iperf3-3.12/udp-reverse-client.txt")) log.add_interval(udp_id, r);
  const auto tcp_id = log.begin(RunPage::Client, "127.0.0.1, port 51041", "TCP · 3 s");
  for (const auto& r : captured("iperf3-3.12/tcp-client.txt")) log.add_interval(tcp_id, r);
  TrellanIntervalList* list = interval_list_new(true);
  GListModel* model = G_LIST_MODEL(list);
  interval_list_show(list, shared(log, udp_id));
  auto* item = static_cast<TrellanIntervalItem*>(g_list_model_get_item(model, 2));
  EXPECT_EQ(interval_cell(*interval_item_record(item), 3), "705 MBytes");
  interval_list_show(list, shared(log, tcp_id));
  auto* again = static_cast<TrellanIntervalItem*>(g_list_model_get_item(model, 2));
  EXPECT_EQ(again, item);
  EXPECT_EQ(interval_cell(*interval_item_record(item), 3), "1.05 GBytes");
  g_object_unref(again);
  g_object_unref(item);
  g_object_unref(list);
}

TEST(IntervalList, ReadingsTheRunLogLetsGoLeaveTheFrontAndItemsHeldByRowsSayTheyAreGone) {
  RunLog log;
  const auto id = log.begin(RunPage::Client, "127.0.0.1, port 51041", "TCP");
  const auto tcp = captured("iperf3-3.12/tcp-client.txt");
  for (std::size_t i = 0; i < RunLog::kMaxIntervals; ++i) log.add_interval(id, tcp[i % 3]);
  TrellanIntervalList* list = interval_list_new();
  GListModel* model = G_LIST_MODEL(list);
  interval_list_show(list, shared(log, id));
  auto* first = static_cast<TrellanIntervalItem*>(g_list_model_get_item(model, 0));
  Changes changes;
  g_signal_connect(list, "items-changed", G_CALLBACK(Changes::on), &changes);

  log.add_interval(id, tcp[0]);  // the oldest reading goes
  log.add_interval(id, tcp[1]);
  interval_list_catch_up(list);
  EXPECT_EQ(changes.seen, (std::vector<std::string>{"0 -2 +0", "99998 -0 +2"}));
  EXPECT_EQ(g_list_model_get_n_items(model), 100000u);
  EXPECT_EQ(interval_item_record(first), nullptr);
  EXPECT_EQ(cell(model, 0, 0), "2.00–3.00 s");  // the third reading, now the first kept
  EXPECT_EQ(cell(model, 99999, 0), "1.00–2.00 s");
  g_object_unref(first);
  g_object_unref(list);
}

TEST(RunTexts, ARowsNameSaysWhichRunItIsAndHowItEnded) {
  RunLog log;
  GDateTime* start = g_date_time_new_local(2026, 12, 7, 14, 2, 9);
  const auto started = std::chrono::system_clock::from_time_t(g_date_time_to_unix(start));
  g_date_time_unref(start);
  const auto client = log.begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 10 s", started);
  const auto served = log.begin(RunPage::Server, "192.0.2.7", "port 5201", started);
  EXPECT_EQ(run_row_name(*log.find(client)), "Client — 127.0.0.1, port 5201, 14:02:09, Running…");
  log.end(client, RunEnd::Stopped);
  log.end(served, RunEnd::Result, "Result — receive: 13.4 Gbit/s", "");
  EXPECT_EQ(run_row_name(*log.find(client)), "Client — 127.0.0.1, port 5201, 14:02:09, Stopped");
  EXPECT_EQ(run_row_name(*log.find(served)), "Server — client 192.0.2.7, 14:02:09, Result — receive: 13.4 Gbit/s");
}

}  // namespace
}  // namespace trellan
