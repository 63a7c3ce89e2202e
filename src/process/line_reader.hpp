// Reading a pipe line by line through a fixed-size buffer.
#pragma once

#include "core/text.hpp"

#include <sys/types.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace trellan::detail {

inline constexpr std::size_t kReadBufferSize = 8192;

enum class ReadEnd { kEof, kReadError };

// read(2) that retries when interrupted by a signal.
ssize_t read_retrying(int fd, void* buf, std::size_t len) noexcept;

// Reads `fd` until end of file and calls `on_line(std::string_view)` for each
// line. A line ends at "\n"; the "\n" and a "\r" right before it are removed.
// Output that does not end in "\n" still gives a last line. Lines of any
// length are delivered whole. A line that is not valid UTF-8 is delivered with
// each ill-formed sequence replaced by U+FFFD. Reading stops at a read error.
// Does not close `fd`.
template <typename OnLine>
void deliver(std::string_view line, OnLine& on_line) {
  if (is_valid_utf8(line)) {
    on_line(line);
  } else {
    const std::string repaired = make_valid_utf8(line);
    on_line(std::string_view(repaired));
  }
}

template <typename OnLine>
ReadEnd read_lines(int fd, OnLine&& on_line) {
  // A line that spans reads is gathered here; lines inside one read are
  // handed out straight from the buffer.
  constexpr std::size_t kKeepCapacity = 64 * 1024;
  char buf[kReadBufferSize];
  std::string carry;
  for (;;) {
    const ssize_t n = read_retrying(fd, buf, sizeof buf);
    if (n < 0) return ReadEnd::kReadError;
    if (n == 0) {
      if (carry.empty()) return ReadEnd::kEof;
      deliver(carry, on_line);
      return ReadEnd::kEof;
    }
    const char* p = buf;
    const char* const end = buf + n;
    while (const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
      const char* const nl = static_cast<const char*>(found);
      std::string_view line;
      if (carry.empty()) {
        line = std::string_view(p, static_cast<std::size_t>(nl - p));
      } else {
        carry.append(p, nl);
        line = carry;
      }
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      deliver(line, on_line);
      if (carry.capacity() > kKeepCapacity)
        std::string().swap(carry);  // don't keep a huge line's memory
      else
        carry.clear();
      p = nl + 1;
    }
    carry.append(p, end);
  }
}

}  // namespace trellan::detail
