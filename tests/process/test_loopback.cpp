// Real iperf3 output, captured on loopback by the test itself, through the
// parser (under the C locale and a comma-decimal one) and through the runner.
#include "event_helpers.hpp"
#include "drain.hpp"
#include "process/iperf.hpp"
#include "process/line_reader.hpp"
#include "core/run_export.hpp"
#include "core/run_file.hpp"
#include "core/run_session.hpp"
#include "core/run_words.hpp"

#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <clocale>
#include <condition_variable>
#include <locale>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace trellan {
namespace {

using namespace std::chrono_literals;
using testing::describe;
using testing::events_eq;

constexpr const char* kLocaleHelp =
    "the de_DE.UTF-8 locale is missing; generate it with: sed -i "
    "'s/^# *de_DE.UTF-8/de_DE.UTF-8/' /etc/locale.gen && locale-gen";

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

struct Capture {
  std::vector<std::string> client, server;
};

// Runs `iperf3 -s -1` and a one-second client with `options` against it,
// with LC_ALL set to `lc_all`, and returns what both printed.
Capture capture(const std::vector<std::string>& options, const char* lc_all) {
  Capture out;
  const std::string port = std::to_string(free_port());
  gchar** envp = g_environ_setenv(g_get_environ(), "LC_ALL", lc_all, TRUE);

  const gchar* server_argv[] = {"iperf3", "-s", "-1", "-p", port.c_str(), "-i", "0.5", "--forceflush",
                                nullptr};
  GPid server = 0;
  gint server_out = -1;
  GError* error = nullptr;
  if (!g_spawn_async_with_pipes(nullptr, const_cast<gchar**>(server_argv), envp,
                                GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                            G_SPAWN_STDERR_TO_DEV_NULL),
                                nullptr, nullptr, &server, nullptr, &server_out, nullptr, &error)) {
    ADD_FAILURE() << "cannot start the iperf3 server: " << error->message;
    g_error_free(error);
    g_strfreev(envp);
    return out;
  }
  std::mutex mutex;
  std::condition_variable listening_cv;
  bool listening = false, done = false;
  std::thread reader([&] {
    detail::read_lines(server_out, [&](std::string_view line) {
      std::lock_guard lock(mutex);
      out.server.emplace_back(line);
      if (line.find("Server listening") != std::string_view::npos) listening = true;
      listening_cv.notify_all();
    });
    std::lock_guard lock(mutex);
    done = true;
    listening_cv.notify_all();
  });
  {
    std::unique_lock lock(mutex);
    listening_cv.wait_for(lock, 10s, [&] { return listening || done; });
  }

  std::vector<const gchar*> client_argv = {"iperf3", "-c", "127.0.0.1", "-p", port.c_str(),
                                           "-t", "1", "-i", "0.5", "--forceflush"};
  for (const auto& o : options) client_argv.push_back(o.c_str());
  client_argv.push_back(nullptr);
  gchar *client_out = nullptr, *client_err = nullptr;
  gint status = 0;
  if (g_spawn_sync(nullptr, const_cast<gchar**>(client_argv.data()), envp, G_SPAWN_SEARCH_PATH,
                   nullptr, nullptr, &client_out, &client_err, &status, &error)) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "iperf3 client: " << client_err;
    out.client = lines_of(client_out);
  } else {
    ADD_FAILURE() << "cannot run the iperf3 client: " << error->message;
    g_error_free(error);
  }
  g_free(client_out);
  g_free(client_err);

  // The server serves one client and ends; don't let it linger if it doesn't.
  int server_status = 0;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (::waitpid(server, &server_status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the iperf3 server did not end";
      ::kill(server, SIGKILL);
      ::waitpid(server, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  reader.join();
  ::close(server_out);
  g_strfreev(envp);
  return out;
}

// The test's own reading of a rate in Mbit/s ("9.70 Gbits/sec"), for
// comparison with the parser's.
double rate_of(const std::string& line) {
  std::istringstream in(line);
  in.imbue(std::locale::classic());
  std::string previous, token;
  while (in >> token) {
    if (token.ends_with("bits/sec")) {
      std::istringstream number(previous);
      number.imbue(std::locale::classic());
      double v = 0;
      number >> v;
      switch (token[0]) {
        case 'K': return v / 1e3;
        case 'M': return v;
        case 'G': return v * 1e3;
        case 'b': return v / 1e6;
        default: ADD_FAILURE() << "unexpected unit in " << line; return 0;
      }
    }
    previous = token;
  }
  ADD_FAILURE() << "no rate in " << line;
  return 0;
}

std::string interval_of(const std::string& line) {
  std::istringstream in(line);
  std::string previous, token;
  while (in >> token && token != "sec") previous = token;
  return previous;
}

bool has(const std::string& line, const char* text) { return line.find(text) != std::string::npos; }

struct Expect {
  int summaries;          // Summary events on this side
  bool client_finished;   // server side: the test's end is reported
};

// Feeds one side's lines to a parser and checks every line's events against
// what the line itself says. Returns all events.
std::vector<IperfEvent> check_side(const std::vector<std::string>& lines, bool server,
                                   const Expect& expect) {
  OutputParser parser(server);
  std::vector<IperfEvent> all;
  std::string key;
  double total = 0, last_sender = 0;
  // A bidirectional test's lines carry a role after the ID: this side's
  // outgoing (TX) and incoming (RX) flow.
  double tx_sender = 0, rx_receiver = 0;
  int summaries = 0, finished = 0;
  bool client_active = false;
  for (const auto& line : lines) {
    auto events = parser.feed_line(line);
    all.insert(all.end(), events.begin(), events.end());
    const bool summary_line = has(line, "sender") || has(line, "receiver");
    const auto details = std::count_if(events.begin(), events.end(), [](const IperfEvent& e) {
      return std::holds_alternative<SummaryDetails>(e);
    });
    events = testing::without_details(std::move(events));
    const bool tagged = has(line, "][TX-") || has(line, "][RX-");
    const bool data = !line.empty() && line[0] == '[' && has(line, "bits/sec") && !has(line, "[ ID]");
    if (server && has(line, "Server listening")) {
      EXPECT_TRUE(events_eq(events, {Listening{}})) << line;
    } else if (server && has(line, "Accepted connection from")) {
      EXPECT_TRUE(events_eq(events, {ClientConnected{"127.0.0.1"}})) << line;
      client_active = true;
    } else if (!data) {
      EXPECT_TRUE(events.empty()) << line << " gave " << describe(events);
    } else if (tagged && summary_line) {
      if (has(line, "][TX-") && has(line, "sender")) tx_sender = rate_of(line);
      if (has(line, "][RX-") && has(line, "receiver")) rx_receiver = rate_of(line);
      const Summary summary{tx_sender, rx_receiver};
      const bool finishes = server && client_active && has(line, "receiver");
      if (finishes) client_active = false;
      EXPECT_TRUE(events_eq(events, finishes ? std::vector<IperfEvent>{summary, ClientFinished{}}
                                             : std::vector<IperfEvent>{summary}))
          << line;
      ++summaries;
    } else if (has(line, "receiver")) {
      const Summary summary{last_sender, rate_of(line)};
      const auto want = server && client_active ? std::vector<IperfEvent>{summary, ClientFinished{}}
                                                : std::vector<IperfEvent>{summary};
      client_active = false;
      EXPECT_TRUE(events_eq(events, want)) << line;
      ++summaries;
    } else if (has(line, "sender")) {
      EXPECT_TRUE(events.empty()) << line;
      last_sender = rate_of(line);
    } else {
      // An interval line: a new interval starts at its own rate, a stream of
      // the same interval adds to it, the "[SUM]" line gives the total.
      const double rate = rate_of(line);
      const bool first = interval_of(line) != key;
      total = first || has(line, "[SUM]") ? rate : total + rate;
      key = interval_of(line);
      EXPECT_TRUE(events_eq(events, {Interval{total}})) << line;
    }
    EXPECT_EQ(details, summary_line && data ? 1 : 0) << line;
    for (const auto& ev : events) finished += std::holds_alternative<ClientFinished>(ev);
  }
  EXPECT_EQ(summaries, expect.summaries);
  EXPECT_EQ(finished, expect.client_finished ? 1 : 0);
  return all;
}

struct Mode {
  const char* name;
  std::vector<std::string> options;
  Expect client, server;
};

void PrintTo(const Mode& mode, std::ostream* os) { *os << mode.name; }

class RealOutput : public ::testing::TestWithParam<std::tuple<Mode, const char*>> {};

TEST_P(RealOutput, EveryLineGivesTheEventsItCarriesWhateverTheLocale) {
  const auto& [mode, locale] = GetParam();
  const Capture cap = capture(mode.options, locale);
  ASSERT_FALSE(cap.client.empty());
  ASSERT_FALSE(cap.server.empty());
  EXPECT_TRUE(has(cap.client.back(), "iperf Done.")) << "the client run did not complete";

  // The same lines through parsers in the C locale and in the run's locale.
  std::setlocale(LC_ALL, "C");
  const auto client_c = check_side(cap.client, false, mode.client);
  const auto server_c = check_side(cap.server, true, mode.server);
  ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << kLocaleHelp;
  const std::string decimal_point = std::localeconv()->decimal_point;
  const auto client_l = check_side(cap.client, false, mode.client);
  const auto server_l = check_side(cap.server, true, mode.server);
  std::setlocale(LC_ALL, "C");
  if (std::string(locale).starts_with("de_DE")) {
    ASSERT_EQ(decimal_point, ",") << kLocaleHelp;
  }
  EXPECT_TRUE(events_eq(client_l, client_c));
  EXPECT_TRUE(events_eq(server_l, server_c));
}

const Mode kModes[] = {
    {"ParallelStreams", {"-P", "3"}, {4, false}, {4, true}},
    {"Bidirectional", {"--bidir"}, {4, false}, {2, true}},
    {"Udp", {"-u"}, {1, false}, {1, true}},
    {"Reverse", {"-R"}, {1, false}, {0, false}},
};

INSTANTIATE_TEST_SUITE_P(Loopback, RealOutput,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::Values("C.UTF-8", "de_DE.UTF-8")),
                         [](const auto& info) {
                           std::string locale = std::get<1>(info.param);
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  (locale.starts_with("de") ? "German" : "C");
                         });

// Stops a run if the test has not cancelled it by the deadline, so that a
// run that never says what the test waits for cannot hang the test.
class Watchdog {
 public:
  Watchdog(RunHandle& run, std::chrono::seconds limit)
      : thread_([this, &run, limit] {
          std::unique_lock lock(mutex_);
          if (!cv_.wait_for(lock, limit, [this] { return cancelled_; })) {
            ADD_FAILURE() << "the run took too long and was stopped";
            run.stop();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool cancelled_ = false;
  std::thread thread_;
};

TEST(LoopbackRun, ServerAndClientRunsThroughTheRunner) {
  const std::string port = std::to_string(free_port());
  auto [server, server_rx] = start_iperf({"-s", "-1", "-p", port, "--forceflush"}, true);
  std::vector<IperfEvent> server_events;
  {
    Watchdog watchdog(server, 10s);
    while (auto ev = server_rx.recv()) {
      server_events.push_back(std::move(*ev));
      if (std::holds_alternative<Listening>(server_events.back()) ||
          std::holds_alternative<Exited>(server_events.back()))
        break;
    }
  }
  ASSERT_TRUE(events_eq(server_events, {Listening{}}));

  auto [client, client_rx] =
      start_iperf({"-c", "127.0.0.1", "-p", port, "-t", "1", "-P", "2", "--forceflush"}, false);
  std::vector<IperfEvent> client_events;
  {
    Watchdog client_watchdog(client, 20s), server_watchdog(server, 20s);
    client_events = testing::drain(client_rx);
    for (auto& ev : testing::drain(server_rx)) server_events.push_back(std::move(ev));
  }

  ASSERT_GE(client_events.size(), 3u) << describe(client_events);
  EXPECT_TRUE(std::holds_alternative<Interval>(client_events.front())) << describe(client_events);
  EXPECT_TRUE(std::holds_alternative<Summary>(client_events[client_events.size() - 3]));
  EXPECT_TRUE(std::holds_alternative<SummaryDetails>(client_events[client_events.size() - 2]));
  EXPECT_TRUE(events_eq({client_events.back()}, {Exited{0}}));

  ASSERT_GE(server_events.size(), 5u) << describe(server_events);
  EXPECT_TRUE(events_eq({server_events[1]}, {ClientConnected{"127.0.0.1"}}));
  EXPECT_EQ(std::count_if(server_events.begin(), server_events.end(),
                          [](const auto& e) { return std::holds_alternative<ClientFinished>(e); }),
            1);
  EXPECT_TRUE(events_eq({server_events.back()}, {Exited{0}}));
}

// A client whose events are taken only after the run ended, as a window
// whose main loop was held: each interval keeps the time its line was read,
// half a second apart as iperf3 printed them, not the instant it was taken.
TEST(LoopbackRun, IntervalsKeepTheTimeTheirLinesWereReadHoweverLateTheyAreTaken) {
  const std::string port = std::to_string(free_port());
  auto [server, server_rx] = start_iperf({"-s", "-1", "-p", port, "--forceflush"}, true);
  {
    Watchdog watchdog(server, 10s);
    while (auto ev = server_rx.recv())
      if (std::holds_alternative<Listening>(*ev) || std::holds_alternative<Exited>(*ev)) break;
  }
  auto [client, client_rx] =
      start_iperf({"-c", "127.0.0.1", "-p", port, "-t", "2", "-i", "0.5", "--forceflush"}, false);
  std::vector<IperfEvent> client_events;
  std::int64_t taken_us = 0;
  {
    Watchdog client_watchdog(client, 20s), server_watchdog(server, 20s);
    // The server ends with its one client, after the client's last line.
    testing::drain(server_rx);
    taken_us = g_get_monotonic_time();
    client_events = testing::drain(client_rx);
  }
  std::vector<std::int64_t> at;
  for (const auto& ev : client_events)
    if (const auto* i = std::get_if<Interval>(&ev)) at.push_back(i->at_us);
  ASSERT_GE(at.size(), 4u) << describe(client_events);
  EXPECT_GT(taken_us - at.front(), 1'000'000);
  for (std::size_t i = 1; i < 4; ++i)
    EXPECT_NEAR(static_cast<double>(at[i] - at[i - 1]), 500'000.0, 150'000.0) << "interval " << i;
}

// The pid of this process's child whose command line holds every one of
// `words`; 0 when none does.
pid_t child_with(const std::vector<std::string>& words) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    // pid (comm) state ppid …: comm may hold spaces, so read past its ")".
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid != ::getpid()) continue;
    std::ifstream cmdline(entry.path() / "cmdline");
    std::vector<std::string> args;
    for (std::string arg; std::getline(cmdline, arg, '\0');) args.push_back(arg);
    if (std::all_of(words.begin(), words.end(),
                    [&](const auto& w) { return std::find(args.begin(), args.end(), w) != args.end(); }))
      return static_cast<pid_t>(std::stoi(name));
  }
  return 0;
}

// A real client stopped (SIGSTOP) after its reading at 1.00 s and let go on
// six seconds later: its readings stop, the page notices as its reading
// clock ticks, and the record keeps the stall from 1.0 s to the end of the
// reading that came after it, which iperf3 measured across the whole gap.
// Its 4 s test then ends long after 4 s. The report says both, and a run
// file keeps them: reopened, it reads the same.
TEST(LoopbackRun, AStoppedClientsStallIsKeptInItsRecordAndSaidInEachCopy) {
  const std::string port = std::to_string(free_port());
  auto [server, server_rx] = start_iperf({"-s", "-1", "-p", port, "--forceflush"}, true);
  {
    Watchdog watchdog(server, 10s);
    while (auto ev = server_rx.recv())
      if (std::holds_alternative<Listening>(*ev) || std::holds_alternative<Exited>(*ev)) break;
  }
  const std::vector<std::string> args = {"-c", "127.0.0.1", "-p", port, "-t", "4", "-i", "0.5", "--forceflush"};
  auto [client, client_rx] = start_iperf(args, false);

  RunSetup setup;
  setup.far_end = "127.0.0.1, port " + port;
  setup.command = args;
  setup.command.insert(setup.command.begin(), "iperf3");
  ClientOptions options;
  options.duration = 4;
  setup.facts = run_facts(options);
  RunSession session(setup);
  RunRecording recording;
  recording.log = std::make_shared<RunLog>();
  MeterState gauge;
  const auto apply = [&](const PageAnswer& a) {
    for (const RecordStep& step : a.record) recording.apply(step);
  };
  apply(session.start());
  apply(session.launched());

  bool stopped = false;
  {
    Watchdog client_watchdog(client, 30s), server_watchdog(server, 30s);
    while (auto ev = client_rx.recv()) {
      const auto* reading = std::get_if<Interval>(&*ev);
      const std::int64_t at_us = reading && reading->at_us > 0 ? reading->at_us : g_get_monotonic_time();
      apply(session.on_event(*ev, gauge, static_cast<double>(at_us) / 1e6));
      if (!stopped && reading && reading->record && reading->record->end_text == "1.00") {
        const pid_t pid = child_with({"-c", "-p", port});
        ASSERT_NE(pid, 0) << "the client iperf3 was not found among this process's children";
        ASSERT_EQ(::kill(pid, SIGSTOP), 0);
        // Six seconds without a reading, ticked as the page's reading clock
        // ticks them: the stall itself, not a wait for something to happen.
        for (int second = 0; second < 6; ++second) {
          std::this_thread::sleep_for(1s);
          apply(session.reading_tick());
          if (second == 3) {
            const RunRecord& now = *recording.log->find(recording.open_id);
            ASSERT_EQ(now.stalls.size(), 1u) << "the stall is kept while it lasts";
            EXPECT_EQ(now.stalls[0].end, RunStall::End::Ongoing);
            EXPECT_EQ(stall_text(now), "Readings stopped at 1.0 s, none since");
          }
        }
        ASSERT_EQ(::kill(pid, SIGCONT), 0);
        stopped = true;
      }
    }
    testing::drain(server_rx);
  }
  ASSERT_TRUE(stopped) << "the client never read out its 1.00 s reading";
  ASSERT_EQ(recording.log->runs().size(), 1u);
  const RunRecord& run = *recording.log->runs().front();
  ASSERT_EQ(run.end, RunEnd::Result) << run.error_text;

  ASSERT_EQ(run.stalls.size(), 1u);
  const RunStall& stall = run.stalls[0];
  EXPECT_EQ(stall.end, RunStall::End::Resumed);
  EXPECT_EQ(stall.from_s, 1.0);
  // iperf3's one reading across the gap ends where its clock got to (3.18
  // adds one of no time after it, at that same end).
  const auto gap = std::find_if(run.intervals.begin(), run.intervals.end(),
                                [](const IntervalRecord& r) { return r.start >= 1.0; });
  ASSERT_NE(gap, run.intervals.end());
  const IntervalRecord& across = *gap;
  EXPECT_EQ(across.start, 1.0);
  EXPECT_EQ(stall.to_s, across.end);
  EXPECT_GT(stall.to_s, 6.5);
  EXPECT_LT(stall.to_s, 9.0);

  // Both times are where iperf3's clock got to, to a tenth of a second.
  const std::string said = stall_text(run);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(said, m,
                               std::regex(R"(Readings stopped from 1\.0 s to (\d+\.\d) s, then resumed\. )"
                                          R"(It ended at (\d+\.\d) s of a 4 s test)")))
      << said;
  EXPECT_EQ(m[1].str(), m[2].str());
  EXPECT_NEAR(std::stod(m[1].str()), across.end, 0.051);
  const std::string report = run_report(run, "3.12");
  EXPECT_NE(report.find("\n" + said + ".\n"), std::string::npos) << report;

  const OpenedFile reopened = read_runs(run_file_text({&run}), "stall.trellan");
  ASSERT_EQ(reopened.runs.size(), 1u) << reopened.error;
  EXPECT_EQ(reopened.runs[0].stalls, run.stalls);
  EXPECT_EQ(reopened.runs[0].facts.duration_s, std::optional<double>(4));
  EXPECT_EQ(run_report(reopened.runs[0], "3.12"), report);
}

}  // namespace
}  // namespace trellan
