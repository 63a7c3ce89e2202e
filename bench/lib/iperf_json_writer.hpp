// Writes an iperf3 -J document of a long TCP test in iperf3 3.12's layout
// (cJSON's formatted print, tabs, as in tests/captures), for the benchmarks
// that open one.
#pragma once

#include <cstdio>
#include <string>

// One -J document: `intervals` seconds of `streams` TCP streams.

inline void write_iperf_json(const std::string& path, long intervals, int streams) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return;
  std::fprintf(f, "{\n\t\"start\":\t{\n\t\t\"connected\":\t[");
  for (int s = 0; s < streams; ++s)
    std::fprintf(f, "%s{\n\t\t\t\t\"socket\":\t%d,\n\t\t\t\t\"local_host\":\t\"192.0.2.10\",\n\t\t\t\t\"local_port\":\t%d,\n\t\t\t\t\"remote_host\":\t\"192.0.2.20\",\n\t\t\t\t\"remote_port\":\t5201\n\t\t\t}", s ? ", " : "", 5 + s, 40000 + s);
  std::fprintf(f, "],\n\t\t\"version\":\t\"iperf 3.12\",\n\t\t\"system_info\":\t\"Linux bench 6.1.0 #1 SMP x86_64\",\n\t\t\"timestamp\":\t{\n\t\t\t\"time\":\t\"Mon, 07 Dec 2026 10:00:00 GMT\",\n\t\t\t\"timesecs\":\t1796637600\n\t\t},\n\t\t\"connecting_to\":\t{\n\t\t\t\"host\":\t\"192.0.2.20\",\n\t\t\t\"port\":\t5201\n\t\t},\n\t\t\"cookie\":\t\"benchbenchbenchbenchbenchbenchbench1\",\n\t\t\"tcp_mss_default\":\t1448,\n\t\t\"target_bitrate\":\t0,\n\t\t\"sock_bufsize\":\t0,\n\t\t\"sndbuf_actual\":\t16384,\n\t\t\"rcvbuf_actual\":\t131072,\n\t\t\"test_start\":\t{\n\t\t\t\"protocol\":\t\"TCP\",\n\t\t\t\"num_streams\":\t%d,\n\t\t\t\"blksize\":\t131072,\n\t\t\t\"omit\":\t0,\n\t\t\t\"duration\":\t%ld,\n\t\t\t\"bytes\":\t0,\n\t\t\t\"blocks\":\t0,\n\t\t\t\"reverse\":\t0,\n\t\t\t\"tos\":\t0,\n\t\t\t\"target_bitrate\":\t0\n\t\t}\n\t},\n\t\"intervals\":\t[", streams, intervals);
  unsigned long long total = 0;
  for (long i = 0; i < intervals; ++i) {
    const double st = i * 1.000011, en = (i + 1) * 1.000011, secs = en - st;
    std::fprintf(f, "%s{\n\t\t\t\"streams\":\t[", i ? ", " : "");
    unsigned long long sum = 0;
    int retr_sum = 0;
    for (int s = 0; s < streams; ++s) {
      const unsigned long long bytes = 117440512ULL + (unsigned long long)((i * 7919 + s * 104729) % 9000000);
      const int retr = (int)((i + s) % 13 == 0);
      sum += bytes;
      retr_sum += retr;
      std::fprintf(f, "%s{\n\t\t\t\t\t\"socket\":\t%d,\n\t\t\t\t\t\"start\":\t%.6f,\n\t\t\t\t\t\"end\":\t%.6f,\n\t\t\t\t\t\"seconds\":\t%.17g,\n\t\t\t\t\t\"bytes\":\t%llu,\n\t\t\t\t\t\"bits_per_second\":\t%.17g,\n\t\t\t\t\t\"retransmits\":\t%d,\n\t\t\t\t\t\"snd_cwnd\":\t%d,\n\t\t\t\t\t\"snd_wnd\":\t3145728,\n\t\t\t\t\t\"rtt\":\t%d,\n\t\t\t\t\t\"rttvar\":\t%d,\n\t\t\t\t\t\"pmtu\":\t1500,\n\t\t\t\t\t\"omitted\":\tfalse,\n\t\t\t\t\t\"sender\":\ttrue\n\t\t\t\t}",
                   s ? ", " : "", 5 + s, st, en, secs, bytes, bytes * 8 / secs, retr, 1200000 + (int)(i % 5000), 1500 + (int)(i % 700), 300 + (int)(i % 90));
    }
    total += sum;
    std::fprintf(f, "],\n\t\t\t\"sum\":\t{\n\t\t\t\t\"start\":\t%.6f,\n\t\t\t\t\"end\":\t%.6f,\n\t\t\t\t\"seconds\":\t%.17g,\n\t\t\t\t\"bytes\":\t%llu,\n\t\t\t\t\"bits_per_second\":\t%.17g,\n\t\t\t\t\"retransmits\":\t%d,\n\t\t\t\t\"omitted\":\tfalse,\n\t\t\t\t\"sender\":\ttrue\n\t\t\t}\n\t\t}",
                 st, en, secs, sum, sum * 8 / secs, retr_sum);
  }
  const double dur = intervals * 1.000011;
  std::fprintf(f, "],\n\t\"end\":\t{\n\t\t\"streams\":\t[],\n\t\t\"sum_sent\":\t{\n\t\t\t\"start\":\t0,\n\t\t\t\"end\":\t%.6f,\n\t\t\t\"seconds\":\t%.6f,\n\t\t\t\"bytes\":\t%llu,\n\t\t\t\"bits_per_second\":\t%.17g,\n\t\t\t\"retransmits\":\t%d,\n\t\t\t\"sender\":\ttrue\n\t\t},\n\t\t\"sum_received\":\t{\n\t\t\t\"start\":\t0,\n\t\t\t\"end\":\t%.6f,\n\t\t\t\"seconds\":\t%.6f,\n\t\t\t\"bytes\":\t%llu,\n\t\t\t\"bits_per_second\":\t%.17g,\n\t\t\t\"sender\":\ttrue\n\t\t},\n\t\t\"sender_tcp_congestion\":\t\"cubic\",\n\t\t\"receiver_tcp_congestion\":\t\"cubic\"\n\t}\n}\n",
               dur, dur, total, total * 8 / dur, 0, dur, dur, total, total * 8 / dur);
  std::fclose(f);
}

