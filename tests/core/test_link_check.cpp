// A link check's sequence, its grade and its words, with figures of a check
// through a 20 Mbit/s bottleneck written out by hand.
#include <gtest/gtest.h>

#include <string>

#include "core/link_check.hpp"
#include "core/run_words.hpp"

namespace trellan {
namespace {

using Kind = LinkCheck::Step::Kind;

LatencyFigures latency(double idle_ms, double loaded_ms, std::uint64_t sent, std::uint64_t lost) {
  LatencyFigures f;
  f.idle_ms = idle_ms;
  f.idle_sent = 50;
  f.loaded_median_ms = loaded_ms;
  f.loaded_p95_ms = loaded_ms;
  f.loaded_max_ms = loaded_ms;
  f.sent = sent;
  f.lost = lost;
  return f;
}

LinkPhaseResult download(double mbps, std::optional<LatencyFigures> l) {
  LinkPhaseResult r;
  r.download_mbps = mbps;
  r.latency = l;
  return r;
}

LinkPhaseResult upload(double mbps, std::optional<LatencyFigures> l) {
  LinkPhaseResult r;
  r.phase = LinkPhase::Upload;
  r.upload_mbps = mbps;
  r.latency = l;
  return r;
}

LinkPhaseResult both(double down, double up, std::optional<LatencyFigures> l) {
  LinkPhaseResult r;
  r.phase = LinkPhase::Both;
  r.download_mbps = down;
  r.upload_mbps = up;
  r.latency = l;
  return r;
}

TEST(LinkCheckSequence, RunsIdleDownloadUploadBothInOrderAndTellsWhatIsLeft) {
  LinkCheck check(3);
  EXPECT_EQ(check.start(), (LinkCheck::Step{Kind::Run, LinkPhase::Download}));
  EXPECT_EQ(check.start(), LinkCheck::Step{});  // once only
  EXPECT_EQ(check.progress_text(), "Link check: measuring idle latency, 5 s left");
  EXPECT_DOUBLE_EQ(check.progress_fraction(), 0.0);
  check.idle_clock(1.2);
  EXPECT_EQ(check.progress_text(), "Link check: measuring idle latency, 4 s left");
  EXPECT_DOUBLE_EQ(check.progress_fraction(), 1.2 / 14.0);
  check.idle_done();
  check.idle_clock(3);  // over: the download's clock counts now
  EXPECT_EQ(check.progress_text(), "Link check: downloading (phase 1 of 3), 3 s left");
  check.phase_clock(1.0);
  EXPECT_EQ(check.progress_text(), "Link check: downloading (phase 1 of 3), 2 s left");
  EXPECT_DOUBLE_EQ(check.progress_fraction(), 6.0 / 14.0);
  EXPECT_EQ(check.phase_done(download(18.9, latency(0.05, 310, 30, 0))),
            (LinkCheck::Step{Kind::Run, LinkPhase::Upload}));
  check.phase_clock(2.2);
  EXPECT_EQ(check.progress_text(), "Link check: uploading (phase 2 of 3), 1 s left");
  EXPECT_EQ(check.phase_done(upload(19.1, latency(0.06, 290, 30, 1))), (LinkCheck::Step{Kind::Run, LinkPhase::Both}));
  EXPECT_EQ(check.progress_text(), "Link check: measuring both ways (phase 3 of 3), 3 s left");
  EXPECT_TRUE(check.running());
  EXPECT_EQ(check.phase_done(both(9.6, 9.4, latency(0.05, 600, 30, 2))),
            (LinkCheck::Step{Kind::Finished, LinkPhase::Both}));
  EXPECT_EQ(check.state(), LinkCheck::State::Done);
  EXPECT_FALSE(check.running());
  EXPECT_DOUBLE_EQ(check.progress_fraction(), 1.0);
  EXPECT_EQ(check.stop(), LinkCheck::Step{});  // over: Stop does nothing
  ASSERT_EQ(check.results().size(), 3u);
  EXPECT_EQ(check.results()[2].phase, LinkPhase::Both);
}

TEST(LinkCheckSequence, BusyServerIsTriedAgainFiveTimesThenTheCheckFails) {
  LinkCheck check(3);
  check.start();
  check.idle_done();
  check.phase_done(download(18.9, latency(0.05, 310, 30, 0)));
  for (unsigned i = 1; i <= 5; ++i) {
    EXPECT_EQ(check.server_busy("the server is busy running a test. try again later"),
              (LinkCheck::Step{Kind::Wait, LinkPhase::Upload}));
    EXPECT_EQ(check.state(), LinkCheck::State::Waiting);
    if (i == 2) {
      EXPECT_EQ(check.progress_text(), "The server is busy; trying again in 2 s (2 of 5)");
    }
    EXPECT_EQ(check.retry_due(), (LinkCheck::Step{Kind::Run, LinkPhase::Upload}));
  }
  EXPECT_EQ(check.server_busy("the server is busy running a test. try again later"),
            (LinkCheck::Step{Kind::Finished, LinkPhase::Upload}));
  EXPECT_EQ(check.result_line(), "Link check failed: the server is busy running a test. try again later");
  // The download was measured and is kept; no grade without the upload.
  EXPECT_EQ(check.results().size(), 1u);
  EXPECT_FALSE(check.grade());
  EXPECT_EQ(check.grade_line(), "");
  EXPECT_EQ(check.latency_line(), "Latency: 0.050 ms idle; +310 ms downloading");
}

TEST(LinkCheckSequence, BusyBeforeTheFirstTestMeasuresTheIdleBaselineAgainAndRetriesResetPerPhase) {
  LinkCheck check(3);
  check.start();
  EXPECT_EQ(check.server_busy("busy"), (LinkCheck::Step{Kind::Wait, LinkPhase::Download}));
  EXPECT_EQ(check.retry_due(), (LinkCheck::Step{Kind::Run, LinkPhase::Download}));
  EXPECT_EQ(check.progress_text(), "Link check: measuring idle latency, 5 s left");
  EXPECT_EQ(check.retry_due(), LinkCheck::Step{});  // no wait pending
  check.idle_done();
  for (int i = 0; i < 4; ++i) {
    check.server_busy("busy");
    check.retry_due();
    check.idle_done();  // each new download run has its idle baseline first
  }
  check.phase_done(download(18.9, latency(0.05, 310, 30, 0)));
  // A new phase has five tries of its own.
  EXPECT_EQ(check.retries(), 0u);
  EXPECT_EQ(check.server_busy("busy").kind, Kind::Wait);
  EXPECT_EQ(check.progress_text(), "The server is busy; trying again in 2 s (1 of 5)");
}

TEST(LinkCheckSequence, StopAndFailureKeepTheFinishedPhasesAndGiveNoGrade) {
  LinkCheck stopped(3);
  stopped.start();
  EXPECT_EQ(stopped.stop(), (LinkCheck::Step{Kind::Finished, LinkPhase::Idle}));
  EXPECT_EQ(stopped.result_line(), "Link check stopped during idle latency");
  EXPECT_EQ(stopped.phase_done(download(18.9, std::nullopt)), LinkCheck::Step{});  // late end

  LinkCheck after_idle(3);
  after_idle.start();
  after_idle.idle_done();
  after_idle.stop();
  EXPECT_EQ(after_idle.result_line(), "Link check stopped after idle latency");

  LinkCheck mid(3);
  mid.start();
  mid.idle_done();
  mid.phase_done(download(18.9, latency(0.05, 310, 30, 0)));
  mid.server_busy("busy");
  EXPECT_EQ(mid.stop().kind, Kind::Finished);  // Stop also ends a wait
  EXPECT_EQ(mid.retry_due(), LinkCheck::Step{});
  EXPECT_EQ(mid.result_line(), "Link check stopped after download");
  EXPECT_FALSE(mid.grade());

  LinkCheck failed(3);
  failed.start();
  failed.idle_done();
  failed.phase_done(download(18.9, latency(0.05, 310, 30, 0)));
  failed.phase_done(upload(19.1, latency(0.05, 290, 30, 0)));
  EXPECT_EQ(failed.phase_failed("unable to connect to server - server may have stopped running or use a "
                                "different port, firewall issue, etc.: Connection refused"),
            (LinkCheck::Step{Kind::Finished, LinkPhase::Both}));
  EXPECT_EQ(failed.result_line(),
            "Link check failed: unable to connect to server - server may have stopped running or use a "
            "different port, firewall issue, etc.: Connection refused");
  EXPECT_FALSE(failed.grade());
  EXPECT_EQ(failed.latency_line(), "Latency: 0.050 ms idle; +310 ms downloading, +290 ms uploading");

  LinkCheck never_started(3);
  never_started.start();
  EXPECT_EQ(never_started.phase_done(download(0, std::nullopt)).kind, Kind::Finished);
  EXPECT_EQ(never_started.state(), LinkCheck::State::Failed);
}

TEST(LinkCheckGrade, ThresholdsAtTheirEdges) {
  EXPECT_STREQ(grade_text(link_grade(0)), "A+");
  EXPECT_STREQ(grade_text(link_grade(4.9)), "A+");
  EXPECT_STREQ(grade_text(link_grade(5)), "A");
  EXPECT_STREQ(grade_text(link_grade(29.9)), "A");
  EXPECT_STREQ(grade_text(link_grade(30)), "B");
  EXPECT_STREQ(grade_text(link_grade(59.9)), "B");
  EXPECT_STREQ(grade_text(link_grade(60)), "C");
  EXPECT_STREQ(grade_text(link_grade(199)), "C");
  EXPECT_STREQ(grade_text(link_grade(200)), "D");
  EXPECT_STREQ(grade_text(link_grade(399)), "D");
  EXPECT_STREQ(grade_text(link_grade(400)), "F");
  EXPECT_STREQ(grade_text(link_grade(2500)), "F");
}

LinkCheck finished(LinkPhaseResult d, LinkPhaseResult u, LinkPhaseResult b) {
  LinkCheck check(3);
  check.start();
  check.idle_done();
  check.phase_done(std::move(d));
  check.phase_done(std::move(u));
  check.phase_done(std::move(b));
  return check;
}

TEST(LinkCheckWords, TheTwoResultLinesAndTheGradeFromTheShownFigures) {
  // Download +310 ms, upload +290 ms: a mean of 300 ms, D.
  LinkCheck deep = finished(download(18.93, latency(0.052, 310, 30, 0)), upload(19.1, latency(0.06, 290.4, 30, 1)),
                            both(9.6, 9.4, latency(0.05, 604, 30, 2)));
  EXPECT_EQ(deep.result_line(), "Link check — download 18.9 Mbit/s, upload 19.1 Mbit/s; bufferbloat grade D");
  EXPECT_EQ(deep.latency_line(),
            "Latency: 0.052 ms idle; +310 ms downloading, +290 ms uploading, +604 ms both ways; 3 of 90 probes lost");
  EXPECT_EQ(deep.grade_line(),
            "Grade D: calls and games will break up while the link is busy (from ICMP ping probes).");

  // The grade is the mean of the two added delays as shown: +4.9 and +5.1
  // make 5.0, an A, although the unrounded 4.86 and 5.1 would make an A+.
  LinkCheck edge = finished(download(940, latency(1.0, 5.86, 30, 0)), upload(930, latency(1.0, 6.1, 30, 0)),
                            both(470, 460, latency(1.0, 0.9, 30, 0)));
  EXPECT_EQ(edge.latency_line(), "Latency: 1.0 ms idle; +4.9 ms downloading, +5.1 ms uploading, no increase both ways");
  EXPECT_EQ(edge.grade(), LinkGrade::A);
  EXPECT_EQ(edge.result_line(), "Link check — download 940.0 Mbit/s, upload 930.0 Mbit/s; bufferbloat grade A");

  LinkCheck flat = finished(download(940, latency(0.05, 0.051, 30, 0)), upload(930, latency(0.05, 0.049, 30, 0)),
                            both(470, 460, latency(0.05, 0.05, 30, 0)));
  EXPECT_EQ(flat.grade(), LinkGrade::APlus);
  EXPECT_EQ(flat.grade_line(), "Grade A+: latency barely grows while the link is busy (from ICMP ping probes).");
}

TEST(LinkCheckWords, WithoutLatencyTheRatesStillComeAndTheGradeSaysWhyNot) {
  LinkPhaseResult d = download(18.9, std::nullopt), u = upload(19.1, std::nullopt), b = both(9.6, 9.4, std::nullopt);
  d.no_latency_reason = u.no_latency_reason = b.no_latency_reason = "ping not found in PATH";
  LinkCheck no_ping = finished(d, u, b);
  EXPECT_EQ(no_ping.result_line(), "Link check — download 18.9 Mbit/s, upload 19.1 Mbit/s; no grade: ping not found in PATH");
  EXPECT_EQ(no_ping.latency_line(), "");
  EXPECT_EQ(no_ping.grade_line(), "");

  LatencyFigures silent = latency(0.05, 1, 30, 30);
  silent.loaded_median_ms.reset();
  LinkCheck no_reply = finished(download(18.9, latency(0.05, 300, 30, 0)), upload(19.1, silent),
                                both(9.6, 9.4, latency(0.05, 600, 30, 0)));
  EXPECT_EQ(no_reply.result_line(),
            "Link check — download 18.9 Mbit/s, upload 19.1 Mbit/s; no grade: no reply to ping under load");
  EXPECT_EQ(no_reply.latency_line(),
            "Latency: 0.050 ms idle; +300 ms downloading, no reply uploading, +600 ms both ways; 30 of 90 probes lost");
}

TEST(LinkCheckCsv, OneRowPerPhaseUnderTheHeader) {
  LinkPhaseResult d = download(18.93, latency(0.052, 310, 30, 0));
  d.retransmits = 12;
  LinkPhaseResult u = upload(19.1, latency(0.06, 290.4, 31, 1));
  u.retransmits = 40;
  LinkPhaseResult b = both(9.6, 9.4, std::nullopt);
  b.started = d.started = u.started = std::chrono::system_clock::from_time_t(1797000000);
  const std::string t = local_time(d.started, "%Y-%m-%dT%H:%M:%S%:z");
  EXPECT_EQ(link_check_csv({d, u, b}),
            "phase,started,download_mbit_s,upload_mbit_s,retransmits,latency_idle_ms,latency_loaded_ms,added_ms,"
            "probes_sent,probes_lost\n"
            "download," + t + ",18.93,,12,0.052,310,310,30,0\n"
            "upload," + t + ",,19.10,40,0.052,290,290,31,1\n"
            "both," + t + ",9.60,9.40,,0.052,,,,\n");
}

}  // namespace
}  // namespace trellan
