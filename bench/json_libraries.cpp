// The JSON libraries Debian offers, on the day-long -P 4 -J file that
// bench-run-file opens: how long each takes to read it and how much resident
// memory it needs, each in a process of its own. The figures behind the
// choice of the library that core/json_scan.cpp reads files with.
//
//   bench-json-libraries LIBRARY FILE   reads FILE with one library
//   bench-json-libraries [DIR]          writes the file, then runs each
#include <json-glib/json-glib.h>
#include <rapidjson/filereadstream.h>
#include <rapidjson/reader.h>
#include <simdjson.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/iperf_json_writer.hpp"

namespace {

// RapidJSON's SAX reader on the file read a piece at a time: every value
// passes, none is kept.
struct Count : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Count> {
  long values = 0;
  bool Default() {
    ++values;
    return true;
  }
};

long read_rapidjson(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return -1;
  static char buffer[1 << 18];
  rapidjson::FileReadStream in(f, buffer, sizeof buffer);
  rapidjson::Reader reader;
  Count count;
  const bool ok = !reader.Parse<rapidjson::kParseFullPrecisionFlag | rapidjson::kParseIterativeFlag>(in, count).IsError();
  std::fclose(f);
  return ok ? count.values : -1;
}

// simdjson's On-Demand API: the whole file in memory, each interval's rates
// read.
long read_simdjson(const char* path) {
  simdjson::padded_string json;
  if (simdjson::padded_string::load(path).get(json)) return -1;
  simdjson::ondemand::parser parser;
  simdjson::ondemand::document doc = parser.iterate(json);
  long values = 0;
  for (auto interval : doc["intervals"]) {
    for (auto stream : interval["streams"]) values += double(stream["bits_per_second"]) > 0;
    values += double(interval["sum"]["bits_per_second"]) > 0;
  }
  return values;
}

// json-glib: GNOME's, which builds the whole tree.
long read_json_glib(const char* path) {
  JsonParser* parser = json_parser_new();
  long values = -1;
  if (json_parser_load_from_file(parser, path, nullptr)) {
    JsonObject* root = json_node_get_object(json_parser_get_root(parser));
    values = json_array_get_length(json_object_get_array_member(root, "intervals"));
  }
  g_object_unref(parser);
  return values;
}

int read_one(const char* library, const char* path) {
  const auto t0 = std::chrono::steady_clock::now();
  long values = -1;
  if (!std::strcmp(library, "rapidjson")) values = read_rapidjson(path);
  else if (!std::strcmp(library, "simdjson")) values = read_simdjson(path);
  else if (!std::strcmp(library, "json-glib")) values = read_json_glib(path);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%.3f %ld\n", s, values);
  return values < 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3) return read_one(argv[1], argv[2]);
  std::string dir;
  if (argc > 1) {
    dir = argv[1];
  } else {
    char tmpl[] = "/tmp/trellan-bench-json-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    dir = tmpl;
  }
  const std::string path = dir + "/day-P4.json";
  write_iperf_json(path, 86400, 4);
  struct stat st {};
  stat(path.c_str(), &st);
  const double mb = static_cast<double>(st.st_size) / (1024.0 * 1024.0);
  std::printf("json libraries on a %.1f MB -J file (86,400 intervals -P 4), best of three:\n", mb);
  for (const char* library : {"rapidjson", "simdjson", "json-glib"}) {
    double best_s = 1e9, best_mb = 1e18;
    for (int i = 0; i < 3; ++i) {
      int out[2];
      if (pipe(out) != 0) return 1;
      const pid_t pid = fork();
      if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl("/proc/self/exe", argv[0], library, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      close(out[1]);
      char buf[128] = {};
      const ssize_t n = read(out[0], buf, sizeof buf - 1);
      close(out[0]);
      int status = 0;
      struct rusage use {};
      wait4(pid, &status, 0, &use);
      if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("  %-10s failed\n", library);
        break;
      }
      best_s = std::min(best_s, std::strtod(buf, nullptr));
      best_mb = std::min(best_mb, static_cast<double>(use.ru_maxrss) / 1024.0);
    }
    std::printf("  %-10s %.3f s, peak resident %.1f MB (%.2f x the file)\n", library, best_s, best_mb, best_mb / mb);
  }
  if (argc <= 1) {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
  return 0;
}
