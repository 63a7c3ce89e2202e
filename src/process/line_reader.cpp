#include "process/line_reader.hpp"

#include <unistd.h>

#include <cerrno>

namespace trellan::detail {

ssize_t read_retrying(int fd, void* buf, std::size_t len) noexcept {
  for (;;) {
    const ssize_t n = ::read(fd, buf, len);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace trellan::detail
