// Copies and pastes of a long run, again and again: the main window measures
// a run of N readings (a stand-in iperf3 first on PATH prints them all at
// once), then its Runs page's "Copy as CSV" (or "Copy as text") is clicked
// and another program pastes, once per copy, for each reader given. Prints
// one line per paste and a summary; a paste that does not finish within a
// minute, reads other bytes than the window itself reads back from the
// clipboard, or leaves the main loop without a turn for more than a second
// is a failure. A window that dies ends the program: the caller sees it in
// the exit status.
//
//   copy-stress [--text] [--kill-every K] [--stalls-allowed] READINGS COPIES READER...
//
// READER is "xclip" or the path of a program that writes the clipboard's
// text to standard output (bench/clipboard_reader.cpp). With --kill-every
// K, every K-th paste is by a reader killed a moment after it asks, in the
// middle of its transfer, and only the others count as whole reads. With
// --stalls-allowed, stalls are counted but fail nothing: on a machine whose
// cores are all taken by hogs, the scheduler has a say in them. Needs a
// display.
#include <adwaita.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/run_export.hpp"
#include "ui/compat.hpp"
#include "ui/window.hpp"

namespace {

double wall_ms() { return g_get_monotonic_time() / 1e3; }

// Runs the main loop until `done` holds or `seconds` pass; the longest the
// loop went without a turn meanwhile, in ms, goes to `stall`.
template <typename F>
bool pump(F done, double seconds, double* stall = nullptr) {
  const double start = wall_ms();
  double last = start;
  while (!done()) {
    if (wall_ms() - start > seconds * 1000) return false;
    g_main_context_iteration(nullptr, FALSE);
    const double now = wall_ms();
    if (stall) *stall = std::max(*stall, now - last);
    last = now;
    if (!g_main_context_pending(nullptr)) g_usleep(500);
  }
  return true;
}

// An iperf3 3.12 client's output on loopback with `n` one-second readings,
// all at once.
std::string fake_iperf3(int n) {
  char tmpl[] = "/tmp/trellan-copy-stress-XXXXXX";
  const std::string dir = g_mkdtemp(tmpl);
  std::ofstream script(dir + "/iperf3");
  script << "#!/bin/sh\n"
            "echo 'Connecting to host 127.0.0.1, port 5201'\n"
            "echo '[  5] local 127.0.0.1 port 47024 connected to 127.0.0.1 port 5201'\n"
            "echo '[ ID] Interval           Transfer     Bitrate         Retr  Cwnd'\n"
            "awk -v n="
         << n
         << " 'BEGIN { for (i = 0; i < n; i++) printf \"[  5] %6.2f-%-6.2f sec  2.%d GBytes  2%d.%d Gbits/sec  "
            "  %d    512 KBytes       \\n\", i, i + 1, i % 10, i % 7, i % 10, 10 + i % 90 }'\n"
            "echo '- - - - - - - - - - - - - - - - - - - - - - - - -'\n"
            "echo '[ ID] Interval           Transfer     Bitrate         Retr'\n"
            "echo '[  5]   0.00-"
         << n << ".00  sec  12.6 TBytes  21.4 Gbits/sec    9             sender'\n"
            "echo '[  5]   0.00-"
         << n << ".04  sec  12.6 TBytes  21.4 Gbits/sec                  receiver'\n"
            "echo\necho 'iperf Done.'\n";
  script.close();
  chmod((dir + "/iperf3").c_str(), 0755);
  const char* path = std::getenv("PATH");
  setenv("PATH", (dir + ":" + (path ? path : "")).c_str(), 1);
  return dir;
}

GtkWidget* find(GtkWidget* root, bool (*match)(GtkWidget*, const char*), const char* what) {
  std::vector<GtkWidget*> todo = {root};
  while (!todo.empty()) {
    GtkWidget* w = todo.back();
    todo.pop_back();
    if (match(w, what)) return w;
    for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c)) todo.push_back(c);
  }
  return nullptr;
}

bool is_button(GtkWidget* w, const char* label) {
  return GTK_IS_BUTTON(w) && g_strcmp0(gtk_button_get_label(GTK_BUTTON(w)), label) == 0;
}
bool is_view_stack(GtkWidget* w, const char*) { return ADW_IS_VIEW_STACK(w); }

struct Paste {
  bool done = false;
  bool ok = false;
  std::string out;
  std::string error;
};

// What the window itself reads back from its clipboard, without X in
// between: what every other program must get.
std::string read_back(GdkClipboard* clipboard) {
  struct Back {
    bool done = false;
    std::string text;
  } back;
  gdk_clipboard_read_text_async(
      clipboard, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        auto* b = static_cast<Back*>(data);
        char* text = gdk_clipboard_read_text_finish(GDK_CLIPBOARD(source), result, nullptr);
        if (text) b->text = text;
        g_free(text);
        b->done = true;
      },
      &back);
  pump([&] { return back.done; }, 60);
  return back.text;
}

// A paste cut short: xclip asks for the clipboard and is killed 5 to 300 ms
// later, while the text is on its way.
void paste_killed() {
  GSubprocess* child = g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_SILENCE, nullptr, "xclip", "-o", "-selection",
                                        "clipboard", nullptr);
  if (!child) return;
  bool timed_out = false;
  g_timeout_add(g_random_int_range(5, 300), +[](gpointer d) -> gboolean {
    *static_cast<bool*>(d) = true;
    return G_SOURCE_REMOVE;
  }, &timed_out);
  pump([&] { return timed_out; }, 5);
  g_subprocess_force_exit(child);
  g_subprocess_wait(child, nullptr, nullptr);
  g_object_unref(child);
}

// One reader pastes what is on the clipboard now, to its end.
Paste paste_with(const std::string& reader, double* ms, double* stall) {
  Paste paste;
  GError* error = nullptr;
  GSubprocess* child =
      reader == "xclip"
          ? g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error, "xclip", "-o", "-selection", "clipboard",
                             nullptr)
          : g_subprocess_new(GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE),
                             &error, reader.c_str(), nullptr);
  if (!child) {
    paste.done = true;
    paste.error = error->message;
    g_error_free(error);
    return paste;
  }
  g_subprocess_communicate_async(
      child, nullptr, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        auto* p = static_cast<Paste*>(data);
        GBytes* out = nullptr;
        GBytes* err = nullptr;
        GError* e = nullptr;
        if (g_subprocess_communicate_finish(G_SUBPROCESS(source), result, &out, &err, &e)) {
          p->ok = g_subprocess_get_successful(G_SUBPROCESS(source));
          if (out) p->out.assign(static_cast<const char*>(g_bytes_get_data(out, nullptr)), g_bytes_get_size(out));
          if (err) p->error.assign(static_cast<const char*>(g_bytes_get_data(err, nullptr)), g_bytes_get_size(err));
        } else {
          p->error = e->message;
          g_error_free(e);
        }
        if (out) g_bytes_unref(out);
        if (err) g_bytes_unref(err);
        p->done = true;
      },
      &paste);
  const double start = wall_ms();
  pump([&] { return paste.done; }, 60, stall);
  *ms = wall_ms() - start;
  if (!paste.done) {
    g_subprocess_force_exit(child);
    pump([&] { return paste.done; }, 10);
    paste.error = "did not finish within a minute";
  }
  g_object_unref(child);
  return paste;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const char* button_label = "Copy as CSV";
  int kill_every = 0;
  bool stalls_allowed = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--text") {
      button_label = "Copy as text";
    } else if (a == "--stalls-allowed") {
      stalls_allowed = true;
    } else if (a == "--kill-every" && i + 1 < argc) {
      kill_every = std::atoi(argv[++i]);
    } else {
      args.push_back(a);
    }
  }
  if (args.size() < 3) {
    std::fprintf(stderr, "usage: copy-stress [--text] [--kill-every K] [--stalls-allowed] READINGS COPIES READER...\n");
    return 2;
  }
  const int readings = std::atoi(args[0].c_str());
  const int copies = std::atoi(args[1].c_str());
  const std::vector<std::string> readers(args.begin() + 2, args.end());
  gtk_init();
  adw_init();
  const std::string fake_dir = fake_iperf3(readings);

  AdwApplication* app = adw_application_new("org.trellan.Trellan.CopyStress", G_APPLICATION_NON_UNIQUE);
  g_application_register(G_APPLICATION(app), nullptr, nullptr);
  AdwApplicationWindow* window = trellan::build_main_window(app);
  gtk_window_set_default_size(GTK_WINDOW(window), 900, 800);
  gtk_window_present(GTK_WINDOW(window));
  const trellan::ClientForm* client = trellan::client_form_of(window);
  trellan::compat::switch_row_set_active(client->latency_row.get(), false);
  auto log = trellan::run_log_of(window);

  // The run: started as a click starts it, over when the button says so.
  g_signal_emit_by_name(client->start_button.get(), "clicked");
  auto idle = [&] { return g_strcmp0(gtk_button_get_label(GTK_BUTTON(client->start_button.get())), "Start test") == 0; };
  pump([&] { return !log->runs().empty() && idle(); }, 300);
  const trellan::RunRecord* run = log->runs().empty() ? nullptr : log->runs().back().get();
  if (!run || run->intervals.size() != static_cast<std::size_t>(readings)) {
    std::printf("the run did not give %d readings (%zu)\n", readings, run ? run->intervals.size() : 0);
    return 1;
  }

  GtkWidget* root = GTK_WIDGET(window);
  adw_view_stack_set_visible_child_name(ADW_VIEW_STACK(find(root, is_view_stack, nullptr)), "runs");
  GtkWidget* copy = find(root, is_button, button_label);
  pump([&] { return gtk_widget_get_mapped(copy); }, 30);
  GdkClipboard* clipboard = gtk_widget_get_clipboard(copy);

  int failures = 0, stalls = 0, pastes = 0, killed = 0;
  std::size_t expected = 0;
  std::vector<double> times;
  double longest_stall = 0;
  for (const std::string& reader : readers) {
    const std::string name = reader == "xclip" ? "xclip" : "gtk-reader";
    for (int k = 0; k < copies; ++k) {
      GdkContentProvider* before = gdk_clipboard_get_content(clipboard);
      g_signal_emit_by_name(copy, "clicked");
      pump([&] { return gdk_clipboard_get_content(clipboard) != before; }, 30);
      gdk_display_sync(gtk_widget_get_display(root));
      const std::string copied = read_back(clipboard);
      expected = copied.size();
      if (kill_every > 0 && k % kill_every == kill_every - 1) {
        paste_killed();
        ++killed;
        continue;
      }
      double ms = 0, stall = 0;
      Paste paste = paste_with(reader, &ms, &stall);
      ++pastes;
      const bool whole = paste.out == copied && !copied.empty();
      if (paste.done && paste.ok && !whole) {
        std::size_t at = 0;
        while (at < paste.out.size() && at < copied.size() && paste.out[at] == copied[at]) ++at;
        paste.error += "differs from the copy from byte " + std::to_string(at);
      }
      const bool good = paste.done && paste.ok && whole;
      if (!good) ++failures;
      if (stall > 1000) ++stalls;
      times.push_back(ms);
      longest_stall = std::max(longest_stall, stall);
      std::printf("%6d readings, %-10s paste %2d: %8zu of %8zu bytes in %7.1f ms, longest stall %6.1f ms%s%s\n",
                  readings, name.c_str(), k + 1, paste.out.size(), expected, ms, stall, good ? "" : "  FAILED ",
                  paste.error.c_str());
    }
  }
  std::sort(times.begin(), times.end());
  if (times.empty()) times.push_back(0);
  std::printf("SUMMARY %d readings (%zu bytes): %d pastes, %d killed, %d failed, %d stalls over 1 s; per paste median %.1f ms, "
              "max %.1f ms; longest main-loop stall %.1f ms\n",
              readings, expected, pastes, killed, failures, stalls, times[times.size() / 2], times.back(), longest_stall);

  // The window still answers: a frame drawn after all that.
  bool drawn = false;
  GdkFrameClock* clock = gtk_widget_get_frame_clock(root);
  g_signal_connect_swapped(clock, "after-paint", G_CALLBACK(+[](bool* d) { *d = true; }), &drawn);
  gtk_widget_queue_draw(root);
  const bool answers = pump([&] { return drawn; }, 30);
  if (!answers) std::printf("the window drew no frame within 30 s\n");
  gtk_window_destroy(GTK_WINDOW(window));
  std::string rm = "rm -rf '" + fake_dir + "'";
  if (std::system(rm.c_str()) != 0) {}
  return failures == 0 && (stalls == 0 || stalls_allowed) && answers ? 0 : 1;
}
