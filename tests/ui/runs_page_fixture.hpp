// The Runs page of a real window, opened for a test with GTK's test
// accessibility backend, and what such tests ask of it: the texts a screen
// reader reaches, the run shown, the clipboard.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "accessible_tree.hpp"
#include "gtk_helpers.hpp"
#include "ui/compat.hpp"
#include "ui/window.hpp"

namespace trellan::testing {

// The texts a screen reader can reach in `root`: labels, and buttons by
// their label.
inline std::vector<std::string> reachable_texts(GtkWidget* root) {
  std::vector<Node> tree;
  walk(GTK_ACCESSIBLE(root), "", tree);
  std::vector<std::string> out;
  for (const Node& n : tree) {
    if (!n.reachable()) continue;
    if (GTK_IS_LABEL(n.accessible)) out.emplace_back(gtk_label_get_text(GTK_LABEL(n.accessible)));
    else if (GTK_IS_BUTTON(n.accessible) && gtk_button_get_label(GTK_BUTTON(n.accessible)))
      out.emplace_back(gtk_button_get_label(GTK_BUTTON(n.accessible)));
  }
  return out;
}

inline bool has(const std::vector<std::string>& texts, const std::string& t) {
  return std::find(texts.begin(), texts.end(), t) != texts.end();
}

// The texts missing from what a screen reader can reach in `root` now.
inline std::vector<std::string> missing(GtkWidget* root, const std::vector<std::string>& wanted) {
  const auto texts = reachable_texts(root);
  std::vector<std::string> out;
  for (const auto& w : wanted)
    if (!has(texts, w)) out.push_back(w);
  return out;
}

template <typename Test>
inline GtkWidget* find_widget(GtkWidget* root, Test test) {
  if (test(root)) return root;
  for (GtkWidget* c = gtk_widget_get_first_child(root); c; c = gtk_widget_get_next_sibling(c))
    if (GtkWidget* found = find_widget(c, test)) return found;
  return nullptr;
}

inline GtkWidget* button_labelled(GtkWidget* root, const std::string& text) {
  return find_widget(root, [&](GtkWidget* w) {
    return GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)) && text == gtk_button_get_label(GTK_BUTTON(w));
  });
}

// Whether `w` lies wholly inside the window's visible area.
inline bool in_sight(GtkWidget* w, GtkWidget* window) {
  graphene_rect_t r;
  if (!gtk_widget_get_mapped(w) || !gtk_widget_compute_bounds(w, window, &r)) return false;
  return r.origin.x >= 0 && r.origin.y >= 0 && r.origin.x + r.size.width <= gtk_widget_get_width(window) &&
         r.origin.y + r.size.height <= gtk_widget_get_height(window);
}

inline std::string row_title(GtkListBoxRow* row) {
  return row ? adw_preferences_row_get_title(ADW_PREFERENCES_ROW(row)) : "(none)";
}

// A sending interval as iperf3 prints one: its times as printed, and as numbers.
inline IntervalRecord send_interval(const char* start, const char* end, double mbps, const char* transfer,
                                    std::uint64_t retransmits) {
  IntervalRecord r;
  r.start_text = start;
  r.end_text = end;
  r.start = g_ascii_strtod(start, nullptr);
  r.end = g_ascii_strtod(end, nullptr);
  r.mbps = mbps;
  r.transfer = transfer;
  r.retransmits = retransmits;
  return r;
}

struct RunsPageTest : ::testing::Test {
  AdwApplicationWindow* window = nullptr;
  GtkWidget* stack = nullptr;
  GtkWidget* page = nullptr;
  std::shared_ptr<RunLog> log;

  void SetUp() override {
    ASSERT_STREQ(g_getenv("GTK_A11Y"), "test");
    // GTK's file chooser files what it saves among the recent files of the
    // program by name (in a data folder of the test's own).
    static const bool named = [] {
      g_set_prgname("test-runs-page");
      g_set_application_name("Trellan tests");
      return true;
    }();
    (void)named;
    window = build_main_window(test_application());
    log = run_log_of(window);
    compat::switch_row_set_active(client_form_of(window)->latency_row.get(), false);  // iperf3 alone
    stack = gtk_widget_get_ancestor(client_form_of(window)->status_label.get(), ADW_TYPE_VIEW_STACK);
    ASSERT_NE(stack, nullptr);
    page = adw_view_stack_get_child_by_name(ADW_VIEW_STACK(stack), "runs");
    ASSERT_NE(page, nullptr);
    gtk_window_present(GTK_WINDOW(window));
    ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));
  }
  void TearDown() override {
    if (window) gtk_window_destroy(GTK_WINDOW(window));
    trellan::testing::pump_for(0.2);
  }
  GtkWidget* win() const { return GTK_WIDGET(window); }
  void open_runs() { adw_view_stack_set_visible_child_name(ADW_VIEW_STACK(stack), "runs"); }
  GtkListBox* run_list() const {
    return GTK_LIST_BOX(find_widget(page, [](GtkWidget* w) { return GTK_IS_LIST_BOX(w); }));
  }
  // The row whose run the page shows: the one a screen reader hears as
  // selected.
  GtkListBoxRow* chosen_row() const {
    GtkListBoxRow* found = nullptr;
    for (int i = 0; GtkListBoxRow* row = gtk_list_box_get_row_at_index(run_list(), i); ++i) {
      char* differs = gtk_test_accessible_check_state(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_STATE_SELECTED, TRUE);
      if (!differs) {
        EXPECT_EQ(found, nullptr) << "two rows are selected";
        found = row;
      }
      g_free(differs);
    }
    return found;
  }
  // The chosen run's throughput chart (a link check's summary is drawn too).
  GtkWidget* chart() const {
    return find_widget(page, [](GtkWidget* w) {
      if (!GTK_IS_DRAWING_AREA(w)) return false;
      char* differs =
          gtk_test_accessible_check_property(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_PROPERTY_LABEL, "Throughput over time");
      const bool chart = differs == nullptr;
      g_free(differs);
      return chart;
    });
  }
  std::string chart_description_problem(const char* text) const {
    char* differs = gtk_test_accessible_check_property(GTK_ACCESSIBLE(chart()),
                                                      GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, text);
    std::string out = differs ? differs : "";
    g_free(differs);
    return out;
  }
};


inline std::string clipboard_text(GtkWidget* w) {
  struct Read {
    bool done = false;
    std::string text;
  } read;
  gdk_clipboard_read_text_async(
      gtk_widget_get_clipboard(w), nullptr,
      [](GObject* clipboard, GAsyncResult* result, gpointer data) {
        auto* r = static_cast<Read*>(data);
        char* text = gdk_clipboard_read_text_finish(GDK_CLIPBOARD(clipboard), result, nullptr);
        r->text = text ? text : "(nothing)";
        g_free(text);
        r->done = true;
      },
      &read);
  pump_until([&] { return read.done; }, 5);
  return read.text;
}

// Presses `button` (it clicks once its press has been shown), waits for
// the copy it makes (made off the main thread, it reaches the clipboard a
// little later), then reads it.
inline std::string copied_by(GtkWidget* button) {
  GdkClipboard* clipboard = gtk_widget_get_clipboard(button);
  GdkContentProvider* before = gdk_clipboard_get_content(clipboard);
  gtk_widget_activate(button);
  if (!pump_until([&] { return gdk_clipboard_get_content(clipboard) != before; }, 10)) return "(no copy)";
  return clipboard_text(button);
}

// A row's subtitle as plain text: the no-break spaces and word joiners that
// keep its figures whole on screen read as spaces and nothing.
inline std::string row_subtitle_of(GtkListBoxRow* row) {
  if (!row) return "(none)";
  std::string text = adw_action_row_get_subtitle(ADW_ACTION_ROW(row));
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"\u00a0", " "}, {"\u2060", ""}})
    for (std::size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
  return text;
}

}  // namespace trellan::testing
