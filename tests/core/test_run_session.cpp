// What a page shows of a run and what its record keeps, from what real
// iperf3 printed (the captures, fed through the output parser) and from the
// ends a run can have: exit codes, signals, Stop, faults, the connect notice.
// Every expected text is read off the captured lines by hand.
#include "captures.hpp"
#include "core/output_parser.hpp"
#include "core/run_session.hpp"
#include "core/run_words.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace trellan {
namespace {

using testing::capture_lines;

RunSetup client_setup(std::string server = "127.0.0.1", std::uint16_t port = 5201) {
  RunSetup s;
  s.far_end = server + ", port " + std::to_string(port);
  s.options_summary = "TCP · 3 s";
  s.connect_server = server;
  s.connect_port = port;
  return s;
}

RunSetup server_setup() {
  RunSetup s;
  s.is_server = true;
  s.options_summary = "port 5201";
  s.port = 5201;
  return s;
}

// A page as the window keeps it, with a bare gauge model and a run log: every
// answer of the session is applied here as the window applies it.
struct Page {
  explicit Page(RunSetup setup) : server(setup.is_server), session(std::move(setup)) {
    recording.log = log;
    show(session.start());
  }

  bool server;
  RunSession session;
  std::shared_ptr<RunLog> log = std::make_shared<RunLog>();
  RunRecording recording;
  MeterState gauge;
  std::vector<std::string> statuses;  // every status text shown, in order
  std::vector<std::string> details;   // every details text shown, in order
  StatusKind kind = StatusKind::Progress;
  bool figures = false;
  const Look* look = nullptr;
  bool run_stopped = false;  // the child was stopped, the slot emptied
  bool over = false;
  bool stalled = false;      // the gauge shows that nothing is being measured

  void show(const PageAnswer& a) {
    if (a.gauge == PageAnswer::Gauge::Set) gauge.set_value(a.gauge_mbps);
    if (a.gauge == PageAnswer::Gauge::Reset) gauge.reset();
    if (a.status) {
      statuses.push_back(a.status->text);
      kind = a.status->kind;
    }
    if (a.details) {
      details.push_back(a.details->text);
      figures = a.details->figures;
    }
    if (a.look) look = a.look;
    run_stopped |= a.stop_run;
    over |= a.over;
    if (a.gauge_stalled) stalled = *a.gauge_stalled;
    for (const RecordStep& step : a.record) recording.apply(step);
  }
  void event(const IperfEvent& e) { show(session.on_event(e, gauge)); }
  void feed(const std::string& capture) {
    OutputParser parser(server);
    for (const auto& line : capture_lines(capture))
      for (const auto& e : parser.feed_line(line)) event(e);
  }
  // What the run's standard error said, as the runner passes it on.
  void feed_stderr(const std::string& capture) {
    for (const auto& line : capture_lines(capture))
      if (auto message = stderr_message(line)) event(Error{*message});
  }
  void exit(std::int32_t code) { event(Exited{code}); }

  std::string status() const { return statuses.empty() ? "" : statuses.back(); }
  std::string shown_details() const { return details.empty() ? "" : details.back(); }
  const RunRecord& run(std::size_t i) const { return *log->runs().at(i); }
  std::size_t readings(std::size_t i) const { return run(i).intervals.size(); }
};

using Texts = std::vector<std::string>;

// A record in one line, for comparing: where it came from, or how it ended
// and with which texts ("Result | <result> | <details> | <error>").
std::string origin(const RunRecord& r) {
  return std::string(r.page == RunPage::Client ? "Client" : "Server") + " | " + r.far_end + " | " +
         r.options_summary;
}
std::string ending(const RunRecord& r) {
  static const char* const names[] = {"Running", "Result", "Stopped", "Error", "EndedEarly"};
  return std::string(names[static_cast<int>(r.end)]) + " | " + r.result_text + " | " + r.details_text + " | " +
         r.error_text;
}

TEST(RunSession, ClientTestShowsItsPeakThenItsResultAndItsRecordKeepsBoth) {
  {
    Page page(client_setup());
    EXPECT_EQ(page.look, &kClientRunning);
    page.feed("iperf3-3.12/tcp-client.txt");
    page.exit(0);
    EXPECT_EQ(page.statuses, (Texts{"Connecting…", "Measuring… peak 14.80 Gbit/s", "Measuring… peak 16.50 Gbit/s",
                                    "Measuring… peak 16.50 Gbit/s",
                                    "Result — send: 13.40 Gbit/s · receive: 13.40 Gbit/s"}));
    EXPECT_EQ(page.kind, StatusKind::Plain);
    EXPECT_EQ(page.details.front(), "") << "a new run clears the last one's figures";
    EXPECT_EQ(page.shown_details(), "Retransmits: 1");
    EXPECT_TRUE(page.figures);
    EXPECT_EQ(page.look, &kClientIdle);
    EXPECT_TRUE(page.run_stopped && page.over);
    EXPECT_EQ(page.gauge.peak, 0.0) << "the gauge rests at the end";
    ASSERT_EQ(page.log->runs().size(), 1u);
    EXPECT_EQ(origin(page.run(0)), "Client | 127.0.0.1, port 5201 | TCP · 3 s");
    EXPECT_EQ(ending(page.run(0)),
              "Result | Result — send: 13.40 Gbit/s · receive: 13.40 Gbit/s | Retransmits: 1 | ");
    EXPECT_EQ(page.readings(0), 3u);
  }
  {
    // The record keeps what the form asked for (its 10 s by default) and the iperf3 that ran it.
    ClientOptions asked;
    asked.server = "127.0.0.1";
    asked.udp = true;
    asked.parallel = 3;
    asked.buffer_length = "64K";
    asked.window = "256K";
    RunSetup setup = client_setup();
    setup.facts = run_facts(asked);
    setup.facts.iperf_version = "3.12";
    Page page(std::move(setup));
    page.feed("iperf3-3.12/udp-P2-client.txt");
    page.exit(0);
    ASSERT_EQ(page.log->runs().size(), 1u);
    EXPECT_EQ(page.run(0).facts, (RunFacts{"UDP", 3, "3.12", 10.0, "", "64K", "256K"}));
  }
  struct Case {
    const char* capture;
    const char* result;
    const char* details;
    std::size_t readings;
  } cases[] = {
      {"iperf3-3.12/udp-client.txt", "Result — send: 24.70 Gbit/s · receive: 7.66 Gbit/s",
       "Jitter 0.010 ms · lost 195074 of 282700 datagrams (69 %)", 3},
      {"iperf3-3.12/bidir-P1-client.txt", "Result — send: 4.53 Gbit/s · receive: 4.47 Gbit/s",
       "Retransmits: send 8 · receive 14", 6},
      {"iperf3-3.12/udp-bidir-client.txt", "Result — send: 16.60 Gbit/s · receive: 103.0 Mbit/s",
       "Send: jitter 0.644 ms, lost 187473 of 188655 (99 %) · Receive: jitter 0.060 ms, lost 173268 of 174456 (99 %)",
       6},
      {"iperf3-3.12/tcp-reverse-P2-client.txt", "Result — send: 13.80 Gbit/s · receive: 13.80 Gbit/s",
       "Retransmits: 4", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capture);
    Page page(client_setup());
    page.feed(c.capture);
    page.exit(0);
    EXPECT_EQ(page.status(), c.result);
    EXPECT_EQ(page.shown_details(), c.details);
    EXPECT_EQ(ending(page.run(0)), std::string("Result | ") + c.result + " | " + c.details + " | ");
    EXPECT_EQ(page.readings(0), c.readings);
  }
}

TEST(RunSession, AClientTestThatFailsSaysWhyAndItsRecordEndsWithTheSameWords) {
  const Exited killed{-1, true, 9};
  const Exited terminated{-1, true, 15};
  struct Case {
    const char* name;
    std::vector<IperfEvent> events;
    const char* status;
  } cases[] = {
      {"its first error, then exit 1",
       {Error{"unable to connect to server: Connection refused"}, Error{"second problem"}, Exited{1}},
       "iperf3 error: unable to connect to server: Connection refused"},
      {"an exit code alone", {Exited{3}}, "iperf3 terminated (code 3)."},
      {"an error, then exit 0", {Error{"interrupt - the client has terminated"}, Exited{0}},
       "interrupt - the client has terminated"},
      {"an error, then a signal", {Error{"something odd"}, terminated}, "iperf3 error: something odd"},
      {"a signal alone", {Interval{100}, killed}, "iperf3 ended unexpectedly (signal 9)."},
      {"an unreadable exit status", {Exited{-1, false, 0, true}}, "iperf3 ended; its exit status could not be read."},
      {"readings but no result", {Interval{100}, Exited{0}}, "iperf3 ended without a result."},
      {"a launch that failed", {Error{"iperf3 not found in PATH."}, Exited{-1}}, "iperf3 not found in PATH."},
      {"a result, then a bad exit", {Summary{940, 934}, Exited{2}}, "iperf3 terminated (code 2)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Page page(client_setup());
    for (const auto& e : c.events) page.event(e);
    EXPECT_EQ(page.status(), c.status);
    EXPECT_EQ(page.kind, StatusKind::Error);
    EXPECT_EQ(page.look, &kClientIdle);
    EXPECT_TRUE(page.run_stopped && page.over);
    EXPECT_EQ(page.gauge.peak, 0.0);
    EXPECT_EQ(ending(page.run(0)), std::string("Error |  |  | ") + c.status);
  }
  // An error in the middle is shown until the readings go on.
  Page page(client_setup());
  page.event(Error{"control socket has closed unexpectedly"});
  EXPECT_EQ(page.kind, StatusKind::Error);
  page.event(Interval{100});
  EXPECT_EQ(page.status(), "Measuring… peak 100.0 Mbit/s");
  EXPECT_EQ(page.kind, StatusKind::Progress);
}

TEST(RunSession, StopEndsTheRunTheRecordAndEveryLaterWord) {
  Page client(client_setup());
  client.feed("iperf3-3.12/tcp-client.txt");  // the result is shown, iperf3 not yet gone
  client.show(client.session.stop());
  EXPECT_EQ(client.status(), "Test stopped.");
  EXPECT_EQ(client.kind, StatusKind::Progress);
  EXPECT_EQ(client.shown_details(), "") << "half a result stays no longer";
  EXPECT_EQ(client.look, &kClientIdle);
  EXPECT_TRUE(client.run_stopped && client.over);
  EXPECT_EQ(client.gauge.peak, 0.0);
  EXPECT_EQ(client.run(0).end, RunEnd::Stopped);
  EXPECT_EQ(client.readings(0), 3u);
  const std::size_t shown = client.statuses.size();
  client.event(Interval{500});
  client.exit(0);
  EXPECT_EQ(client.statuses.size(), shown) << "a late event relabelled the page";
  EXPECT_EQ(client.run(0).end, RunEnd::Stopped);

  // The Server page keeps its last client's line; the client being served is
  // stopped with it.
  Page server(server_setup());
  server.feed("iperf3-3.12/two-clients-server.txt");
  server.event(ClientConnected{"192.0.2.7"});
  server.show(server.session.stop());
  EXPECT_EQ(server.status(), "Stopped.");
  EXPECT_EQ(server.look, &kServerIdle);
  EXPECT_EQ(server.shown_details(), "Last client: 127.0.0.1 — send: 9.13 Gbit/s · Retransmits: 8");
  EXPECT_EQ(server.run(2).far_end, "192.0.2.7");
  EXPECT_EQ(server.run(2).end, RunEnd::Stopped);
}

TEST(RunSession, ConnectNoticeCountsSilentSecondsFromTheFifthUntilTheFirstEvent) {
  Page page(client_setup("silent.example", 5999));
  EXPECT_TRUE(page.session.notice_running());
  for (int s = 1; s <= 4; ++s) page.show(page.session.notice_tick());
  EXPECT_EQ(page.details, (Texts{""})) << "nothing before the fifth second";
  page.show(page.session.notice_tick());
  page.show(page.session.notice_tick());
  EXPECT_EQ(page.details, (Texts{"", "No answer yet from silent.example, port 5999 (5 s)",
                                 "No answer yet from silent.example, port 5999 (6 s)"}));
  EXPECT_FALSE(page.figures);
  page.event(Interval{100});
  EXPECT_EQ(page.shown_details(), "") << "the first event takes the notice away";
  EXPECT_FALSE(page.session.notice_running());
  page.show(page.session.notice_tick());
  EXPECT_EQ(page.shown_details(), "");

  // Stopping while it shows takes it away for good.
  Page stopped(client_setup("silent.example", 5999));
  for (int s = 1; s <= 5; ++s) stopped.show(stopped.session.notice_tick());
  stopped.show(stopped.session.stop());
  EXPECT_EQ(stopped.shown_details(), "");
  EXPECT_FALSE(stopped.session.notice_running());

  EXPECT_FALSE(Page(server_setup()).session.notice_running()) << "a server waits without a notice";
}

TEST(RunSession, ServerFollowsEachClientAndKeepsTheLastOnesLineWhileWaiting) {
  Page page(server_setup());
  page.feed("iperf3-3.12/two-clients-server.txt");
  EXPECT_EQ(page.statuses, (Texts{"Listening on port 5201…", "Waiting for client connections…",
                                  "Client connected: 127.0.0.1 — measuring…",
                                  "Result — receive: 8.39 Gbit/s",
                                  "Waiting for client connections…", "Client connected: 127.0.0.1 — measuring…",
                                  "Waiting for client connections…"}));
  EXPECT_EQ(page.details, (Texts{"", "Last client: 127.0.0.1 — receive: 8.39 Gbit/s",
                                 "Last client: 127.0.0.1 — send: 9.13 Gbit/s · Retransmits: 8"}));
  EXPECT_TRUE(page.figures);
  EXPECT_EQ(page.look, &kServerRunning);
  EXPECT_FALSE(page.over);
  EXPECT_EQ(page.gauge.peak, 0.0) << "the gauge rests between clients";

  ASSERT_EQ(page.log->runs().size(), 2u);
  EXPECT_EQ(origin(page.run(0)), "Server | 127.0.0.1 | port 5201");
  EXPECT_EQ(ending(page.run(0)),
            "Result | Result — receive: 8.39 Gbit/s | Last client: 127.0.0.1 — receive: 8.39 Gbit/s | ");
  EXPECT_EQ(page.readings(0), 3u);
  // A reverse test's server prints sender lines only: the page shows no
  // result line, the record keeps what the server sent.
  EXPECT_EQ(ending(page.run(1)),
            "Result | Result — send: 9.13 Gbit/s | Last client: 127.0.0.1 — send: 9.13 Gbit/s · Retransmits: 8 | ");
  EXPECT_EQ(page.readings(1), 3u);

  // The server's own end.
  Page killed(server_setup());
  killed.event(Exited{-1, true, 9});
  EXPECT_EQ(killed.status(), "iperf3 ended unexpectedly (signal 9).");
  EXPECT_EQ(killed.look, &kServerIdle);
}

TEST(RunSession, AServedClientsRecordHasTheFiguresOfItsOwnSummaryAsTheServerPageShowsThem) {
  struct Case {
    const char* capture;
    const char* result;  // "" where the page shows none: the server only sent
    const char* line;
  } cases[] = {
      {"iperf3-3.12/tcp-P2-server", "Result — receive: 10.80 Gbit/s", "Last client: 127.0.0.1 — receive: 10.80 Gbit/s"},
      {"iperf3-3.12/bidir-P1-server", "Result — send: 4.48 Gbit/s · receive: 4.52 Gbit/s",
       "Last client: 127.0.0.1 — send: 4.48 Gbit/s · receive: 4.52 Gbit/s · Retransmits: send 14"},
      {"iperf3-3.12/bidir-P2-server", "Result — send: 4.86 Gbit/s · receive: 5.43 Gbit/s",
       "Last client: 127.0.0.1 — send: 4.86 Gbit/s · receive: 5.43 Gbit/s · Retransmits: send 19"},
      {"iperf3-3.12/tcp-reverse-P2-server", "", "Last client: 127.0.0.1 — send: 13.80 Gbit/s · Retransmits: 4"},
      {"iperf3-3.12/udp-P2-server", "Result — receive: 8.62 Gbit/s",
       "Last client: 127.0.0.1 — receive: 8.62 Gbit/s · Jitter 0.232 ms · lost 177179 of 275960 datagrams (64 %)"},
      {"iperf3-3.12/udp-reverse-server", "", "Last client: 127.0.0.1 — send: 16.40 Gbit/s"},
      {"iperf3-3.12/udp-reverse-P2-server", "", "Last client: 127.0.0.1 — send: 19.50 Gbit/s"},
      {"iperf3-3.18/bidir-P2-server", "Result — send: 8.04 Gbit/s · receive: 5.99 Gbit/s",
       "Last client: 127.0.0.1 — send: 8.04 Gbit/s · receive: 5.99 Gbit/s · Retransmits: send 50"},
  };
  const std::map<std::string, std::string> recorded = {
      {"iperf3-3.12/tcp-reverse-P2-server", "Result — send: 13.80 Gbit/s"},
      {"iperf3-3.12/udp-reverse-server", "Result — send: 16.40 Gbit/s"},
      {"iperf3-3.12/udp-reverse-P2-server", "Result — send: 19.50 Gbit/s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capture);
    Page page(server_setup());
    page.feed(std::string(c.capture) + ".txt");
    EXPECT_EQ(page.shown_details(), c.line);
    if (*c.result) {
      EXPECT_NE(std::find(page.statuses.begin(), page.statuses.end(), c.result), page.statuses.end());
    }
    for (const auto& shown : page.statuses) EXPECT_EQ(shown.find("0 Kbit/s"), std::string::npos) << shown;
    ASSERT_EQ(page.log->runs().size(), 1u);
    const std::string result = *c.result ? c.result : recorded.at(c.capture);
    EXPECT_EQ(ending(page.run(0)), "Result | " + result + " | " + c.line + " | ");
    EXPECT_EQ(run_ending_text(page.run(0)), result) << "the row";
    EXPECT_EQ(report_ending_lines(page.run(0)), (Texts{result, c.line})) << "the text report";
  }
}

TEST(RunSession, AServedClientThatEndedEarlyKeepsIperf3sReasonWhenItComes) {
  struct Case {
    const char* name;
    const char* capture;
    bool stderr_first;  // its standard error before its standard output
    const char* line;
    const char* result;  // what the record keeps of its summary
    const char* error;
  } cases[] = {
      {"a summary, then the reason", "iperf3-3.12/early-sigint", false,
       "Last client: 127.0.0.1 — receive: 13.60 Gbit/s · ended early (the client has terminated)",
       "Result — receive: 13.60 Gbit/s",
       "the client has terminated"},
      {"the reason, then a summary", "iperf3-3.12/early-sigint", true,
       "Last client: 127.0.0.1 — receive: 13.60 Gbit/s · ended early (the client has terminated)",
       "Result — receive: 13.60 Gbit/s",
       "the client has terminated"},
      {"3.18: a summary, then the reason", "iperf3-3.18/early-sigint", false,
       "Last client: 127.0.0.1 — receive: 28.30 Gbit/s · ended early (the client has terminated)",
       "Result — receive: 28.30 Gbit/s",
       "the client has terminated"},
      {"no summary, then the reason", "iperf3-3.12/early-sigkill", false,
       "Last client: 127.0.0.1 — ended early (the client has unexpectedly closed the connection)",
       "", "the client has unexpectedly closed the connection"},
      {"no summary and no reason", "iperf3-3.12/early-sigkill", false, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Page page(server_setup());
    const std::string out = std::string(c.capture) + "-server.txt";
    const std::string err = std::string(c.capture) + "-server-stderr.txt";
    const bool with_reason = *c.error != '\0';
    if (c.stderr_first) {
      // The lines up to the client's acceptance, its error, the rest.
      OutputParser parser(true);
      bool accepted = false;
      for (const auto& line : capture_lines(out)) {
        for (const auto& e : parser.feed_line(line)) page.event(e);
        if (!accepted && line.starts_with("Accepted")) {
          accepted = true;
          page.feed_stderr(err);
        }
      }
    } else {
      page.feed(out);
      if (with_reason) page.feed_stderr(err);
    }
    if (*c.line) {
      EXPECT_EQ(page.shown_details(), c.line);
    } else {
      EXPECT_EQ(page.details, (Texts{""})) << "nothing to say of a client without a summary";
    }
    EXPECT_NE(page.kind, StatusKind::Error) << "the server goes on";
    EXPECT_EQ(page.look, &kServerRunning);
    ASSERT_EQ(page.log->runs().size(), 1u);
    EXPECT_EQ(ending(page.run(0)), std::string("EndedEarly | ") + c.result + " | " + c.line + " | " + c.error);
    EXPECT_EQ(page.readings(0), 2u);
    // What the Runs page and the text report say of it.
    const std::string reason = with_reason ? std::string(": ") + c.error : "";
    EXPECT_EQ(run_ending_text(page.run(0)), "Ended early" + reason);
    EXPECT_EQ(report_ending_lines(page.run(0)).front(), "The client ended early" + (with_reason ? reason : "."));
  }
  // A bidirectional client that went before its summary; the server says why
  // before it listens again.
  Page page(server_setup());
  OutputParser parser(true);
  for (const auto& line : capture_lines("iperf3-3.12/stopped-early-bidir-P2-server.txt")) {
    if (line.starts_with("-----") && page.log->runs().size() == 1 && page.run(0).end == RunEnd::Running &&
        page.readings(0) == 4)
      page.feed_stderr("iperf3-3.12/stopped-early-bidir-P2-server.err");
    for (const auto& e : parser.feed_line(line)) page.event(e);
  }
  EXPECT_EQ(ending(page.run(0)),
            "EndedEarly |  | Last client: 127.0.0.1 — ended early (unable to write to stream socket: Connection reset "
            "by peer) | unable to write to stream socket: Connection reset by peer");
}

TEST(RunSession, ARunThatLosesItsEventsEndsOnScreenSayingSo) {
  struct Case {
    RunFault fault;
    const char* status;
  } cases[] = {
      {RunFault::EventNotApplied, "The run was stopped: one of its events could not be shown."},
      {RunFault::EventsLost, "The run was stopped: its events stopped arriving."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    Page client(client_setup());
    client.event(Interval{100});
    client.show(client.session.fault(c.fault));
    EXPECT_EQ(client.status(), c.status);
    EXPECT_EQ(client.kind, StatusKind::Error);
    EXPECT_EQ(client.look, &kClientIdle);
    EXPECT_TRUE(client.run_stopped && client.over);
    EXPECT_EQ(client.gauge.peak, 0.0);
    EXPECT_EQ(ending(client.run(0)), std::string("Error |  |  | ") + c.status);

    // The Server page: the client being served ends with the server's error.
    Page server(server_setup());
    server.event(ClientConnected{"127.0.0.1"});
    server.show(server.session.fault(c.fault));
    EXPECT_EQ(server.look, &kServerIdle);
    EXPECT_EQ(ending(server.run(0)), std::string("Error |  |  | ") + c.status);
  }
  // A run that has ended has nothing more to say.
  Page page(client_setup());
  page.exit(3);
  const std::size_t shown = page.statuses.size();
  page.show(page.session.fault(RunFault::EventsLost));
  EXPECT_EQ(page.statuses.size(), shown);
  EXPECT_EQ(page.run(0).error_text, "iperf3 terminated (code 3).");
}

// ---- the run log's caps -----------------------------------------------------

TEST(RunLog, KeepsTheLast100RunsAndTheLast100000ReadingsOfARun) {
  RunLog log;
  std::vector<std::pair<RunLog::Change, std::uint64_t>> removed;
  log.add_listener([&](RunLog::Change c, const RunRecord& r) {
    if (c == RunLog::Change::Removed) removed.emplace_back(c, r.id);
  });
  for (int i = 0; i < 100; ++i) log.end(log.begin(RunPage::Client, "a", "b"), RunEnd::Stopped);
  EXPECT_EQ(log.runs().size(), 100u);
  EXPECT_TRUE(removed.empty());
  EXPECT_EQ(log.dropped_runs(), 0u);
  const std::uint64_t newest = log.begin(RunPage::Server, "c", "d");
  EXPECT_EQ(log.runs().size(), 100u) << "a 101st run was kept";
  EXPECT_EQ(log.runs().front()->id, 2u);
  EXPECT_EQ(log.runs().back()->id, newest);
  EXPECT_EQ(log.dropped_runs(), 1u);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].second, 1u);
  EXPECT_EQ(log.find(1), nullptr);

  IntervalRecord r;
  for (int i = 0; i < 100000; ++i) {
    r.start_text = std::to_string(i);
    log.add_interval(newest, r);
  }
  const RunRecord& run = *log.find(newest);
  EXPECT_EQ(run.intervals.size(), 100000u);
  EXPECT_EQ(run.dropped_intervals, 0u);
  r.start_text = "100000";
  log.add_interval(newest, r);
  EXPECT_EQ(run.intervals.size(), 100000u) << "more than 100,000 readings kept";
  EXPECT_EQ(run.dropped_intervals, 1u);
  EXPECT_EQ(run.intervals.front().start_text, "1");
  EXPECT_EQ(run.intervals.back().start_text, "100000");
}

}  // namespace
}  // namespace trellan

namespace trellan {
namespace {

// A page fed a capture a few lines at a time, as a run that pauses.
struct PausingRun {
  explicit PausingRun(RunSetup setup, const std::string& capture)
      : page(setup), parser(setup.is_server), lines(capture_lines(capture)) {}
  void lines_up_to(std::size_t end) {
    for (; next < end; ++next)
      for (const auto& e : parser.feed_line(lines.at(next))) page.event(e);
  }
  void seconds(int n) {
    for (int i = 0; i < n; ++i) page.show(page.session.reading_tick());
  }
  Page page;
  OutputParser parser;
  std::vector<std::string> lines;
  std::size_t next = 0;
};

TEST(RunSession, ReadingsThatStopAreSaidToHaveStoppedCountingTheSecondsUntilTheNextEvent) {
  // tcp-client.txt: lines 3 to 5 are the readings, 7 to 12 the summary.
  PausingRun run(client_setup(), "iperf3-3.12/tcp-client.txt");
  Page& page = run.page;
  run.seconds(5);
  EXPECT_EQ(page.statuses, (Texts{"Connecting…"})) << "no reading is due before the first";
  run.lines_up_to(5);
  run.seconds(2);
  EXPECT_EQ(page.status(), "Measuring… peak 16.50 Gbit/s") << "two seconds are twice the interval: not late yet";
  EXPECT_FALSE(page.stalled);
  run.seconds(4);
  EXPECT_EQ(Texts(page.statuses.end() - 4, page.statuses.end()),
            (Texts{"No reading for 3 s", "No reading for 4 s", "No reading for 5 s", "No reading for 6 s"}));
  EXPECT_EQ(page.kind, StatusKind::Plain);
  EXPECT_TRUE(page.stalled);
  EXPECT_EQ(page.readings(0), 2u) << "the record keeps the gap as it is";
  ASSERT_EQ(page.run(0).stalls.size(), 1u) << "and keeps the stall while it lasts";
  EXPECT_EQ(stall_text(page.run(0)), "Readings stopped at 2.0 s, none since");

  run.lines_up_to(6);  // readings go on
  EXPECT_EQ(page.status(), "Measuring… peak 16.50 Gbit/s");
  EXPECT_EQ(page.kind, StatusKind::Progress);
  EXPECT_FALSE(page.stalled);
  EXPECT_EQ(page.readings(0), 3u);
  run.seconds(2);
  EXPECT_EQ(page.status(), "Measuring… peak 16.50 Gbit/s") << "the count starts again from the last reading";
  run.lines_up_to(run.lines.size());
  page.exit(0);
  run.seconds(5);
  EXPECT_EQ(page.status(), "Result — send: 13.40 Gbit/s · receive: 13.40 Gbit/s");
  EXPECT_FALSE(page.session.reading_clock_running());
  // The record keeps it on the test's clock: from the end of the reading
  // before it to the end of the one after it.
  EXPECT_EQ(page.run(0).stalls, (std::vector<RunStall>{{2.0, 3.0, RunStall::End::Resumed}}));
  EXPECT_EQ(stall_text(page.run(0)), "Readings stopped from 2.0 s to 3.0 s, then resumed");

  // A reading every 2 s (-i 2) is late after 4 s.
  RunSetup every_2_s = client_setup();
  every_2_s.command = {"iperf3", "-c", "127.0.0.1", "-t", "3", "-i", "2"};
  PausingRun slow(every_2_s, "iperf3-3.12/tcp-client.txt");
  slow.lines_up_to(4);
  slow.seconds(4);
  EXPECT_EQ(slow.page.status(), "Measuring… peak 14.80 Gbit/s");
  slow.seconds(1);
  EXPECT_EQ(slow.page.status(), "No reading for 5 s");

  // iperf3 that ends, quietly, after its readings stopped still ended
  // without a result; one stopped while late shows it was stopped.
  PausingRun ended(client_setup(), "iperf3-3.12/tcp-client.txt");
  ended.lines_up_to(5);
  ended.seconds(3);
  ended.page.exit(0);
  EXPECT_EQ(ended.page.status(), "iperf3 ended without a result.");
  EXPECT_EQ(ended.page.kind, StatusKind::Error);
  EXPECT_FALSE(ended.page.stalled);
  EXPECT_EQ(ended.page.run(0).stalls, (std::vector<RunStall>{{2.0, 5.0, RunStall::End::RunEnded}}));
  EXPECT_EQ(stall_text(ended.page.run(0)), "Readings stopped at 2.0 s, until the run ended at 5.0 s");
  PausingRun stopped(client_setup(), "iperf3-3.12/tcp-client.txt");
  stopped.lines_up_to(5);
  stopped.seconds(3);
  stopped.page.show(stopped.page.session.stop());
  EXPECT_EQ(stopped.page.status(), "Test stopped.");
  EXPECT_FALSE(stopped.page.stalled);
  EXPECT_FALSE(stopped.page.session.reading_clock_running());
  EXPECT_EQ(stopped.page.run(0).stalls, (std::vector<RunStall>{{2.0, 5.0, RunStall::End::RunEnded}}));

  // A server whose client's readings stop says so too, and says again whom
  // it serves when they go on. tcp-server.txt: readings on lines 6 to 8.
  PausingRun server(server_setup(), "iperf3-3.12/tcp-server.txt");
  server.lines_up_to(7);
  server.seconds(3);
  EXPECT_EQ(server.page.status(), "No reading for 3 s");
  EXPECT_TRUE(server.page.stalled);
  server.lines_up_to(8);
  EXPECT_EQ(server.page.status(), "Client connected: 127.0.0.1 — measuring…");
  EXPECT_FALSE(server.page.stalled);
  server.lines_up_to(server.lines.size());
  server.seconds(5);
  EXPECT_EQ(server.page.status(), "Waiting for client connections…") << "between clients no reading is due";
  ASSERT_EQ(server.page.log->runs().size(), 1u);
  EXPECT_EQ(server.page.run(0).stalls, (std::vector<RunStall>{{1.0, 2.0, RunStall::End::Resumed}}));

  // A run that went on well past its set length says so, with or without a
  // stall; one that ended on time does not.
  RunRecord late = page.run(0);
  late.stalls.clear();
  late.facts.duration_s = 1;
  EXPECT_EQ(stall_text(late), "It ended at 3.0 s of a 1 s test");
  late.facts.duration_s = 3;
  EXPECT_EQ(stall_text(late), "");
}

}  // namespace
}  // namespace trellan
