// Runs opened from files: iperf3's JSON output as real iperf3 3.12 and 3.18
// wrote it (tests/captures, json-*), bad input of every kind, and Trellan's
// own run files saved and opened again. The expected texts are written by
// hand from the captured files.
#include "core/json_scan.hpp"
#include "core/run_file.hpp"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "core/run_export.hpp"
#include "core/run_words.hpp"
#include "latency_figures.hpp"

namespace trellan {
namespace {

std::string captures_dir() {
  const char* dir = std::getenv("TRELLAN_CAPTURES");
  return dir ? dir : "captures";
}

std::string capture_text(const std::string& name) {
  std::ifstream in(captures_dir() + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << "no capture " << name;
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

OpenedFile open_capture(const std::string& name) { return open_run_file(captures_dir() + "/" + name, "shown.json"); }

// The CSV line of one interval record.
std::string csv_line(const RunRecord& run, std::size_t i) {
  std::istringstream csv(intervals_csv(run));
  std::string line;
  for (std::size_t n = 0; n <= i + 1 && std::getline(csv, line); ++n) {
  }
  return line;
}

std::chrono::system_clock::time_point at(std::time_t secs) { return std::chrono::system_clock::from_time_t(secs); }

struct Expected {
  const char* file;
  RunPage page;
  const char* far_end;
  const char* options;
  RunEnd end;
  const char* result;
  const char* details;
  const char* error;
  std::size_t records;
  const char* first_record;  // its CSV line
  std::time_t started;
  const char* version;
};

TEST(RunFileCaptures, EachModeOpensToTheRunItsPageWouldHaveShown) {
  const Expected cases[] = {
      {"iperf3-3.12/json-tcp-client.json", RunPage::Client, "127.0.0.1, port 57053", "TCP · 2 s", RunEnd::Result,
       "Result — send: 12.19 Gbit/s · receive: 12.15 Gbit/s", "Retransmits: 0", "", 2,
       "0.00,1.00,send,13578.156,1.58 GBytes,0,,,,no,,", 1796708737, "iperf 3.12"},
      // iperf3 3.12 does not say "bidir" at the start; the reverse sums do.
      {"iperf3-3.12/json-bidir-client.json", RunPage::Client, "127.0.0.1, port 59535", "TCP · bidirectional · 2 s",
       RunEnd::Result, "Result — send: 6.21 Gbit/s · receive: 4.15 Gbit/s", "Retransmits: send 8 · receive 12", "",
       4, "0.00,1.00,send,4858.384,581 MBytes,6,,,,no,,", 1796708747, "iperf 3.12"},
      {"iperf3-3.18/json-udp-server.json", RunPage::Server, "127.0.0.1", "UDP · port 41359", RunEnd::Result,
       "Result — receive: 10.1 Mbit/s",
       "Last client: 127.0.0.1 — receive: 10.1 Mbit/s · Jitter 0.019 ms · lost 0 of 77 datagrams (0 %)", "", 2,
       "0.00,1.00,receive,10.215,1.22 MBytes,,0.111,0,39,no,,", 1796708752, "iperf 3.18"},
      {"iperf3-3.18/json-udp-reverse-P2-client.json", RunPage::Client, "127.0.0.1, port 34683",
       "UDP · 2 streams · reverse · target 10M · 2 s", RunEnd::Result,
       "Result — send: 20.0 Mbit/s · receive: 19.8 Mbit/s", "Jitter 0.087 ms · lost 0 of 152 datagrams (0 %)", "", 2,
       "0.00,1.00,receive,20.440,2.44 MBytes,,0.047,0,78,no,,", 1796708756, "iperf 3.18"},
      {"iperf3-3.18/json-omit-client.json", RunPage::Client, "127.0.0.1, port 40971", "TCP · 2 s · omit first 1 s",
       RunEnd::Result, "Result — send: 22.65 Gbit/s · receive: 22.65 Gbit/s", "Retransmits: 3", "", 3,
       "0.00,1.00,send,18081.313,2.11 GBytes,3,,,,yes,,", 1796708762, "iperf 3.18"},
      {"iperf3-3.18/json-bytes-client.json", RunPage::Client, "127.0.0.1, port 60135", "TCP · 2.00 GBytes",
       RunEnd::Result, "Result — send: 8.58 Gbit/s · receive: 8.57 Gbit/s", "Retransmits: 7", "", 2,
       "0.00,1.00,send,14285.725,1.66 GBytes,7,,,,no,,", 1796708766, "iperf 3.18"},
      {"iperf3-3.12/json-reverse-client.json", RunPage::Client, "127.0.0.1, port 47765", "TCP · reverse · 2 s",
       RunEnd::Result, "Result — send: 16.78 Gbit/s · receive: 16.79 Gbit/s", "Retransmits: 23", "", 2,
       "0.00,1.00,receive,14147.672,1.65 GBytes,,,,,no,,", 1796708743, "iperf 3.12"},
      {"iperf3-3.18/json-tcp-P2-client.json", RunPage::Client, "127.0.0.1, port 48841", "TCP · 2 streams · 2 s",
       RunEnd::Result, "Result — send: 17.76 Gbit/s · receive: 17.74 Gbit/s", "Retransmits: 55", "", 2,
       "0.00,1.00,send,11026.546,1.29 GBytes,46,,,,no,,", 1796708740, "iperf 3.18"},
      {"iperf3-3.18/json-bidir-P2-client.json", RunPage::Client, "127.0.0.1, port 48371",
       "TCP · 2 streams · bidirectional · 2 s", RunEnd::Result, "Result — send: 9.90 Gbit/s · receive: 16.53 Gbit/s",
       "Retransmits: send 34 · receive 15", "", 4, "0.00,1.00,send,8140.319,973 MBytes,26,,,,no,,", 1796708749,
       "iperf 3.18"},
      {"iperf3-3.18/json-bidir-server.json", RunPage::Server, "127.0.0.1", "TCP · port 43171", RunEnd::Result,
       "Result — send: 23.10 Gbit/s · receive: 12.29 Gbit/s",
       "Last client: 127.0.0.1 — send: 23.10 Gbit/s · receive: 12.29 Gbit/s · Retransmits: send 54", "", 4,
       "0.00,1.00,receive,13783.879,1.60 GBytes,,,,,no,,", 1796708746, "iperf 3.18"},
      // -k: a test of so many blocks, without a duration.
      {"iperf3-3.12/json-blocks-client.json", RunPage::Client, "127.0.0.1, port 44427", "TCP · 20000 blocks",
       RunEnd::Result, "Result — send: 16.43 Gbit/s · receive: 16.42 Gbit/s", "Retransmits: 5", "", 2,
       "0.00,1.00,send,17073.001,1.99 GBytes,5,,,,no,,", 1796708770, "iperf 3.12"},
      {"iperf3-3.12/json-refused-client.json", RunPage::Client, "", "", RunEnd::Error, "", "",
       "iperf3 error: unable to connect to server: Connection refused", 0, "", 0, "iperf 3.12"},
      // Ctrl-C: iperf3 wrote what it had and why it stopped.
      {"iperf3-3.12/json-interrupted-client.json", RunPage::Client, "127.0.0.1, port 55293", "TCP · 10 s",
       RunEnd::EndedEarly, "Result — send: 17.33 Gbit/s", "Retransmits: 1",
       "interrupt - the client has terminated", 2, "0.00,1.00,send,20250.894,2.36 GBytes,1,,,,no,,", 1796708773,
       "iperf 3.12"},
      // The server writes the client's last interval twice; the record has it once.
      {"iperf3-3.12/json-interrupted-server.json", RunPage::Server, "127.0.0.1", "TCP · port 55293", RunEnd::EndedEarly,
       "Result — receive: 25.65 Gbit/s",
       "Last client: 127.0.0.1 — receive: 25.65 Gbit/s · ended early (the client has terminated)",
       "the client has terminated", 1, "0.00,1.00,receive,20221.877,2.36 GBytes,,,,,no,,", 1796708773, "iperf 3.12"},
      {"iperf3-3.18/json-stream-udp-bidir-client.jsonl", RunPage::Client, "127.0.0.1, port 55091",
       "UDP · bidirectional · target 10M · 2 s", RunEnd::Result, "Result — send: 10.1 Mbit/s · receive: 10.1 Mbit/s",
       "Send: jitter 0.026 ms, lost 0 of 77 (0 %) · Receive: jitter 0.030 ms, lost 0 of 77 (0 %)", "", 4,
       "0.00,1.00,send,10.213,1.22 MBytes,,,,39,no,,", 0, "iperf 3.18"},
      {"iperf3-3.18/json-stream-interrupted-client.jsonl", RunPage::Client, "127.0.0.1, port 49207", "TCP · 10 s",
       RunEnd::EndedEarly, "Result — send: 15.86 Gbit/s", "Retransmits: 8",
       "interrupt - the client has terminated", 2, "0.00,1.00,send,14447.145,1.68 GBytes,7,,,,no,,", 1796708783,
       "iperf 3.18"},
  };
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.file);
    const OpenedFile f = open_capture(c.file);
    ASSERT_EQ(f.error, "");
    ASSERT_EQ(f.runs.size(), 1u);
    const RunRecord& r = f.runs[0];
    EXPECT_EQ(r.page, c.page);
    EXPECT_EQ(r.far_end, c.far_end);
    EXPECT_EQ(r.options_summary, c.options);
    EXPECT_EQ(r.end, c.end);
    EXPECT_EQ(r.result_text, c.result);
    EXPECT_EQ(r.details_text, c.details);
    EXPECT_EQ(r.error_text, c.error);
    EXPECT_EQ(r.intervals.size(), c.records);
    if (c.records) {
      EXPECT_EQ(csv_line(r, 0), c.first_record);
    }
    if (c.started) {
      EXPECT_EQ(r.started, at(c.started));
    }
    EXPECT_EQ(r.facts.iperf_version, c.version);
    EXPECT_EQ(r.source_file, "shown.json");
    EXPECT_FALSE(r.latency) << "an iperf3 file has no latency";
    EXPECT_TRUE(r.command.empty());
  }
}

TEST(RunFileCaptures, ServerLogOpensToOneRunPerTestAndNoneForItsShutdown) {
  for (const char* file : {"iperf3-3.12/json-server-log-server.json", "iperf3-3.18/json-server-log-server.json",
                           "iperf3-3.18/json-stream-server-log-server.jsonl"}) {
    SCOPED_TRACE(file);
    const OpenedFile f = open_capture(file);
    ASSERT_EQ(f.error, "");
    ASSERT_EQ(f.runs.size(), 2u);
    EXPECT_EQ(f.runs[0].page, RunPage::Server);
    EXPECT_EQ(f.runs[0].end, RunEnd::Result);
    EXPECT_TRUE(f.runs[0].result_text.starts_with("Result — receive: "));
    EXPECT_TRUE(f.runs[1].result_text.starts_with("Result — send: "));  // the reverse test
    EXPECT_LT(f.runs[0].started, f.runs[1].started);
  }
  const OpenedFile f = open_capture("iperf3-3.12/json-server-log-server.json");
  EXPECT_EQ(f.runs[1].started, at(1796708777));
  EXPECT_EQ(f.runs[1].details_text, "Last client: 127.0.0.1 — send: 4.69 Gbit/s · Retransmits: 11");
  EXPECT_EQ(csv_line(f.runs[1], 0), "0.00,1.00,send,4686.822,560 MBytes,11,,,,no,,");
}

TEST(RunFileCaptures, BitratesAndTransfersReadAsIperf3PrintsThem) {
  const OpenedFile f = open_capture("iperf3-3.12/json-bidir-client.json");
  ASSERT_EQ(f.runs.size(), 1u);
  const auto& i = f.runs[0].intervals;
  EXPECT_EQ(i[0].bitrate, "4.86 Gbits/sec");
  EXPECT_EQ(i[1].transfer, "343 MBytes");
  EXPECT_EQ(i[1].direction, Direction::Receive);
  EXPECT_EQ(i[1].bitrate, "2.87 Gbits/sec");
  const OpenedFile udp = open_capture("iperf3-3.18/json-udp-server.json");
  EXPECT_EQ(udp.runs[0].intervals[0].bitrate, "10.2 Mbits/sec");
}

// A client run with -T tuned -l 64K -w 256K, and the server that served it:
// the title, the buffer length and the socket buffer are kept as facts,
// said in the options and the report, and kept by a run file. The served
// client says what the client asked of it.
TEST(RunFileCaptures, TitleBufferLengthAndWindowAreKeptAndSaid) {
  const OpenedFile client = open_capture("iperf3-3.12/json-tuned-client.json");
  ASSERT_EQ(client.runs.size(), 1u) << client.error;
  const RunRecord& c = client.runs[0];
  EXPECT_EQ(c.facts.title, "tuned");
  EXPECT_EQ(c.facts.buffer_length, "64K");
  EXPECT_EQ(c.facts.window, "256K");
  EXPECT_EQ(c.options_summary, "TCP · 2 s · buffer length 64K · window 256K");
  const std::string report = run_report(c, c.facts.iperf_version);
  EXPECT_NE(report.find("\nTitle: tuned\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\nOptions: TCP · 2 s · buffer length 64K · window 256K\n"), std::string::npos) << report;

  const OpenedFile server = open_capture("iperf3-3.12/json-tuned-server.json");
  ASSERT_EQ(server.runs.size(), 1u) << server.error;
  const RunRecord& s = server.runs[0];
  EXPECT_EQ(s.options_summary, "TCP · port 42655");
  EXPECT_EQ(s.facts.protocol, "TCP");
  EXPECT_EQ(s.facts.title, "tuned");
  EXPECT_EQ(s.facts.window, "256K");

  // A run file keeps them all.
  const OpenedFile back = read_runs(run_file_text({&c, &s}), "again.trellan");
  ASSERT_EQ(back.runs.size(), 2u) << back.error;
  EXPECT_EQ(back.runs[0].facts, c.facts);
  EXPECT_EQ(back.runs[1].facts, s.facts);
  EXPECT_EQ(run_report(back.runs[0], back.runs[0].facts.iperf_version), report);

  // Without -l or -w nothing is said of them: TCP's 128K is iperf3's own.
  const OpenedFile plain = open_capture("iperf3-3.12/json-tcp-client.json");
  ASSERT_EQ(plain.runs.size(), 1u);
  EXPECT_EQ(plain.runs[0].facts.buffer_length, "");
  EXPECT_EQ(plain.runs[0].facts.window, "");
  EXPECT_EQ(plain.runs[0].facts.title, "");
}

// A stream that stops before its "end" event: what came is kept.
TEST(RunFileCaptures, StreamCutBeforeItsEndOpensAsEndedEarly) {
  const std::string whole = capture_text("iperf3-3.18/json-stream-client.jsonl");
  std::size_t cut = 0;
  for (int line = 0; line < 3; ++line) cut = whole.find('\n', cut) + 1;  // the start and two intervals
  const OpenedFile f = read_runs(whole.substr(0, cut), "cut.jsonl");
  ASSERT_EQ(f.error, "");
  ASSERT_EQ(f.runs.size(), 1u);
  EXPECT_EQ(f.runs[0].end, RunEnd::EndedEarly);
  const std::string still = "The file ends before the test did: iperf3 may still be running it and writing the rest";
  EXPECT_EQ(f.runs[0].error_text, still);
  EXPECT_EQ(f.runs[0].intervals.size(), 2u);
  EXPECT_EQ(run_ending_text(f.runs[0]), "Ended early: " + still);

  // Cut in the middle of its last line, as a writer stopped mid-way leaves it.
  const OpenedFile mid_line = read_runs(whole.substr(0, cut + 40), "cut.jsonl");
  ASSERT_EQ(mid_line.error, "");
  ASSERT_EQ(mid_line.runs.size(), 1u);
  EXPECT_EQ(mid_line.runs[0].end, RunEnd::EndedEarly);
  EXPECT_EQ(mid_line.runs[0].intervals.size(), 2u);

  const OpenedFile whole_file = read_runs(whole, "whole.jsonl");
  ASSERT_EQ(whole_file.runs.size(), 1u);
  EXPECT_EQ(whole_file.runs[0].end, RunEnd::Result);
}

// ---- bad input -----------------------------------------------------------------

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string with_crlf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

TEST(RunFileBadInput, EachGetsItsReasonAndNoRun) {
  const std::string tcp = capture_text("iperf3-3.12/json-tcp-client.json");
  const std::string stream = capture_text("iperf3-3.18/json-stream-client.jsonl");
  const std::string second_line = stream.substr(stream.find('\n') + 1, stream.find('\n', stream.find('\n') + 1) - stream.find('\n'));
  const OpenedFile tcp_run = read_runs(tcp, "tcp.json");
  const std::string saved = run_file_text({&tcp_run.runs.at(0)});
  struct Case {
    const char* name;
    std::string bytes;
    std::string reason;
  };
  const Case cases[] = {
      {"empty", "", "The file is empty"},
      {"blank", "  \n\r\n\t", "The file is empty"},
      {"not JSON", "hello, world\n", "It is not JSON"},
      {"iperf3's text output", capture_text("iperf3-3.12/tcp-client.txt"),
       "It is iperf3's text output; Trellan opens the JSON output that iperf3 writes with -J"},
      {"other JSON", "{\"name\": \"Ada\", \"age\": 36}\n", "It is JSON, but not iperf3's output or a Trellan run file"},
      {"a JSON list", "[1, 2, 3]", "It is JSON, but not iperf3's output or a Trellan run file"},
      {"binary", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "It is not a text file"},
      {"Latin-1 text", "caf\xe9 cr\xe8me\n", "It is not a text file"},
      {"cut mid-way", tcp.substr(0, tcp.size() / 2),
       "It ends in the middle of a value: it may have been cut off while it was written"},
      {"broken JSON", replaced(tcp, "\"intervals\":", "\"intervals\"="),
       "It is not valid JSON: missing a colon after a name of object member (line 39)"},
      {"stream with a broken line", replaced(stream, second_line, "{\"event\":\"interval\",\"data\":{\"str\n"),
       "Line 2 is broken: it stops in the middle of an event"},
      {"stream with a line that is not JSON", replaced(stream, second_line, "interval 1\n"),
       "Line 2 is broken: it is not valid JSON"},
      {"stream with a line that is no event", replaced(stream, second_line, "[1, 2]\n"),
       "Line 2 is not one of iperf3's events"},
      {"negative bytes", replaced(tcp, "\"bytes\":\t1700003840,\n\t\t\t\t\"bits", "\"bytes\":\t-5,\n\t\t\t\t\"bits"),
       "It holds a figure that cannot be right: “bytes” in interval 1 is -5"},
      {"absurd rate", replaced(tcp, "13578156386.92675,\n\t\t\t\t\"retransmits\":\t0,\n\t\t\t\t\"omitted\"",
                               "1e300,\n\t\t\t\t\"retransmits\":\t0,\n\t\t\t\t\"omitted\""),
       "It holds a figure that cannot be right: “bits_per_second” in interval 1 is 1e+300"},
      {"interval backwards", replaced(tcp, "\"start\":\t0,\n\t\t\t\t\"end\":\t1.001611", "\"start\":\t0,\n\t\t\t\t\"end\":\t-1"),
       "It holds a figure that cannot be right: “end” in interval 1 is -1"},
      {"interval ends before it starts",
       replaced(tcp, "\"start\":\t1.001611,\n\t\t\t\t\"end\":\t2.000088", "\"start\":\t1.5,\n\t\t\t\t\"end\":\t1.2"),
       "It holds a figure that cannot be right: interval 2 ends before it starts"},
      {"interval of centuries",
       replaced(tcp, "\"start\":\t1.001611,\n\t\t\t\t\"end\":\t2.000088", "\"start\":\t1.001611,\n\t\t\t\t\"end\":\t5e8"),
       "It holds a figure that cannot be right: “end” in interval 2 is 5e+08"},
      // A run file's intervals are held to the same.
      {"run file interval backwards", replaced(saved, "[0,1.001611,\"0.00\",\"1.00\"", "[0,-1,\"0.00\",\"-1.00\""),
       "A run in it has an interval that has a negative time (0.00–-1.00 s)"},
      {"run file interval of centuries", replaced(saved, "[0,1.001611,\"0.00\",\"1.00\"", "[0,5e8,\"0.00\",\"500000000.00\""),
       "A run in it has an interval that ends after more than three years (0.00–500000000.00 s)"},
      {"bytes not a number", replaced(tcp, "\"bytes\":\t1700003840,\n\t\t\t\t\"bits", "\"bytes\":\t\"many\",\n\t\t\t\t\"bits"),
       "It holds a figure that cannot be right: “bytes” in interval 1 is a text"},
      {"rate not a number", replaced(tcp, "13578156386.92675,\n\t\t\t\t\"retransmits\":\t0,\n\t\t\t\t\"omitted\"",
                                     "null,\n\t\t\t\t\"retransmits\":\t0,\n\t\t\t\t\"omitted\""),
       "It holds a figure that cannot be right: “bits_per_second” in interval 1 is null"},
      {"no test", "{\"start\": {\"connected\": []}, \"intervals\": [], \"end\": {}}",
       "It holds no test: only what an iperf3 server wrote as it started or stopped"},
      {"newer run file", "{\"format\":\"trellan-runs\",\"version\":7,\"runs\":[]}",
       "It was saved by a newer Trellan (run file version 7); this Trellan reads run files up to version 1"},
      {"run file of no runs", "{\"format\":\"trellan-runs\",\"version\":1,\"runs\":[]}",
       "It is a run file with no runs in it"},
      {"faulty run file", "{\"format\":\"trellan-runs\",\"version\":1,\"runs\":[{\"page\":\"moon\",\"end\":\"result\"}]}",
       "A run in it has a faulty “page”"},
      {"nested too deep", std::string(100000, '[') + std::string(100000, ']'),
       "It is JSON, but not iperf3's output or a Trellan run file"},
      {"objects nested too deep", [] {
         std::string s;
         for (int i = 0; i < 100000; ++i) s += "{\"a\":";
         return s;
       }(),
       "Its values are nested deeper than any run's (line 1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const OpenedFile f = read_runs(c.bytes, "bad.json");
    EXPECT_EQ(f.error, c.reason);
    EXPECT_TRUE(f.runs.empty());
  }
  // An interval of no time is iperf3's own: 3.18 ends a run whose client was
  // stopped past its length with one (7.50–7.50 s). Its file and a run file
  // of it open.
  for (const std::string& bytes :
       {replaced(tcp, "\"start\":\t1.001611,\n\t\t\t\t\"end\":\t2.000088",
                 "\"start\":\t1.001611,\n\t\t\t\t\"end\":\t1.001611"),
        replaced(saved, "[0,1.001611,\"0.00\",\"1.00\"", "[0,0,\"0.00\",\"0.00\"")}) {
    const OpenedFile f = read_runs(bytes, "zero.json");
    EXPECT_EQ(f.error, "");
    EXPECT_EQ(f.runs.size(), 1u);
  }
}

// A run is made of iperf3's sums; each stream's own figures are passed over
// by their brackets. Brackets and quotes inside a stream's texts do not end
// it early, and brackets that do not close are still found out.
TEST(RunFileBadInput, StreamFiguresArePassedOverWhateverTheirTextsHold) {
  std::string odd = capture_text("iperf3-3.12/json-tcp-client.json");
  for (std::size_t at = 0; (at = odd.find("\"socket\":", at)) != std::string::npos; at += 40)
    odd.insert(at, "\"note\": \"]}\\\"[{\\\\\", ");
  const OpenedFile f = read_runs(odd, "odd.json");
  ASSERT_EQ(f.error, "");
  ASSERT_EQ(f.runs.size(), 1u);
  EXPECT_EQ(f.runs[0].intervals.size(), 2u);
  EXPECT_EQ(f.runs[0].result_text, "Result — send: 12.19 Gbit/s · receive: 12.15 Gbit/s");

  const std::string tcp = capture_text("iperf3-3.12/json-tcp-client.json");
  const std::size_t streams = tcp.find("\"streams\":");
  std::string unclosed = tcp;
  unclosed.replace(tcp.find(']', streams), 1, "}");
  const OpenedFile g = read_runs(unclosed, "unclosed.json");
  EXPECT_EQ(g.error.rfind("It is not valid JSON", 0), 0u) << g.error;
  EXPECT_TRUE(g.runs.empty());
}

TEST(RunFileBadInput, CrlfLineEndingsOpenAsUsual) {
  const OpenedFile json = read_runs(with_crlf(capture_text("iperf3-3.12/json-tcp-client.json")), "crlf.json");
  ASSERT_EQ(json.error, "");
  ASSERT_EQ(json.runs.size(), 1u);
  EXPECT_EQ(json.runs[0].intervals.size(), 2u);
  EXPECT_EQ(json.runs[0].result_text, "Result — send: 12.19 Gbit/s · receive: 12.15 Gbit/s");
  const OpenedFile stream = read_runs(with_crlf(capture_text("iperf3-3.18/json-stream-client.jsonl")), "crlf.jsonl");
  ASSERT_EQ(stream.error, "");
  ASSERT_EQ(stream.runs.size(), 1u);
  EXPECT_EQ(stream.runs[0].end, RunEnd::Result);
}

class RunFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trellan-run-file-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const auto& p : made_) unlink(p.c_str());
    rmdir((dir_ + "/folder").c_str());
    rmdir(dir_.c_str());
  }
  std::string make(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    made_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> made_;
};

TEST_F(RunFileOnDisk, FilesThatCannotBeReadSayWhy) {
  mkdir((dir_ + "/folder").c_str(), 0755);
  EXPECT_EQ(open_run_file(dir_ + "/folder", "folder").error, "It is a folder, not a file");
  EXPECT_EQ(open_run_file(dir_ + "/gone.json", "gone.json").error, "There is no such file");
  // A named pipe that nothing writes to before it is closed.
  const std::string fifo = dir_ + "/pipe.json";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  made_.push_back(fifo);
  EXPECT_EQ(open_run_file(fifo, "pipe.json").error, "It is a named pipe, and nothing was written to it");
  // A figure beyond any double is no figure, though the JSON is valid.
  const std::string huge_number = replaced(capture_text("iperf3-3.12/json-tcp-client.json"),
                                           "13578156386.92675,", "1e400,");
  EXPECT_EQ(open_run_file(make("huge.json", huge_number), "huge.json").error,
            "It holds a number too large for any figure (line 46)");
  // Blank space longer than a piece of the file before a valid document.
  const std::string blank_first = std::string(300000, ' ') + "\n" + capture_text("iperf3-3.12/json-tcp-client.json");
  const OpenedFile after_blank = open_run_file(make("blank-first.json", blank_first), "blank-first.json");
  EXPECT_EQ(after_blank.error, "");
  EXPECT_EQ(after_blank.runs.size(), 1u);
  EXPECT_EQ(open_run_file(make("blank.json", std::string(300000, ' ')), "blank.json").error, "The file is empty");
  EXPECT_EQ(open_run_file(make("empty.json", ""), "empty.json").error, "The file is empty");

  // 2 GB of nothing (a sparse file): refused at its first bytes, without
  // reading it all.
  const std::string big = make("big.json", "");
  ASSERT_EQ(truncate(big.c_str(), off_t{2} << 30), 0);
  const OpenedFile huge = open_run_file(big, "big.json");
  EXPECT_EQ(huge.error, "It is not a text file");
  EXPECT_TRUE(huge.runs.empty());

  // Permissions do not stop root, which the tests may run as.
  const std::string locked = make("locked.json", capture_text("iperf3-3.12/json-tcp-client.json"));
  chmod(locked.c_str(), 0);
  if (geteuid() != 0) {
    EXPECT_EQ(open_run_file(locked, "locked.json").error, "You are not allowed to read it");
  }
}

// iperf3's file of a refused client says neither when nor where: its run
// started when the file was written, not when it was opened, and its title
// says no far end rather than an empty one. Both 3.12's and 3.18's.
TEST_F(RunFileOnDisk, ARefusedClientStartsWhenItsFileWasWritten) {
  for (const char* capture : {"iperf3-3.12/json-refused-client.json", "iperf3-3.18/json-refused-client.json"}) {
    SCOPED_TRACE(capture);
    const std::string path = make("refused.json", capture_text(capture));
    // 2026-12-08 05:46:40 UTC, as a file copied from another machine keeps it.
    const timespec times[2] = {{1796708800, 0}, {1796708800, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const OpenedFile f = open_run_file(path, "refused.json");
    ASSERT_EQ(f.runs.size(), 1u) << f.error;
    EXPECT_EQ(std::chrono::system_clock::to_time_t(f.runs[0].started), 1796708800);
    EXPECT_EQ(run_title(f.runs[0]), "Client");
    EXPECT_EQ(f.runs[0].end, RunEnd::Error);
  }
}

// A bare word among a stream's figures, which a run passes over, is refused
// with the same reason wherever it lies: in the first piece of the file, in
// a later one, or across the boundary between two; read from disk a piece
// at a time or from memory.
TEST_F(RunFileOnDisk, TheSameBadJsonIsRefusedWhereverItLies) {
  const std::string bad = replaced(capture_text("iperf3-3.12/json-tcp-P2-client.json"), "\"streams\":\t[{",
                                   "\"streams\":\t[nope, {");
  const std::string reason = "It is not valid JSON: invalid value (line 49)";
  const std::size_t word = bad.find("nope");
  const std::size_t piece = JsonSource::kChunk;
  // A long text early in "start" moves the rest without changing its lines.
  const auto padded = [&](std::size_t word_at) {
    const std::string head = "\"start\":\t{";
    const std::size_t pad = word_at - word - std::string("\"pad\": \"\", ").size();
    return replaced(bad, head, head + "\"pad\": \"" + std::string(pad, 'x') + "\", ");
  };
  const std::pair<const char*, std::string> places[] = {
      {"first piece", bad},
      {"across a boundary", padded(piece - 2)},
      {"second piece", padded(piece + 4000)},
  };
  for (const auto& [where, bytes] : places) {
    SCOPED_TRACE(where);
    EXPECT_EQ(read_runs(bytes, "bad.json").error, reason);
    EXPECT_EQ(open_run_file(make("bad.json", bytes), "bad.json").error, reason);
  }
  // Without the word, each opens to its run.
  const std::string good = replaced(padded(piece + 4000), "[nope, {", "[{");
  EXPECT_EQ(open_run_file(make("good.json", good), "good.json").runs.size(), 1u);
  EXPECT_EQ(read_runs(good, "good.json").runs.size(), 1u);
}

TEST_F(RunFileOnDisk, ANameThatIsNotUtf8IsShownAsValidText) {
  const std::string path = make("caf\xe9.json", capture_text("iperf3-3.12/json-tcp-client.json"));
  const OpenedFile f = open_run_file(path, "");
  ASSERT_EQ(f.error, "");
  ASSERT_EQ(f.runs.size(), 1u);
  EXPECT_TRUE(g_utf8_validate(f.runs[0].source_file.c_str(), -1, nullptr));
  EXPECT_TRUE(f.runs[0].source_file.starts_with("caf")) << f.runs[0].source_file;
  EXPECT_TRUE(f.runs[0].source_file.ends_with(".json")) << f.runs[0].source_file;
}

TEST_F(RunFileOnDisk, ProgressComesAndCancelStopsTheReading) {
  const std::string path = make("tcp.json", capture_text("iperf3-3.12/json-tcp-client.json"));
  double last = 0;
  const OpenedFile f = open_run_file(path, "tcp.json", nullptr, [&](double p) { last = p; });
  EXPECT_EQ(f.error, "");
  EXPECT_DOUBLE_EQ(last, 1.0);
  const std::atomic<bool> cancel{true};
  const OpenedFile cancelled = open_run_file(path, "tcp.json", &cancel);
  EXPECT_EQ(cancelled.error, "Opening it was cancelled");
  EXPECT_TRUE(cancelled.runs.empty());
}

// ---- run files -------------------------------------------------------------------

RunRecord measured_run() {
  RunRecord r;
  r.page = RunPage::Client;
  r.started = at(1796700000) + std::chrono::microseconds(250000);
  r.far_end = "example.net, port 5201";
  r.options_summary = "TCP · 2 s";
  r.command = {"iperf3", "-c", "example.net", "-C", "my \"algo\"\n", "-t", "2"};
  r.facts.iperf_version = "iperf 3.12 (cJSON 1.7.15)";
  r.facts.protocol = "TCP";
  r.facts.streams = 1;
  r.end = RunEnd::Result;
  r.result_text = "Result — send: 940.0 Mbit/s · receive: 934.0 Mbit/s";
  r.details_text = "Retransmits: 3";
  r.latency_text = "Latency: 12.3 ms idle, 40.1 ms under load";
  IntervalRecord a;
  a.start = 0;
  a.end = 1.0016;
  a.start_text = "0.00";
  a.end_text = "1.00";
  a.mbps = 941.123456789;
  a.transfer = "112 MBytes";
  a.bitrate = "941 Mbits/sec";
  a.retransmits = 3;
  IntervalRecord b = a;
  b.start = 1.0016;
  b.end = 2.0;
  b.start_text = "1.00";
  b.end_text = "2.00";
  b.direction = Direction::Receive;
  b.retransmits.reset();
  b.jitter_ms = "0.013";
  b.lost = 2;
  b.total = 91;
  b.omitted = true;
  r.intervals = {a, b};
  {
    LatencyFigures f = testing::loaded_latency(12.3, 40.1, 55.25, 61.0, 4, 40);
    f.jitter_ms = 3.5;
    f.idle_lost = 2;
    f.idle_sent = 10;
    f.idle_jitter_ms = 0.25;
    r.latency = f;
  }
  r.interval_latency = {{std::optional<double>(38.5), 1}, {std::nullopt, 3}};
  r.probes = {{0.1f, 38.5f}, {0.2f, NAN}, {1.3f, 41.75f}};
  SummaryDetails summary;
  summary.bidirectional = true;
  summary.tx.sender_mbps = 941.5;
  summary.tx.retransmits = 12;
  summary.rx.receiver_mbps = 103.25;
  summary.rx.loss = UdpLoss{"0.060", 173268, 174456, "99", {}};
  r.summary = summary;
  return r;
}

TEST(RunFile, SavedRunsReopenToTheSameCopies) {
  RunRecord measured = measured_run();
  OpenedFile from_iperf = open_capture("iperf3-3.18/json-udp-bidir-client.json");
  ASSERT_EQ(from_iperf.runs.size(), 1u);
  ASSERT_TRUE(from_iperf.runs[0].summary) << "the figures behind its result";
  EXPECT_TRUE(from_iperf.runs[0].summary->bidirectional);
  RunRecord failed;
  failed.end = RunEnd::Error;
  failed.error_text = "iperf3 error: unable to connect to server: Connection refused";
  failed.started = at(1796700100);
  const std::vector<const RunRecord*> runs = {&measured, &from_iperf.runs[0], &failed};

  const std::string text = run_file_text(runs);
  EXPECT_TRUE(text.starts_with("{\"format\":\"trellan-runs\",\"version\":1,")) << "the file type's magic";
  const OpenedFile back = read_runs(text, "saved.trellan");
  ASSERT_EQ(back.error, "");
  ASSERT_EQ(back.runs.size(), 3u);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(i);
    const RunRecord& was = *runs[i];
    const RunRecord& is = back.runs[i];
    EXPECT_EQ(intervals_csv(is), intervals_csv(was));
    EXPECT_EQ(run_report(is, is.facts.iperf_version), run_report(was, was.facts.iperf_version));
    EXPECT_EQ(is.started, was.started);
    EXPECT_EQ(is.end, was.end);
    EXPECT_EQ(is.intervals, was.intervals);
    EXPECT_EQ(is.latency, was.latency);
    EXPECT_EQ(is.summary, was.summary);
    EXPECT_EQ(is.interval_latency, was.interval_latency);
    EXPECT_EQ(is.command, was.command);
    // A run opened from a file keeps that file's name; one measured here
    // takes the run file's.
    EXPECT_EQ(is.source_file, i == 1 ? "shown.json" : "saved.trellan");
    EXPECT_EQ(is.facts, was.facts);
    ASSERT_EQ(is.probes.size(), was.probes.size());
    for (std::size_t p = 0; p < is.probes.size(); ++p) {
      EXPECT_EQ(is.probes[p].t_s, was.probes[p].t_s);
      EXPECT_EQ(std::isnan(is.probes[p].rtt_ms), std::isnan(was.probes[p].rtt_ms));
      if (!std::isnan(was.probes[p].rtt_ms)) {
        EXPECT_EQ(is.probes[p].rtt_ms, was.probes[p].rtt_ms);
      }
    }
  }
  // The latency shows in the exports, so the comparison above covers it.
  EXPECT_NE(intervals_csv(back.runs[0]).find(",38,1\n"), std::string::npos);
  // Saved again, the file is the same, but that each run now names the file
  // it came from; and from then on it stays the same.
  std::vector<const RunRecord*> again;
  for (const RunRecord& r : back.runs) again.push_back(&r);
  const std::string resaved = run_file_text(again);
  std::string named = text;
  for (const char* end : {"\n\"end\":\"result\"", "\n\"end\":\"error\""})
    for (std::size_t at = 0; (at = named.find(end, at)) != std::string::npos; at += 40)
      if (named.compare(named.rfind('\n', at - 1) + 1, 14, "\"source_file\":") != 0)
        named.insert(at + 1, "\"source_file\":\"saved.trellan\",\n");
  EXPECT_EQ(resaved, named);
  const OpenedFile third = read_runs(resaved, "third.trellan");
  std::vector<const RunRecord*> third_runs;
  for (const RunRecord& r : third.runs) third_runs.push_back(&r);
  EXPECT_EQ(run_file_text(third_runs), resaved);
}

TEST(RunFile, TextThatIsNotUtf8OpensAsValidTextAndSavesTheSame) {
  RunRecord r = measured_run();
  std::string text = run_file_text({&r});
  text = replaced(text, "Retransmits: 3", "Retransmits: \xff" "3");
  const OpenedFile f = read_runs(text, "odd.trellan");
  ASSERT_EQ(f.runs.size(), 1u);
  EXPECT_EQ(f.runs[0].details_text, "Retransmits: \xEF\xBF\xBD" "3");
  EXPECT_EQ(run_file_text({&f.runs[0]}),
            replaced(replaced(text, "\xff", "\xEF\xBF\xBD"), "\n\"end\":", "\n\"source_file\":\"odd.trellan\",\n\"end\":"));
}

// ---- the log ---------------------------------------------------------------------

TEST(RunLogAdopt, AnOpenedRunIsAddedThenEndedAndGivesWayBeforeAnyRunMeasuredHere) {
  RunLog log;
  std::vector<std::pair<RunLog::Change, std::uint64_t>> heard;
  log.add_listener([&](RunLog::Change c, const RunRecord& r) { heard.emplace_back(c, r.id); });
  for (std::size_t i = 0; i + 1 < RunLog::kMaxRuns; ++i) log.begin(RunPage::Client, "a", "b");
  heard.clear();
  RunRecord opened = measured_run();
  opened.id = 77;
  const std::uint64_t id = log.adopt(opened);
  EXPECT_EQ(id, RunLog::kMaxRuns);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0], std::make_pair(RunLog::Change::Added, id));
  EXPECT_EQ(heard[1], std::make_pair(RunLog::Change::Ended, id));
  EXPECT_EQ(log.find(id)->result_text, opened.result_text);
  EXPECT_EQ(log.runs().back()->id, id);

  // Its record never changes, so it is shared as it is (other threads word
  // copies from it); a run measured here is not.
  EXPECT_EQ(log.unchanging(id).get(), log.find(id));
  EXPECT_EQ(log.unchanging(2), nullptr);
  RunLatency latency;
  latency.ended = true;
  latency.text = "Latency: not measured";
  log.update_latency(id, latency);
  log.amend_end(id, RunEnd::EndedEarly, "gone", "the client went");
  EXPECT_EQ(log.find(id)->latency_text, opened.latency_text);
  EXPECT_EQ(log.find(id)->end, opened.end);
  EXPECT_EQ(log.find(id)->details_text, opened.details_text);

  // The log is full: a new measured run makes room by letting the opened
  // run go, though it is the newest, and no run measured here.
  heard.clear();
  const std::uint64_t measured = log.begin(RunPage::Client, "a", "b");
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard[0], std::make_pair(RunLog::Change::Removed, id));
  EXPECT_EQ(log.unchanging(id), nullptr);
  EXPECT_NE(log.find(1), nullptr);
  EXPECT_EQ(log.dropped_opened(), 1u);
  EXPECT_EQ(log.dropped_measured(), 0u);

  // Full of runs measured here, the log keeps none of a file's, and says so.
  heard.clear();
  EXPECT_EQ(log.adopt(measured_run()), 0u);
  EXPECT_TRUE(heard.empty());
  EXPECT_EQ(log.runs().size(), RunLog::kMaxRuns);
  EXPECT_EQ(log.runs().front()->id, 1u);
  EXPECT_EQ(log.runs().back()->id, measured);
  EXPECT_EQ(log.dropped_opened(), 2u);

  // Then a newer measured run lets the oldest measured one go.
  log.begin(RunPage::Client, "a", "b");
  EXPECT_EQ(log.find(1), nullptr);
  EXPECT_EQ(log.dropped_measured(), 1u);
  EXPECT_EQ(log.dropped_runs(), 3u);
}

TEST(RunFileRead, AFileOfManyRunsKeepsTheNewestAWindowKeepsAndCountsTheRest) {
  RunRecord r = measured_run();
  std::vector<RunRecord> many(RunLog::kMaxRuns * 2 + 37, r);
  for (std::size_t i = 0; i < many.size(); ++i) many[i].far_end = "host " + std::to_string(i);
  std::vector<const RunRecord*> all;
  for (const RunRecord& m : many) all.push_back(&m);
  const OpenedFile f = read_runs(run_file_text(all), "many.trellan");
  ASSERT_EQ(f.error, "");
  ASSERT_EQ(f.runs.size(), RunLog::kMaxRuns);
  EXPECT_EQ(f.left_out, RunLog::kMaxRuns + 37);
  EXPECT_EQ(f.runs.front().far_end, "host 137");
  EXPECT_EQ(f.runs.back().far_end, "host 236");

  // So does a server's log of many tests.
  const std::string doc = capture_text("iperf3-3.12/json-tcp-server.json");
  std::string log;
  for (int i = 0; i < 205; ++i) log += doc + "\n";
  const OpenedFile server = read_runs(log, "server.json");
  ASSERT_EQ(server.error, "");
  EXPECT_EQ(server.runs.size(), RunLog::kMaxRuns);
  EXPECT_EQ(server.left_out, 105u);
}

}  // namespace
}  // namespace trellan
