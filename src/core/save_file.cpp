#include "core/save_file.hpp"

#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <cerrno>

namespace trellan {

std::optional<std::string> save_file_atomically(const std::string& path, std::string_view contents) {
  gchar* dir = g_path_get_dirname(path.c_str());
  gchar* base = g_path_get_basename(path.c_str());
  std::string temp = std::string(dir) + "/." + base + ".XXXXXX";
  g_free(dir);
  g_free(base);
  // Created as an ordinary new file would be: 0666 less the umask.
  const int fd = g_mkstemp_full(temp.data(), O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return std::string(g_strerror(errno));
  auto fail = [&](int err) {
    close(fd);
    g_unlink(temp.c_str());
    return std::optional<std::string>(g_strerror(err));
  };
  for (std::size_t done = 0; done < contents.size();) {
    const ssize_t n = write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(errno);
    done += static_cast<std::size_t>(n);
  }
  if (fsync(fd) != 0) return fail(errno);
  if (close(fd) != 0) {
    const int err = errno;
    g_unlink(temp.c_str());
    return std::string(g_strerror(err));
  }
  if (g_rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    g_unlink(temp.c_str());
    return std::string(g_strerror(err));
  }
  return std::nullopt;
}

}  // namespace trellan
