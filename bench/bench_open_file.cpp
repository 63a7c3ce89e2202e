// Opening iperf3's -J output in the app, as a user pays for it: the whole
// Trellan window, the file handed to the application the way `trellan FILE`
// hands it, the accessibility bus on when the session has one. For an hour
// with one stream and a day with four streams (the files bench-run-file
// writes), side by side with Python's json.load of the same file:
//   - the time from the open to the first frame drawn with the opened run;
//   - the peak growth of the whole process's resident memory meanwhile,
//     against the file's size;
//   - the longest the main loop went without a turn, from the open until
//     a second after that frame.
// Needs a display; for the accessibility bus, a session bus too:
//
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1920x1200x24" bench-open-file [DIR [hour|day|ten [OPENS]]]
// The files go to DIR (kept there; default: a new folder in /tmp, removed);
// "hour" or "day" measures that file alone, OPENS times; "ten", a run of
// ten intervals, what a window's first run costs whatever its file;
// "many", logs of 5,000 and 20,000 ten-second tests (or OPENS tests, once):
// the time until the window holds the runs it keeps, the longest stall and
// the peak growth meanwhile.
#include <adwaita.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/run_record.hpp"
#include "lib/iperf_json_writer.hpp"
#include "lib/python_json.hpp"
#include "lib/resident.hpp"
#include "ui/app.hpp"
#include "ui/window.hpp"

namespace {

constexpr double kAfterFrameMs = 1000;

double now_ms() { return static_cast<double>(g_get_monotonic_time()) / 1e3; }

// The longest gap between two turns of a 1 ms timeout: how long the main
// loop went without a turn.
struct LoopWatch {
  double last = 0, longest = 0;
  guint source = 0;
  void start() {
    last = now_ms();
    longest = 0;
    source = g_timeout_add(1, tick, this);
  }
  void stop() {
    g_source_remove(source);
    longest = std::max(longest, now_ms() - last);
  }
  static gboolean tick(gpointer data) {
    auto* w = static_cast<LoopWatch*>(data);
    const double t = now_ms();
    w->longest = std::max(w->longest, t - w->last);
    w->last = t;
    return G_SOURCE_CONTINUE;
  }
};

void wait_for_frame(GtkWidget* window) {
  GdkFrameClock* clock = gtk_widget_get_frame_clock(window);
  bool painted = false;
  const gulong id = g_signal_connect_swapped(clock, "after-paint", G_CALLBACK(+[](bool* p) { *p = true; }), &painted);
  while (!painted) g_main_context_iteration(nullptr, TRUE);
  g_signal_handler_disconnect(clock, id);
}

// Turns of the main loop for `ms`, for what is left to do after a frame.
void run_for(double ms) {
  bool over = false;
  g_timeout_add(static_cast<guint>(ms), +[](gpointer o) -> gboolean {
    *static_cast<bool*>(o) = true;
    return G_SOURCE_REMOVE;
  }, &over);
  while (!over) g_main_context_iteration(nullptr, TRUE);
}

bool accessibility_bus_on() {
  GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!session) return false;
  GVariant* reply = g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                "GetAddress", nullptr, G_VARIANT_TYPE("(s)"),
                                                G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
  g_object_unref(session);
  if (reply) g_variant_unref(reply);
  return reply != nullptr;
}

struct Open {
  double to_run = 0, to_frame = 0, stall = 0, growth_mb = 0;
  // What stayed resident a second after the frame, by kind: the process's
  // own memory, pages of files (code and fonts met for the first time) and
  // shared memory (images handed to the X server, under X).
  double anon_mb = 0, file_mb = 0, shared_mb = 0;
};

// One open of `path` in `app`'s window: a new run joins its log.
Open open_once(GApplication* app, GtkWidget* window, const std::string& path) {
  auto log = trellan::run_log_of(ADW_APPLICATION_WINDOW(window));
  bool added = false;
  const auto token = log->add_listener([&](trellan::RunLog::Change c, const trellan::RunRecord&) {
    if (c == trellan::RunLog::Change::Added) added = true;
  });
  GFile* file = g_file_new_for_path(path.c_str());
  Open o;
  reset_peak();
  const std::uint64_t before = status_kb("VmRSS:");
  const std::uint64_t anon = status_kb("RssAnon:"), files = status_kb("RssFile:"), shared = status_kb("RssShmem:");
  LoopWatch watch;
  watch.start();
  const double t0 = now_ms();
  g_application_open(app, &file, 1, "");
  // A file the app could not open adds no run: after a minute, that is said.
  while (!added && now_ms() - t0 < 60000) g_main_context_iteration(nullptr, TRUE);
  if (!added) {
    std::fprintf(stderr, "bench-open-file: no run came from %s in a minute\n", path.c_str());
    std::exit(1);
  }
  o.to_run = now_ms() - t0;
  wait_for_frame(window);
  o.to_frame = now_ms() - t0;
  run_for(kAfterFrameMs);
  watch.stop();
  o.stall = watch.longest;
  o.growth_mb = static_cast<double>(status_kb("VmHWM:") - before) / 1024.0;
  const auto grown = [](const char* field, std::uint64_t was) {
    return (static_cast<double>(status_kb(field)) - static_cast<double>(was)) / 1024.0;
  };
  o.anon_mb = grown("RssAnon:", anon);
  o.file_mb = grown("RssFile:", files);
  o.shared_mb = grown("RssShmem:", shared);
  log->remove_listener(token);
  g_object_unref(file);
  return o;
}

// A log of `tests` tests, one -J document after another, as a server
// writes them: the window keeps the newest 100 of them.
void measure_many(GApplication* app, GtkWidget* window, const std::string& dir, long tests) {
  const std::string one = dir + "/one.json", path = dir + "/many-" + std::to_string(tests) + ".json";
  write_iperf_json(one, 10, 1);
  std::string doc;
  if (gchar* text = nullptr; g_file_get_contents(one.c_str(), &text, nullptr, nullptr)) {
    doc = text;
    g_free(text);
  }
  FILE* f = std::fopen(path.c_str(), "w");
  for (long i = 0; f && i < tests; ++i) std::fwrite(doc.data(), 1, doc.size(), f);
  if (f) std::fclose(f);
  unlink(one.c_str());
  auto log = trellan::run_log_of(ADW_APPLICATION_WINDOW(window));
  const std::size_t expected = std::min<std::size_t>(static_cast<std::size_t>(tests), trellan::RunLog::kMaxRuns);
  std::size_t added = 0;
  const auto token = log->add_listener([&](trellan::RunLog::Change c, const trellan::RunRecord&) {
    if (c == trellan::RunLog::Change::Added) ++added;
  });
  GFile* file = g_file_new_for_path(path.c_str());
  reset_peak();
  const std::uint64_t before = status_kb("VmHWM:");
  LoopWatch watch;
  watch.start();
  const double t0 = now_ms();
  double first = 0;
  g_application_open(app, &file, 1, "");
  while (added < expected && now_ms() - t0 < 600000) {
    g_main_context_iteration(nullptr, TRUE);
    if (added > 0 && first == 0) first = now_ms() - t0;
  }
  const double all = now_ms() - t0;
  run_for(kAfterFrameMs);
  watch.stop();
  struct stat st {};
  stat(path.c_str(), &st);
  std::printf("open-file many %ld tests (%.1f MB): first run %.0f ms, all %zu kept runs %.0f ms%s; longest main-loop "
              "stall %.1f ms (goal <= 50); peak resident growth %.1f MB\n",
              tests, static_cast<double>(st.st_size) / (1024.0 * 1024.0), first, added, all,
              added < expected ? " (NOT ALL CAME in 10 minutes)" : "", watch.longest,
              static_cast<double>(status_kb("VmHWM:") - before) / 1024.0);
  log->remove_listener(token);
  g_object_unref(file);
  unlink(path.c_str());
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void measure(GApplication* app, GtkWidget* window, const std::string& path, const char* label, int tries) {
  struct stat st {};
  stat(path.c_str(), &st);
  const double mb = static_cast<double>(st.st_size) / (1024.0 * 1024.0);
  std::vector<double> frame, stall, growth;
  for (int i = 0; i < tries; ++i) {
    const Open o = open_once(app, window, path);
    std::printf("  open %d: run in the log %.0f ms, first frame %.0f ms, longest stall %.1f ms, memory growth %.1f MB "
                "(kept: own %.1f, files %.1f, shared %.1f MB)\n",
                i + 1, o.to_run, o.to_frame, o.stall, o.growth_mb, o.anon_mb, o.file_mb, o.shared_mb);
    frame.push_back(o.to_frame);
    stall.push_back(o.stall);
    growth.push_back(o.growth_mb);
  }
  const ChildFigures start = python_start(3);
  const ChildFigures py = python_json_load(path, tries);
  const double py_ms = py.printed * 1e3;
  const double py_growth = py.peak_mb - start.peak_mb;
  std::printf("open-file %s: %.1f MB, %d opens; python3 json.load %.0f ms (best of %d), its peak resident growth %.1f MB\n",
              label, mb, tries, py_ms, tries, py_growth);
  // The first open of a file in a window also shows the Runs page's first
  // run (and for a long one makes the table's rows): told apart.
  const auto line = [&](const char* what, std::vector<double> f, std::vector<double> st, std::vector<double> g) {
    std::printf("  %s: first frame / json.load %.2f best, %.2f median (goal <= 1.0); "
                "peak resident growth / file %.2f (%.1f MB); longest main-loop stall %.1f ms (goal <= 50)\n",
                what, *std::min_element(f.begin(), f.end()) / py_ms, median(f) / py_ms,
                *std::max_element(g.begin(), g.end()) / mb, *std::max_element(g.begin(), g.end()),
                *std::max_element(st.begin(), st.end()));
  };
  line("the window's first", {frame[0]}, {stall[0]}, {growth[0]});
  if (tries > 1)
    line("the later ones    ", {frame.begin() + 1, frame.end()}, {stall.begin() + 1, stall.end()},
         {growth.begin() + 1, growth.end()});
}

struct Bench {
  std::string dir;
  bool keep = false;
  std::string only;  // "hour", "day" or empty for both
  int opens = 0;     // 0: 5 of the hour, 3 of the day
};

void on_activate(GApplication* app, gpointer data) noexcept {
  const auto* bench = static_cast<const Bench*>(data);
  g_application_hold(app);
  trellan::on_activate(ADW_APPLICATION(app), nullptr);
  GtkWidget* window = GTK_WIDGET(gtk_application_get_active_window(GTK_APPLICATION(app)));
  while (!gtk_widget_get_mapped(window)) g_main_context_iteration(nullptr, TRUE);
  wait_for_frame(window);
  run_for(500);
  std::printf("accessibility bus: %s; renderer: %s\n", accessibility_bus_on() ? "on" : "off (no session bus or no bus there)",
              G_OBJECT_TYPE_NAME(gtk_native_get_renderer(GTK_NATIVE(window))));
  const std::string hour = bench->dir + "/hour-P1.json", day = bench->dir + "/day-P4.json";
  const std::string ten = bench->dir + "/ten-P1.json";
  if (bench->only == "ten") {
    write_iperf_json(ten, 10, 1);
    measure(app, window, ten, "10 intervals -P 1", bench->opens ? bench->opens : 5);
    unlink(ten.c_str());
  }
  if (bench->only == "many") {
    for (long tests : bench->opens ? std::vector<long>{bench->opens} : std::vector<long>{5000, 20000})
      measure_many(app, window, bench->dir, tests);
  }
  if (bench->only != "day" && bench->only != "ten" && bench->only != "many") {
    write_iperf_json(hour, 3600, 1);
    measure(app, window, hour, "3,600 intervals -P 1", bench->opens ? bench->opens : 5);
  }
  if (bench->only != "hour" && bench->only != "ten" && bench->only != "many") {
    write_iperf_json(day, 86400, 4);
    measure(app, window, day, "86,400 intervals -P 4", bench->opens ? bench->opens : 3);
  }
  if (!bench->keep) {
    unlink(hour.c_str());
    unlink(day.c_str());
    rmdir(bench->dir.c_str());
  }
  gtk_window_destroy(GTK_WINDOW(window));
  g_application_release(app);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Bench bench;
  if (argc > 1) {
    bench.dir = argv[1];
    bench.keep = true;
    g_mkdir_with_parents(bench.dir.c_str(), 0755);
    if (argc > 2) bench.only = argv[2];
    if (argc > 3) bench.opens = std::atoi(argv[3]);
  } else {
    char tmpl[] = "/tmp/trellan-bench-open-file-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    bench.dir = tmpl;
  }
  AdwApplication* app = ADW_APPLICATION(g_object_new(ADW_TYPE_APPLICATION, "application-id", trellan::APP_ID, "flags",
                                                     G_APPLICATION_HANDLES_OPEN | G_APPLICATION_NON_UNIQUE, nullptr));
  g_signal_connect(app, "startup", G_CALLBACK(trellan::on_startup), nullptr);
  g_signal_connect(app, "open", G_CALLBACK(trellan::on_open), nullptr);
  g_signal_connect(app, "activate", G_CALLBACK(on_activate), &bench);
  char* args[] = {argv[0], nullptr};
  const int status = g_application_run(G_APPLICATION(app), 1, args);
  g_object_unref(app);
  return status;
}
