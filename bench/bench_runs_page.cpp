// The Runs page with a day-long run: how long choosing a run of 86,400
// readings takes until its first frame is drawn, and what one more reading
// of a live run costs, main thread CPU time, at 50 and at 86,400 readings;
// and another program (xclip) pasting a copy of a long run.
// Needs a display (Xvfb will do). Prints figures; asserts nothing.
#include <adwaita.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ui/runs_page.hpp"

namespace {

double cpu_ms() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}
double wall_ms() { return g_get_monotonic_time() / 1e3; }

trellan::IntervalRecord reading(int i) {
  trellan::IntervalRecord r;
  r.start = i;
  r.end = i + 1;
  r.start_text = std::to_string(i) + ".00";
  r.end_text = std::to_string(i + 1) + ".00";
  r.mbps = 9400 + (i % 17) * 10;
  r.transfer = "1.10 GBytes";
  r.retransmits = static_cast<std::uint64_t>(i % 3);
  return r;
}

// Runs the main loop until the window has drawn a frame after now.
void until_drawn(GtkWidget* window) {
  while (!gtk_widget_get_mapped(window)) g_main_context_iteration(nullptr, TRUE);
  GdkFrameClock* clock = gtk_widget_get_frame_clock(window);
  bool painted = false;
  const gulong id = g_signal_connect_swapped(clock, "after-paint", G_CALLBACK(+[](bool* p) { *p = true; }), &painted);
  gtk_widget_queue_draw(window);
  while (!painted) g_main_context_iteration(nullptr, TRUE);
  g_signal_handler_disconnect(clock, id);
}

GtkListBoxRow* row_of_run(GtkWidget* root, int index) {
  std::vector<GtkWidget*> todo = {root};
  while (!todo.empty()) {
    GtkWidget* w = todo.back();
    todo.pop_back();
    if (GTK_IS_LIST_BOX(w)) return gtk_list_box_get_row_at_index(GTK_LIST_BOX(w), index);
    for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c)) todo.push_back(c);
  }
  return nullptr;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One more reading of a live run of `length` readings, shown on the page:
// the run log's listeners and the frame after it.
void per_reading(int length) {
  auto log = std::make_shared<trellan::RunLog>();
  GtkWidget* window = gtk_window_new();
  gtk_window_set_default_size(GTK_WINDOW(window), 560, 680);
  gtk_window_set_child(GTK_WINDOW(window), trellan::runs_page_new(log));
  gtk_window_present(GTK_WINDOW(window));
  const auto id = log->begin(trellan::RunPage::Client, "127.0.0.1, port 5201", "TCP");
  for (int i = 0; i < length; ++i) log->add_interval(id, reading(i));
  until_drawn(window);
  until_drawn(window);
  std::vector<double> cpu, wall;
  for (int k = 0; k < 30; ++k) {
    const double c0 = cpu_ms(), w0 = wall_ms();
    log->add_interval(id, reading(length + k));
    until_drawn(window);
    cpu.push_back(cpu_ms() - c0);
    wall.push_back(wall_ms() - w0);
  }
  std::printf("one reading of a live run of %6d, shown:      %6.2f ms CPU, %6.2f ms to its frame (median of 30)\n",
              length, median(cpu), median(wall));
  gtk_window_destroy(GTK_WINDOW(window));
}

void choosing(int length) {
  auto log = std::make_shared<trellan::RunLog>();
  GtkWidget* window = gtk_window_new();
  gtk_window_set_default_size(GTK_WINDOW(window), 560, 680);
  gtk_window_set_child(GTK_WINDOW(window), trellan::runs_page_new(log));
  gtk_window_present(GTK_WINDOW(window));
  const auto day = log->begin(trellan::RunPage::Client, "127.0.0.1, port 5201", "TCP · 86400 s");
  for (int i = 0; i < length; ++i) log->add_interval(day, reading(i));
  log->end(day, trellan::RunEnd::Stopped);
  std::vector<double> cpu, wall, settled;
  for (int k = 0; k < 5; ++k) {
    const auto small = log->begin(trellan::RunPage::Client, "127.0.0.1, port 5201", "TCP · 1 s");
    log->add_interval(small, reading(0));
    log->end(small, trellan::RunEnd::Stopped);  // now the one shown
    until_drawn(window);
    until_drawn(window);
    GtkListBoxRow* row = row_of_run(window, k + 1);  // the day-long run, below the small ones
    const double c0 = cpu_ms(), w0 = wall_ms();
    g_signal_emit_by_name(row, "activate");
    until_drawn(window);
    cpu.push_back(cpu_ms() - c0);
    wall.push_back(wall_ms() - w0);
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);  // the rest of the table
    settled.push_back(cpu_ms() - c0);
  }
  std::printf("choosing a run of %6d readings:               %6.2f ms CPU, %6.2f ms to its frame, "
              "%6.2f ms CPU until idle again (median of 5)\n",
              length, median(cpu), median(wall), median(settled));
  gtk_window_destroy(GTK_WINDOW(window));
}

GtkWidget* button_labelled(GtkWidget* root, const char* text) {
  std::vector<GtkWidget*> todo = {root};
  while (!todo.empty()) {
    GtkWidget* w = todo.back();
    todo.pop_back();
    if (GTK_IS_BUTTON(w) && g_strcmp0(gtk_button_get_label(GTK_BUTTON(w)), text) == 0) return w;
    for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c)) todo.push_back(c);
  }
  return nullptr;
}

// Another program (xclip) pastes a run of `length` readings copied with
// `button`: how long it takes, how much it reads, and the longest the main
// loop went without a turn meanwhile. The run is measured in the window, or
// `opened` (adopted whole, as from a file).
void pasting(int length, const char* button, bool opened = false) {
  auto log = std::make_shared<trellan::RunLog>();
  GtkWidget* window = gtk_window_new();
  gtk_window_set_default_size(GTK_WINDOW(window), 560, 680);
  gtk_window_set_child(GTK_WINDOW(window), trellan::runs_page_new(log));
  gtk_window_present(GTK_WINDOW(window));
  if (opened) {
    trellan::RunRecord run;
    run.far_end = "127.0.0.1, port 5201";
    run.options_summary = "TCP";
    run.end = trellan::RunEnd::Stopped;
    for (int i = 0; i < length; ++i) run.intervals.push_back(reading(i));
    log->adopt(std::move(run));
  } else {
    const auto id = log->begin(trellan::RunPage::Client, "127.0.0.1, port 5201", "TCP");
    for (int i = 0; i < length; ++i) log->add_interval(id, reading(i));
    log->end(id, trellan::RunEnd::Stopped);
  }
  until_drawn(window);
  // The table's rows join a few a frame: the page is left to settle first.
  for (const double settled = wall_ms() + 1000; wall_ms() < settled;) g_main_context_iteration(nullptr, FALSE);
  GdkClipboard* clipboard = gtk_widget_get_clipboard(window);
  GdkContentProvider* before = gdk_clipboard_get_content(clipboard);
  // The longest the main loop went without a turn, from the click until
  // the copy is on the clipboard: a 1 ms timeout's longest gap.
  struct Watch {
    double last = wall_ms(), longest = 0;
  } watch;
  const guint ticks = g_timeout_add(1, +[](gpointer data) -> gboolean {
    auto* w = static_cast<Watch*>(data);
    w->longest = std::max(w->longest, wall_ms() - w->last);
    w->last = wall_ms();
    return G_SOURCE_CONTINUE;
  }, &watch);
  const double clicked = wall_ms();
  g_signal_emit_by_name(button_labelled(window, button), "clicked");
  const double click_ms = wall_ms() - clicked;
  while (gdk_clipboard_get_content(clipboard) == before) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(ticks);
  watch.longest = std::max(watch.longest, wall_ms() - watch.last);
  std::printf("\"%s\" of %s run of %6d: the click took %5.1f ms, the copy came %6.1f ms after it; "
              "longest main-loop stall meanwhile %5.1f ms\n", button, opened ? "an opened" : "a measured", length, click_ms, wall_ms() - clicked,
              watch.longest);
  gdk_display_sync(gtk_widget_get_display(window));

  struct Read {
    bool done = false;
    std::size_t bytes = 0;
  } read;
  GSubprocess* xclip = g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE, nullptr, "xclip", "-o", "-selection",
                                        "clipboard", nullptr);
  if (!xclip) {
    std::printf("xclip cannot be started\n");
    return;
  }
  g_subprocess_communicate_async(
      xclip, nullptr, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        auto* r = static_cast<Read*>(data);
        GBytes* out = nullptr;
        if (g_subprocess_communicate_finish(G_SUBPROCESS(source), result, &out, nullptr, nullptr) && out)
          r->bytes = g_bytes_get_size(out);
        if (out) g_bytes_unref(out);
        r->done = true;
      },
      &read);
  const double start = wall_ms();
  double last = start, stall = 0;
  while (!read.done && wall_ms() - start < 60000) {
    g_main_context_iteration(nullptr, FALSE);
    const double now = wall_ms();
    stall = std::max(stall, now - last);
    last = now;
    if (!g_main_context_pending(nullptr)) g_usleep(500);
  }
  std::printf("xclip pastes \"%s\" of a run of %6d: %s %8zu bytes in %7.1f ms, longest main-loop stall %6.1f ms\n",
              button, length, read.done ? "read" : "DID NOT FINISH,", read.bytes, wall_ms() - start, stall);
  g_object_unref(xclip);
  gtk_window_destroy(GTK_WINDOW(window));
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  gtk_init();
  adw_init();
  if (argc > 1) {  // one figure: "choose N", "paste N" or "reading N"
    const int n = std::atoi(argv[2]);
    if (std::string(argv[1]) == "choose") choosing(n);
    else if (std::string(argv[1]) == "paste") {
      for (const bool opened : {false, true}) {
        pasting(n, "Copy as CSV", opened);
        pasting(n, "Copy as text", opened);
      }
    }
    else per_reading(n);
    return 0;
  }
  choosing(3600);
  choosing(86400);
  per_reading(50);
  per_reading(3600);
  per_reading(86400);
  for (int n : {5000, 20000, 86400}) {
    pasting(n, "Copy as CSV");
    pasting(n, "Copy as text");
  }
  return 0;
}
