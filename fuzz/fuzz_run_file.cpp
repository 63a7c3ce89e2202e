// libFuzzer target: arbitrary bytes opened as a file of runs (iperf3's -J
// documents or --json-stream lines, or a run file). What opens must hold
// runs named after the file, and must save and reopen to the same exports.
// The same bytes read from a file, piece by piece, with a piece boundary
// inside them, must open to the same runs or be refused for the same reason.
#include "core/json_scan.hpp"
#include "core/run_export.hpp"
#include "core/run_file.hpp"

#include <glib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

bool utf8(const std::string& s) { return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr); }

// `bytes` read from memory at once and from a file piece by piece, behind
// `lead` bytes of blank space.
void same_from_a_file(std::string_view bytes, std::size_t lead) {
  const std::string padded = std::string(lead, ' ') + std::string(bytes);
  const trellan::OpenedFile whole = trellan::read_runs(padded, "fuzz.json");
  const int fd = memfd_create("fuzz.json", MFD_CLOEXEC);
  require(fd >= 0);
  for (std::size_t done = 0; done < padded.size();) {
    const ssize_t n = write(fd, padded.data() + done, padded.size() - done);
    require(n > 0);
    done += static_cast<std::size_t>(n);
  }
  const trellan::OpenedFile pieces = trellan::open_run_file("/proc/self/fd/" + std::to_string(fd), "fuzz.json");
  close(fd);
  require(pieces.error == whole.error);
  require(pieces.runs.size() == whole.runs.size());
  for (std::size_t i = 0; i < whole.runs.size(); ++i)
    require(trellan::run_report(pieces.runs[i], "v") == trellan::run_report(whole.runs[i], "v"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // One input in eight also goes behind so much blank space that the file's
  // first piece ends in its middle; each of those costs two whole pieces.
  const std::size_t across = trellan::JsonSource::kChunk - std::min(size / 2, trellan::JsonSource::kChunk - 1);
  same_from_a_file(bytes, size % 8 == 0 ? across : 0);
  const trellan::OpenedFile opened = trellan::read_runs(bytes, "fuzz.json");
  // Either runs or a reason, never both, never neither.
  require(opened.error.empty() != opened.runs.empty());
  require(utf8(opened.error));
  std::vector<const trellan::RunRecord*> runs;
  for (const auto& r : opened.runs) {
    // Named after the file, or after the one a saved run first came from.
    require(!r.source_file.empty() && utf8(r.source_file));
    require(r.end != trellan::RunEnd::Running);
    require(utf8(r.result_text) && utf8(r.details_text) && utf8(r.far_end));
    runs.push_back(&r);
  }
  if (runs.empty()) return 0;
  // Saved and opened again, the runs export the same.
  const trellan::OpenedFile again = trellan::read_runs(trellan::run_file_text(runs), "fuzz.json");
  require(again.error.empty() && again.runs.size() == runs.size());
  for (std::size_t i = 0; i < runs.size(); ++i) {
    require(trellan::intervals_csv(again.runs[i]) == trellan::intervals_csv(*runs[i]));
    require(trellan::run_report(again.runs[i], "v") == trellan::run_report(*runs[i], "v"));
  }
  return 0;
}
