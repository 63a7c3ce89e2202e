// libFuzzer target: arbitrary bytes opened as a file of runs (iperf3's -J
// documents or --json-stream lines, or a run file). What opens must hold
// runs named after the file, and must save and reopen to the same exports.
#include "core/run_export.hpp"
#include "core/run_file.hpp"

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

bool utf8(const std::string& s) { return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
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
