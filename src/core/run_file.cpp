#include "core/run_file.hpp"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <variant>

#include "core/iperf_json.hpp"
#include "core/json_scan.hpp"
#include "core/run_file_schema.hpp"

namespace trellan {

namespace {

// ---- telling what a file is --------------------------------------------------

enum class Kind { Documents, Stream, RunFile };

// What the first bytes say of a file, or why it is none of ours.
std::variant<Kind, std::string> kind_of(std::string_view head, bool whole) {
  if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
  const std::size_t first = head.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return std::string(whole ? "The file is empty" : "It holds only blank space");
  // Text, as far as the first bytes go: no NUL, and few bytes that are
  // control characters or not UTF-8 (a stray one in a text stays readable).
  const std::string_view probe = head.substr(0, 4096);
  if (probe.find('\0') != std::string_view::npos) return std::string("It is not a text file");
  std::size_t odd = 0;
  for (unsigned char c : probe) odd += (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || c == 0x7f;
  const char* p = probe.data();
  const char* const end = probe.data() + probe.size();
  const gchar* valid_end = nullptr;
  while (p < end && !g_utf8_validate(p, end - p, &valid_end)) {
    // A character cut in two at the probe's end is no fault of the file.
    if (probe.size() < head.size() && end - valid_end < 4) break;
    ++odd;
    p = valid_end + 1;
  }
  if (odd * 10 > probe.size()) return std::string("It is not a text file");
  head.remove_prefix(first);
  if (head[0] == '[') return std::string("It is JSON, but not iperf3's output or a Trellan run file");
  if (head[0] != '{') {
    if (head.starts_with("Connecting to host") || head.starts_with("-----") || head.starts_with("iperf 3"))
      return std::string("It is iperf3's text output; Trellan opens the JSON output that iperf3 writes with -J");
    return std::string("It is not JSON");
  }
  // The first key: "event" starts each line of a stream, "format" a run file.
  std::size_t q = head.find_first_not_of(" \t\r\n", 1);
  if (q != std::string_view::npos && head[q] == '"') {
    const std::size_t close = head.find('"', q + 1);
    const std::string_view key = close == std::string_view::npos ? std::string_view() : head.substr(q + 1, close - q - 1);
    if (key == "event") return Kind::Stream;
    if (key == "format") return Kind::RunFile;
  }
  return Kind::Documents;
}

std::string display_name_of(const std::string& path, std::string given) {
  if (given.empty()) {
    gchar* name = g_filename_display_basename(path.c_str());
    given = name;
    g_free(name);
  }
  gchar* valid = g_utf8_make_valid(given.c_str(), static_cast<gssize>(given.size()));
  std::string out(valid);
  g_free(valid);
  return out;
}

// `written`: when the file was last written, for a run that does not say
// when it started.
OpenedFile read_source(JsonSource& source, const std::string& name, std::chrono::system_clock::time_point written) {
  OpenedFile out;
  std::string_view head = source.head();
  // Blank space before the first value may fill whole pieces of the file.
  while (head.size() >= JsonSource::kChunk && head.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    for (std::size_t i = 0; i < head.size(); ++i) source.Take();
    source.mark_value();
    head = source.head();
  }
  const auto kind = kind_of(head, head.size() < JsonSource::kChunk);
  if (const auto* why = std::get_if<std::string>(&kind)) {
    out.error = *why;
    if (source.cancelled()) out.error = "Opening it was cancelled";
    else if (!source.read_error().empty()) out.error = "It could not be read: " + source.read_error();
    return out;
  }
  switch (std::get<Kind>(kind)) {
    case Kind::Documents:
    case Kind::Stream: {
      IperfRuns r = std::get<Kind>(kind) == Kind::Stream ? read_iperf_stream(source) : read_iperf_documents(source);
      out.runs = std::move(r.runs);
      out.left_out = r.left_out;
      out.error = std::move(r.error);
      if (out.error.empty() && out.runs.empty())
        out.error = "It holds no test: only what an iperf3 server wrote as it started or stopped";
      for (RunRecord& run : out.runs)
        if (run.started == std::chrono::system_clock::time_point{}) run.started = written;
      break;
    }
    case Kind::RunFile: {
      RunFileRuns r = read_run_file(source);
      out.runs = std::move(r.runs);
      out.left_out = r.left_out;
      out.error = std::move(r.error);
      if (out.error.empty() && out.runs.empty()) out.error = "It is a run file with no runs in it";
      break;
    }
  }
  if (!out.error.empty()) {
    out.runs.clear();
    out.left_out = 0;
  }
  // A run saved from a file it was opened from keeps that file's name.
  for (RunRecord& r : out.runs)
    if (r.source_file.empty()) r.source_file = name;
  return out;
}

}  // namespace

OpenedFile open_run_file(const std::string& path, std::string display_name, const std::atomic<bool>* cancel,
                         const std::function<void(double)>& progress) {
  const std::string name = display_name_of(path, std::move(display_name));
  OpenedFile out;
  // Not blocking: a named pipe would wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int e = errno;
    out.error = e == ENOENT    ? "There is no such file"
                : e == EACCES || e == EPERM ? "You are not allowed to read it"
                                            : std::string("It could not be opened: ") + std::strerror(e);
    return out;
  }
  struct stat st;
  // A named pipe (a shell's `<(iperf3 -J …)`) is read as it comes, for as
  // long as it has a writer; without one it reads as empty.
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
    close(fd);
    out.error = S_ISDIR(st.st_mode) ? "It is a folder, not a file" : "It is not a regular file";
    return out;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (S_ISFIFO(st.st_mode)) st.st_size = 0;
  else if (st.st_size == 0) {
    close(fd);
    out.error = "The file is empty";
    return out;
  }
  const bool pipe = S_ISFIFO(st.st_mode);
  auto source = JsonSource::from_fd(fd, static_cast<std::uint64_t>(st.st_size), cancel, progress);
  // A pipe's writer writes now.
  const auto written = pipe ? std::chrono::system_clock::now()
                            : std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                  std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
  out = read_source(*source, name, written);
  if (pipe && out.error == "The file is empty") out.error = "It is a named pipe, and nothing was written to it";
  return out;
}

OpenedFile read_runs(std::string_view bytes, std::string display_name) {
  auto source = JsonSource::from_memory(bytes);
  return read_source(*source, display_name_of("", std::move(display_name)), std::chrono::system_clock::now());
}

std::string run_file_text(const std::vector<const RunRecord*>& runs) {
  std::string out = "{\"format\":\"trellan-runs\",\"version\":" + std::to_string(kRunFileVersion) + ",\n\"runs\":[\n";
  bool first = true;
  for (const RunRecord* r : runs) {
    if (!r) continue;
    if (!first) out += ",\n";
    first = false;
    put_run(out, *r);
  }
  out += "\n]}\n";
  return out;
}

}  // namespace trellan
