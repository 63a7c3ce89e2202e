// Puts the fake iperf3 script (tests/process/fake-iperf3.sh) first on PATH.
#pragma once

#include "process/iperf.hpp"

#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace trellan::testing {

// A fresh directory, removed with its files when done.
class TempDir {
 public:
  TempDir() {
    GError* error = nullptr;
    char* dir = g_dir_make_tmp("trellan-test-XXXXXX", &error);
    if (!dir) {
      ADD_FAILURE() << "cannot make a temporary directory: " << error->message;
      g_error_free(error);
      return;
    }
    path_ = dir;
    g_free(dir);
  }
  ~TempDir() {
    if (path_.empty()) return;
    if (GDir* dir = g_dir_open(path_.c_str(), 0, nullptr)) {
      while (const char* name = g_dir_read_name(dir)) g_remove((path_ + "/" + name).c_str());
      g_dir_close(dir);
    }
    g_rmdir(path_.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Writes a file with the given mode.
  void write(const std::string& name, const std::string& contents, mode_t mode) const {
    GError* error = nullptr;
    if (!g_file_set_contents(file(name).c_str(), contents.data(),
                             static_cast<gssize>(contents.size()), &error)) {
      ADD_FAILURE() << error->message;
      g_error_free(error);
      return;
    }
    g_chmod(file(name).c_str(), mode);
  }

 private:
  std::string path_;
};

// The fake script's text, from the source tree.
inline std::string fake_script() {
  const char* path = std::getenv("TRELLAN_FAKE_IPERF3");
  if (!path) {
    ADD_FAILURE() << "TRELLAN_FAKE_IPERF3 is not set (run the tests through meson)";
    return {};
  }
  char* text = nullptr;
  gsize len = 0;
  if (!g_file_get_contents(path, &text, &len, nullptr)) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::string out(text, len);
  g_free(text);
  return out;
}

// Sets PATH for its lifetime.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& path) {
    if (const char* old = std::getenv("PATH")) old_ = old;
    setenv("PATH", path.c_str(), 1);
  }
  ~ScopedPath() {
    if (old_)
      setenv("PATH", old_->c_str(), 1);
    else
      unsetenv("PATH");
  }
  ScopedPath(const ScopedPath&) = delete;
  ScopedPath& operator=(const ScopedPath&) = delete;

 private:
  std::optional<std::string> old_;
};

// The fake iperf3 first on PATH, for a whole test program.
class FakeToolEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_.emplace();
    dir_->write("iperf3", fake_script(), 0755);
    const char* path = std::getenv("PATH");
    path_.emplace(dir_->path() + ":" + (path ? path : "/usr/bin:/bin"));
  }
  void TearDown() override {
    path_.reset();
    dir_.reset();
  }

 private:
  std::optional<TempDir> dir_;
  std::optional<ScopedPath> path_;
};

}  // namespace trellan::testing
