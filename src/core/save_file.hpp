// Writing a file the user asked for, whole or not at all.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace trellan {

// Replaces the contents of `file` with `contents` through GIO, which writes
// a temporary file beside an existing one and renames it into place (for a
// file the portal hands back, the same happens behind the portal). A failure
// leaves the old file as it was and no new file behind. Returns the reason
// in words ("No such file or directory"), or nothing when the file is in
// place.
std::optional<std::string> save_file_atomically(GFile* file, std::string_view contents);

// The same on a worker thread, so that a slow disk never holds up the
// caller's main loop: `done` gets the outcome there, in a later turn of the
// thread-default main context this was called from. The default
// application, if any, is held until then.
void save_file_in_background(GFile* file, std::string contents,
                             std::function<void(std::optional<std::string> error)> done);
// The same, with the contents made on that thread too: `make_contents`
// must work on copies, or on data no one changes meanwhile.
void save_file_in_background(GFile* file, std::function<std::string()> make_contents,
                             std::function<void(std::optional<std::string> error)> done);

// What a save of the file the user knows as `name` came to, in words:
// "Saved as “name”." or "Could not save “name”: reason.".
std::string save_outcome_text(const std::string& name, const std::optional<std::string>& error);

}  // namespace trellan
