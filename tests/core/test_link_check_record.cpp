// A link check kept in its runs' records: saved in a run file and opened
// again it is the same check, with the same lines, grade and CSV; files
// saved before checks were kept open as before. Figures written by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/link_check_record.hpp"
#include "core/run_file.hpp"
#include "core/run_words.hpp"
#include "core/text.hpp"

namespace trellan {
namespace {

const auto kStart = std::chrono::system_clock::from_time_t(1797000000);

RunRecord phase_run(LinkPhase phase, double down, double up, double idle_ms, double loaded_ms, int offset_s) {
  RunRecord r;
  r.started = kStart + std::chrono::seconds(offset_s);
  r.far_end = "192.0.2.7, port 5201";
  r.options_summary = "TCP · 10 s";
  r.facts.protocol = "TCP";
  r.facts.link_check = LinkCheckMark{"5b1f0c2e-check", phase, 0.052, LinkGrade::D};
  r.end = RunEnd::Result;
  r.result_text = "Result";
  SummaryDetails s;
  s.bidirectional = phase == LinkPhase::Both;
  s.tx.receiver_mbps = phase == LinkPhase::Both ? up : phase == LinkPhase::Download ? down : up;
  s.tx.retransmits = 7;
  if (phase == LinkPhase::Both) s.rx.receiver_mbps = down;
  r.summary = s;
  LatencyFigures l;
  l.idle_ms = idle_ms;
  l.idle_replied = true;
  l.idle_sent = 25;
  l.loaded_median_ms = l.loaded_p95_ms = l.loaded_max_ms = loaded_ms;
  l.sent = 50;
  l.lost = phase == LinkPhase::Upload ? 2 : 0;
  r.latency = l;
  return r;
}

std::vector<const RunRecord*> pointers(const std::vector<RunRecord>& runs) {
  std::vector<const RunRecord*> out;
  for (const RunRecord& r : runs) out.push_back(&r);
  return out;
}

TEST(LinkCheckRecord, ACheckSavedAndReopenedIsTheSameCheckWithItsLinesGradeAndCsv) {
  RunRecord plain = phase_run(LinkPhase::Download, 900, 0, 0.05, 0.06, -60);
  plain.facts.link_check.reset();
  // The upload phase's first try met a busy server; the second is the phase.
  RunRecord busy = phase_run(LinkPhase::Upload, 0, 0, 0.05, 0.05, 12);
  busy.end = RunEnd::Error;
  busy.error_text = "iperf3 error: the server is busy running a test. try again later";
  busy.summary.reset();
  busy.latency.reset();
  const std::vector<RunRecord> saved = {plain,
                                        phase_run(LinkPhase::Download, 18.93, 0, 0.052, 310, 0),
                                        busy,
                                        phase_run(LinkPhase::Upload, 0, 19.1, 0.06, 290.4, 15),
                                        phase_run(LinkPhase::Both, 9.6, 9.4, 0.05, 604, 27)};
  const OpenedFile back = read_runs(run_file_text(pointers(saved)), "checks.trellan");
  ASSERT_EQ(back.error, "");
  ASSERT_EQ(back.runs.size(), saved.size());
  for (std::size_t i = 0; i < saved.size(); ++i) EXPECT_EQ(back.runs[i].facts, saved[i].facts) << i;
  EXPECT_FALSE(back.runs[0].facts.link_check) << "a run of its own stays one";

  std::vector<const RunRecord*> opened = pointers(back.runs);
  const LinkCheckRuns check = link_check_runs(opened, "5b1f0c2e-check");
  EXPECT_EQ(check.first, &back.runs[1]);
  EXPECT_EQ(check.download, &back.runs[1]);
  EXPECT_EQ(check.upload, &back.runs[3]) << "the try after the busy answer";
  EXPECT_EQ(check.both, &back.runs[4]);
  EXPECT_EQ(link_check_runs(opened, "another").first, nullptr);

  // Saving one of its runs keeps the whole check, its busy try too; a run
  // of its own is saved alone.
  EXPECT_EQ(runs_kept_with(opened, back.runs[3]),
            (std::vector<const RunRecord*>{&back.runs[1], &back.runs[2], &back.runs[3], &back.runs[4]}));
  EXPECT_EQ(runs_kept_with(opened, back.runs[0]), std::vector<const RunRecord*>{&back.runs[0]});

  const LinkCheck told = link_check_of(check);
  EXPECT_EQ(told.result_line(), "Link check — download 18.9 Mbit/s, upload 19.1 Mbit/s; bufferbloat grade D");
  EXPECT_EQ(told.latency_line(),
            "Latency: 0.052 ms idle; +310 ms downloading, +290 ms uploading, +604 ms both ways; 2 of 150 probes lost");
  EXPECT_EQ(told.grade(), LinkGrade::D);
  const std::string t = local_time(kStart, "%Y-%m-%dT%H:%M:%S%:z");
  const std::string t15 = local_time(kStart + std::chrono::seconds(15), "%Y-%m-%dT%H:%M:%S%:z");
  const std::string t27 = local_time(kStart + std::chrono::seconds(27), "%Y-%m-%dT%H:%M:%S%:z");
  EXPECT_EQ(link_check_csv(link_check_results(check)),
            "phase,started,download_mbit_s,upload_mbit_s,retransmits,latency_idle_ms,latency_loaded_ms,added_ms,"
            "probes_sent,probes_lost\n"
            "download," + t + ",18.93,,7,0.052,310,310,50,0\n"
            "upload," + t15 + ",,19.10,7,0.052,290,290,50,2\n"
            "both," + t27 + ",9.60,9.40,7,0.052,604,604,50,0\n");
  const std::string text = link_check_text(check);
  EXPECT_TRUE(text.starts_with("Link check — 192.0.2.7, port 5201\nStarted ")) << text;
  EXPECT_NE(text.find("\nLink check — download 18.9 Mbit/s, upload 19.1 Mbit/s; bufferbloat grade D\n"
                      "Latency: 0.052 ms idle; +310 ms downloading, +290 ms uploading, +604 ms both ways; 2 of 150 "
                      "probes lost\nGrade D: calls and games will break up while the link is busy (from ICMP ping "
                      "probes).\nDownload ("),
            std::string::npos)
      << text;

  // A check stopped during its upload: no grade, and the record says so.
  std::vector<RunRecord> stopped = {saved[1], saved[3]};
  stopped[1].end = RunEnd::Stopped;
  for (RunRecord& r : stopped) r.facts.link_check->grade.reset();
  const OpenedFile stopped_back = read_runs(run_file_text(pointers(stopped)), "stopped.trellan");
  ASSERT_EQ(stopped_back.runs.size(), 2u);
  EXPECT_EQ(stopped_back.runs[1].facts, stopped[1].facts);
  const LinkCheck stopped_check = link_check_of(link_check_runs(pointers(stopped_back.runs), "5b1f0c2e-check"));
  EXPECT_EQ(stopped_check.result_line(), "Link check stopped after download");
  EXPECT_EQ(stopped_check.grade(), std::nullopt);
}

TEST(LinkCheckRecord, OldFilesOpenAndAFaultyMarkIsRefusedByName) {
  const std::string head = "{\"format\":\"trellan-runs\",\"version\":1,\"runs\":[{\"page\":\"client\","
                           "\"started\":\"2026-12-08T05:45:37.000000Z\",";
  const std::string tail = "\"end\":\"result\"}]}";
  const OpenedFile old = read_runs(head + tail, "old.trellan");
  ASSERT_EQ(old.error, "");
  ASSERT_EQ(old.runs.size(), 1u);
  EXPECT_FALSE(old.runs[0].facts.link_check);
  const OpenedFile null_mark = read_runs(head + "\"link_check\":null," + tail, "null.trellan");
  ASSERT_EQ(null_mark.runs.size(), 1u);
  EXPECT_FALSE(null_mark.runs[0].facts.link_check);
  for (const char* faulty : {"\"link_check\":{\"check\":\"c\",\"phase\":\"sideways\"},",
                             "\"link_check\":{\"check\":\"c\",\"phase\":\"upload\",\"grade\":\"E\"},",
                             "\"link_check\":{\"phase\":\"upload\"},", "\"link_check\":[],",
                             "\"link_check\":\"c\","}) {
    const OpenedFile bad = read_runs(head + faulty + tail, "bad.trellan");
    EXPECT_EQ(bad.error, "A run in it has a faulty “link_check”") << faulty;
    EXPECT_TRUE(bad.runs.empty()) << faulty;
  }
}

}  // namespace
}  // namespace trellan
