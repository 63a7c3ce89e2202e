// Writing a file the user asked for, whole or not at all.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace trellan {

// Writes `contents` to `path` through a temporary file in the same folder,
// flushed to disk and then renamed over `path`, so that a failure leaves
// neither half a file nor a changed one. Returns what went wrong in words
// ("Permission denied"), or nothing when the file is in place.
std::optional<std::string> save_file_atomically(const std::string& path, std::string_view contents);

}  // namespace trellan
