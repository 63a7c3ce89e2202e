// Opening run files for the Runs page: each file read and parsed off the
// main thread, one after another; the runs of each join the window's log
// on the main thread, and a file that cannot be opened is said in words.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/gobject.hpp"
#include "core/run_record.hpp"

namespace trellan {

// What an open tells the page, always on the main thread.
struct OpenReport {
  // The file being read and how far (0–1), once it has taken more than
  // half a second; called again with an empty name when it is no longer
  // worth showing.
  std::function<void(const std::string& name, double fraction)> progress;
  // "Could not open “x.json”: The file is empty": one per file that failed.
  std::function<void(const std::string& line)> failed;
  // Every file has been read, or the open was cancelled.
  std::function<void()> done;
};

class FileOpen {
 public:
  // Starts reading `files`, oldest run first within each, adopting their
  // runs into `log`.
  FileOpen(std::vector<Ref<GFile>> files, std::shared_ptr<RunLog> log, OpenReport report);
  ~FileOpen();
  FileOpen(const FileOpen&) = delete;
  FileOpen& operator=(const FileOpen&) = delete;

  // Stops after the file being read (whose runs are dropped); the files
  // after it are not read.
  void cancel();
  bool finished() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// The name of `file` as the user's file manager shows it, for messages:
// its last part, readable whatever its encoding.
std::string file_display_name(GFile* file);
// The whole name of `file` for messages: its path, with what is not UTF-8
// in it shown as the replacement character, rather than the URI that
// g_file_get_parse_name gives for such a path.
std::string file_display_path(GFile* file);

}  // namespace trellan
