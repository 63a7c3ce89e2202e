// INTERIM, to be dropped when the real reader and writer of run files are
// merged: enough of core/run_file.hpp for the Runs page to build and for
// its open, progress, cancel and failure paths to run. It reads a file in
// slices (so that progress and cancel are exercised) and opens nothing.
#include <cstdio>
#include <memory>

#include "core/run_file.hpp"

namespace trellan {

OpenedFile open_run_file(const std::string& path, std::string display_name, const std::atomic<bool>* cancel,
                         const std::function<void(double)>& progress) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) return {{}, "it cannot be read"};
  std::fseek(f.get(), 0, SEEK_END);
  const long size = std::ftell(f.get());
  std::fseek(f.get(), 0, SEEK_SET);
  std::string bytes;
  char buffer[1 << 16];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, f.get())) {
    if (cancel && cancel->load()) return {{}, "cancelled"};
    bytes.append(buffer, n);
    if (progress && size > 0) progress(static_cast<double>(bytes.size()) / static_cast<double>(size));
  }
  return read_runs(bytes, std::move(display_name));
}

OpenedFile read_runs(std::string_view bytes, std::string) {
  return {{}, bytes.empty() ? "the file is empty" : "this build cannot read run files yet"};
}

std::string run_file_text(const std::vector<const RunRecord*>&) { return {}; }

}  // namespace trellan
