// Saving a file whole or not at all: an existing file is replaced only by a
// complete new one, and a save that fails, at the start or midway, leaves
// the old file as it was and nothing else in its folder.
#include "core/gobject.hpp"
#include "core/save_file.hpp"

#include <gtest/gtest.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace trellan {
namespace {

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  GDir* d = g_dir_open(dir.c_str(), 0, nullptr);
  while (const char* name = d ? g_dir_read_name(d) : nullptr) out.emplace_back(name);
  if (d) g_dir_close(d);
  std::sort(out.begin(), out.end());
  return out;
}

std::string contents_of(const std::string& path) {
  gchar* data = nullptr;
  gsize size = 0;
  if (!g_file_get_contents(path.c_str(), &data, &size, nullptr)) return "(unreadable)";
  std::string out(data, size);
  g_free(data);
  return out;
}

std::optional<std::string> save(const std::string& path, std::string_view contents) {
  const auto file = Ref<GFile>::take(g_file_new_for_path(path.c_str()));
  return save_file_atomically(file.get(), contents);
}

// Files written by this process may grow to `bytes` at most while it lives:
// a write beyond fails with EFBIG, as on a full disk.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &before);
    old_handler = signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, before.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, old_handler);
  }
  rlimit before{};
  sighandler_t old_handler;
};

TEST(SaveFile, ReplacesTheWholeFileOrOnFailureLeavesTheOldOneAsItWas) {
  char tmpl[] = "/tmp/trellan-save-XXXXXX";
  const std::string dir = g_mkdtemp(tmpl);
  const std::string path = dir + "/run.csv";
  const std::string csv = "start_s,end_s\n0.00,1.00\n";
  EXPECT_EQ(save(path, csv), std::nullopt);
  EXPECT_EQ(contents_of(path), csv);
  EXPECT_EQ(save(path, "x\n"), std::nullopt) << "an existing file is replaced";
  EXPECT_EQ(contents_of(path), "x\n");
  EXPECT_EQ(entries(dir), std::vector<std::string>{"run.csv"}) << "no temporary file left";

  // A write that fails midway, over an existing file and where none was.
  {
    const FileSizeLimit limit(4096);
    EXPECT_EQ(save(path, std::string(10000, 'y')), std::string(g_strerror(EFBIG)));
    EXPECT_EQ(save(dir + "/new.csv", std::string(10000, 'y')), std::string(g_strerror(EFBIG)));
  }
  const std::string after = contents_of(path);
  EXPECT_TRUE(after == "x\n") << "a failed save changed the old file to " << after.size() << " bytes";
  EXPECT_EQ(entries(dir), std::vector<std::string>{"run.csv"}) << "a failed save left a file behind";

  // A folder in the way of the name, and a folder that is not there.
  g_mkdir((dir + "/taken.csv").c_str(), 0755);
  EXPECT_EQ(save(dir + "/taken.csv", csv), std::string(g_strerror(EISDIR)));
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"run.csv", "taken.csv"}));
  EXPECT_TRUE(g_file_test((dir + "/taken.csv").c_str(), G_FILE_TEST_IS_DIR));
  EXPECT_EQ(save(dir + "/gone/run.csv", csv), std::string(g_strerror(ENOENT)));

  g_remove(path.c_str());
  g_rmdir((dir + "/taken.csv").c_str());
  g_rmdir(dir.c_str());
}

// Saves in the background: the outcome comes back on this thread's loop,
// after the call has returned, for a save that worked and for one that
// failed, and the file is whole. Contents made for the save are made on
// the worker, not here.
TEST(SaveFile, InTheBackgroundTellsTheOutcomeOnTheCallersLoop) {
  char tmpl[] = "/tmp/trellan-save-XXXXXX";
  const std::string dir = g_mkdtemp(tmpl);
  struct Outcome {
    bool told = false;
    std::optional<std::string> error;
    GThread* thread = nullptr;
  };
  const auto save_later = [](const std::string& path, std::string contents, Outcome& out) {
    const auto file = Ref<GFile>::take(g_file_new_for_path(path.c_str()));
    save_file_in_background(file.get(), std::move(contents), [&out](std::optional<std::string> error) {
      out = {true, std::move(error), g_thread_self()};
    });
  };
  Outcome saved, failed, made;
  const std::string big(3 << 20, 'z');
  save_later(dir + "/runs.trellan", big, saved);
  save_later(dir + "/gone/runs.trellan", "x", failed);
  GThread* maker = nullptr;
  {
    const auto file = Ref<GFile>::take(g_file_new_for_path((dir + "/made.csv").c_str()));
    save_file_in_background(
        file.get(),
        [&maker] {
          maker = g_thread_self();
          return std::string("start_s,end_s\n");
        },
        [&made](std::optional<std::string> error) { made = {true, std::move(error), g_thread_self()}; });
  }
  EXPECT_FALSE(saved.told || failed.told || made.told) << "told before the call returned";
  const gint64 until = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
  while (!(saved.told && failed.told && made.told) && g_get_monotonic_time() < until)
    g_main_context_iteration(nullptr, TRUE);
  ASSERT_TRUE(saved.told && failed.told && made.told);
  EXPECT_NE(maker, g_thread_self()) << "the contents were made on the caller's thread";
  EXPECT_EQ(made.error, std::nullopt);
  EXPECT_EQ(made.thread, g_thread_self());
  EXPECT_EQ(contents_of(dir + "/made.csv"), "start_s,end_s\n");
  g_remove((dir + "/made.csv").c_str());
  EXPECT_EQ(saved.error, std::nullopt);
  EXPECT_EQ(saved.thread, g_thread_self());
  EXPECT_TRUE(contents_of(dir + "/runs.trellan") == big);
  EXPECT_EQ(failed.error, std::string(g_strerror(ENOENT)));
  EXPECT_EQ(failed.thread, g_thread_self());
  EXPECT_EQ(entries(dir), std::vector<std::string>{"runs.trellan"});
  g_remove((dir + "/runs.trellan").c_str());
  g_rmdir(dir.c_str());
}

// The user's last save outlives the last window: an application with
// nothing else to do runs on until the file is written.
TEST(SaveFile, InTheBackgroundHoldsTheApplicationUntilTheFileIsWritten) {
  char tmpl[] = "/tmp/trellan-save-XXXXXX";
  const std::string dir = g_mkdtemp(tmpl);
  struct Run {
    std::string path;
    bool told = false;
  } run{dir + "/last.trellan"};
  const auto app = Ref<GApplication>::take(g_application_new(nullptr, G_APPLICATION_NON_UNIQUE));
  g_application_set_default(app.get());
  g_signal_connect(app.get(), "activate", G_CALLBACK(+[](GApplication*, gpointer data) {
    auto* run = static_cast<Run*>(data);
    const auto file = Ref<GFile>::take(g_file_new_for_path(run->path.c_str()));
    save_file_in_background(file.get(), std::string(1 << 20, 'r'), [run](std::optional<std::string> error) {
      run->told = !error;
    });
  }), &run);
  EXPECT_EQ(g_application_run(app.get(), 0, nullptr), 0);
  g_application_set_default(nullptr);
  EXPECT_TRUE(run.told) << "the application ended before the save did";
  EXPECT_EQ(contents_of(run.path).size(), 1u << 20);
  g_remove(run.path.c_str());
  g_rmdir(dir.c_str());
}

}  // namespace
}  // namespace trellan
