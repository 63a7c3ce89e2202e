// Opening run files for the Runs page: each file read and parsed off the
// main thread, one after another in the order asked for; the runs of each
// join the window's log on the main thread a few at a time, so that the
// window answers, and a file that cannot be opened is said in words.
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
  // What is going on ("Opening “x.json”…") and how far (0–1), once the
  // open has taken more than half a second; called again with an empty
  // text when it is no longer worth showing.
  std::function<void(const std::string& text, double fraction)> progress;
  // "Could not open “x.json”: The file is empty": one per file that
  // failed, and what a cancel left undone.
  std::function<void(const std::string& line)> failed;
  // Runs joined the log or were left out of it.
  std::function<void()> changed;
  // Every file asked for has been read and its runs added, or the open
  // was cancelled.
  std::function<void()> done;
};

class FileOpen {
 public:
  FileOpen(std::shared_ptr<RunLog> log, OpenReport report);
  ~FileOpen();
  FileOpen(const FileOpen&) = delete;
  FileOpen& operator=(const FileOpen&) = delete;

  // Reads `files` after those asked for before, oldest run first within
  // each, adopting their runs into the log.
  void add(std::vector<Ref<GFile>> files);
  // Stops: the file being read is dropped, the runs not yet added are not,
  // and the files waiting are not read; `failed` says which.
  void cancel();
  // Reading or adding runs, or files waiting.
  bool busy() const;

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
