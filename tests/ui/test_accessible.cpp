// The main window as a screen reader meets it: every field of both pages can
// be reached, has the role of its control and is named by its row's title,
// and the gauge reports its readout. Runs with GTK's test accessibility
// backend, which reports the roles a real backend sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "accessible_tree.hpp"
#include "gtk_helpers.hpp"
#include "runs_page_fixture.hpp"
#include "ui/window.hpp"

using namespace trellan;
using trellan::testing::pump_until;
using trellan::testing::test_application;
using trellan::testing::Node;
using trellan::testing::role_name;
using trellan::testing::walk;
using trellan::testing::accessible_children;
using trellan::testing::RunsPageTest;
using trellan::testing::find_widget;
using trellan::testing::send_interval;
using trellan::testing::pump_for;
using trellan::testing::all_widgets;
using trellan::testing::property_text;
using trellan::testing::said_twice;
using trellan::testing::spoken_name;

namespace {

bool inside(GtkAccessible* a, GtkWidget* row) {
  return GTK_IS_WIDGET(a) && (GTK_WIDGET(a) == row || gtk_widget_is_ancestor(GTK_WIDGET(a), row));
}

void collect_widgets(GtkWidget* w, std::vector<GtkWidget*>& out) {
  out.push_back(w);
  for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c)) collect_widgets(c, out);
}

// Whether the accessible name of `a` is `title`: given directly, or through
// what labels it inside its row (the row's title label, or the row itself,
// which the title label labels in turn).
bool named(GtkAccessible* a, GtkWidget* row, const std::string& title, int depth = 0) {
  if (GTK_IS_LABEL(a)) return title == gtk_label_get_text(GTK_LABEL(a));
  if (gtk_test_accessible_has_property(a, GTK_ACCESSIBLE_PROPERTY_LABEL)) {
    char* differs = gtk_test_accessible_check_property(a, GTK_ACCESSIBLE_PROPERTY_LABEL, title.c_str());
    g_free(differs);
    return differs == nullptr;
  }
  if (depth > 1 || !gtk_test_accessible_has_relation(a, GTK_ACCESSIBLE_RELATION_LABELLED_BY)) return false;
  std::vector<GtkWidget*> candidates;
  collect_widgets(row, candidates);
  for (GtkWidget* w : candidates) {
    if (GTK_ACCESSIBLE(w) == a) continue;
    char* differs = gtk_test_accessible_check_relation(a, GTK_ACCESSIBLE_RELATION_LABELLED_BY, w, nullptr);
    g_free(differs);
    if (!differs) return named(GTK_ACCESSIBLE(w), row, title, depth + 1);
  }
  return false;
}

enum class Kind { Spin, Entry, Switch, Combo };

bool role_fits(Kind kind, GtkAccessibleRole role) {
  switch (kind) {
    case Kind::Spin: return role == GTK_ACCESSIBLE_ROLE_SPIN_BUTTON;
    case Kind::Entry: return role == GTK_ACCESSIBLE_ROLE_TEXT_BOX;
    case Kind::Switch: return role == GTK_ACCESSIBLE_ROLE_SWITCH || role == GTK_ACCESSIBLE_ROLE_CHECKBOX;
    case Kind::Combo: return role == GTK_ACCESSIBLE_ROLE_COMBO_BOX;
  }
  return false;
}

struct Field {
  GtkWidget* row;
  const char* title;
  Kind kind;
};

// Empty when the field is there for a screen reader; else what the tree
// holds of it.
std::string field_problem(const std::vector<Node>& tree, const Field& f) {
  std::string found;
  for (const Node& n : tree) {
    if (!inside(n.accessible, f.row) || !role_fits(f.kind, n.role)) continue;
    const bool has_name = named(n.accessible, f.row, f.title);
    if (n.reachable() && has_name) return "";
    found += std::string(" ") + G_OBJECT_TYPE_NAME(n.accessible) + " (" + role_name(n.role) +
             (n.reachable() ? "" : ", out of reach: " + n.hidden_by) +
             (has_name ? "" : ", not named by the title") + ")";
  }
  return found.empty() ? "no control of the right role" : "found only" + found;
}

// What a screen reader gets of the gauge's reading: the value text, and the
// description (the one of the two that GTK's bus layer passes on for a
// drawing area).
std::string value_text_problem(GtkWidget* gauge, const char* text) {
  std::string out;
  for (GtkAccessibleProperty p : {GTK_ACCESSIBLE_PROPERTY_VALUE_TEXT, GTK_ACCESSIBLE_PROPERTY_DESCRIPTION}) {
    char* differs = gtk_test_accessible_check_property(GTK_ACCESSIBLE(gauge), p, text);
    if (differs) out += differs;
    g_free(differs);
  }
  return out;
}

}  // namespace

TEST(AccessibleWindow, EveryFieldOfBothPagesAndTheGaugeReachAScreenReader) {
  // Without an accessibility backend, roles differ from what a screen reader
  // gets: a spin row of libadwaita 1.7 reads as a list item there.
  ASSERT_STREQ(g_getenv("GTK_A11Y"), "test");
  AdwApplicationWindow* window = build_main_window(test_application());
  const ClientForm& c = *client_form_of(window);
  const ServerForm& s = *server_form_of(window);
  gtk_window_present(GTK_WINDOW(window));
  ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));

  const std::vector<Field> client_fields = {
      {c.server_row.get(), "Server (host or IP)", Kind::Entry},
      {c.port_row.get(), "Port", Kind::Spin},
      {c.duration_row.get(), "Duration (s)", Kind::Spin},
      {c.parallel_row.get(), "Parallel streams", Kind::Spin},
      {c.reverse_row.get(), "Download mode (reverse)", Kind::Switch},
      {c.bidir_row.get(), "Bidirectional", Kind::Switch},
      {c.udp_row.get(), "UDP", Kind::Switch},
      {c.bitrate_row.get(), "Target bitrate", Kind::Entry},
      {c.omit_row.get(), "Omit first seconds", Kind::Spin},
      {c.ip_version_row.get(), "IP version", Kind::Combo},
      {c.bind_row.get(), "Bind to local address", Kind::Entry},
      {c.window_row.get(), "TCP window / socket buffer", Kind::Entry},
      {c.buffer_length_row.get(), "Buffer length", Kind::Entry},
      {c.mss_row.get(), "Max segment size (MSS)", Kind::Spin},
      {c.congestion_row.get(), "Congestion algorithm", Kind::Entry},
      {c.no_delay_row.get(), "No delay", Kind::Switch},
      {c.zero_copy_row.get(), "Zero-copy", Kind::Switch},
  };
  const std::vector<Field> server_fields = {
      {s.listen_port_row.get(), "Listen port", Kind::Spin},
      {s.bind_row.get(), "Bind to local address", Kind::Entry},
      {s.one_off_row.get(), "One-off", Kind::Switch},
  };
  // Each page's gauge gets a reading; a meter reports its readout as value text.
  struct Page {
    const char* name;
    const std::vector<Field>& fields;
    VuMeter meter;
    double reading;
    const char* readout;
  } pages[] = {{"client", client_fields, c.meter, 950.0, "950.0 Mbit/s"},
               {"server", server_fields, s.meter, 12.5, "12.5 Mbit/s"}};

  GtkWidget* stack = gtk_widget_get_ancestor(c.status_label.get(), ADW_TYPE_VIEW_STACK);
  ASSERT_NE(stack, nullptr);
  // The advanced rows are out of reach, like out of sight, until the user
  // opens their expander.
  GtkWidget* expander = gtk_widget_get_ancestor(c.mss_row.get(), ADW_TYPE_EXPANDER_ROW);
  ASSERT_NE(expander, nullptr);
  adw_expander_row_set_expanded(ADW_EXPANDER_ROW(expander), TRUE);
  for (Page& page : pages) {
    SCOPED_TRACE(page.name);
    adw_view_stack_set_visible_child_name(ADW_VIEW_STACK(stack), page.name);
    GtkWidget* gauge = page.meter.widget();
    page.meter.set_value(page.reading);
    pump_until([&] {
      return value_text_problem(gauge, page.readout).empty() && gtk_widget_get_mapped(page.fields.back().row);
    }, 5);

    std::vector<Node> tree;
    walk(GTK_ACCESSIBLE(window), "", tree);
    for (const Field& f : page.fields) EXPECT_EQ(field_problem(tree, f), "") << f.title;

    std::string gauge_hidden_by = "not in the tree";
    for (const Node& n : tree)
      if (n.accessible == GTK_ACCESSIBLE(gauge)) gauge_hidden_by = n.hidden_by;
    EXPECT_EQ(gauge_hidden_by, "") << "gauge";
    EXPECT_EQ(gtk_accessible_get_accessible_role(GTK_ACCESSIBLE(gauge)), GTK_ACCESSIBLE_ROLE_METER);
    EXPECT_EQ(value_text_problem(gauge, page.readout), "");
  }
  gtk_window_destroy(GTK_WINDOW(window));
}

namespace {

// The name a screen reader gets for `a`: its label, or the names of what
// labels it; empty when it has neither, where GTK 4.8 hands the bus the
// object's type name.
std::string accessible_name(GtkAccessible* a) {
  if (GTK_IS_LABEL(a)) return gtk_label_get_text(GTK_LABEL(a));
  if (gtk_test_accessible_has_property(a, GTK_ACCESSIBLE_PROPERTY_LABEL)) {
    // The test backend answers only whether a value matches; the label is
    // found by asking for it with a value it does not have.
    char* differs = gtk_test_accessible_check_property(a, GTK_ACCESSIBLE_PROPERTY_LABEL, "\x01");
    std::string text = differs ? differs : "";
    g_free(differs);
    // "expected value '\x01' but got 'TEXT'"
    const auto open = text.rfind("got '");
    return open == std::string::npos ? text : text.substr(open + 5, text.size() - open - 6);
  }
  if (gtk_test_accessible_has_relation(a, GTK_ACCESSIBLE_RELATION_LABELLED_BY)) return "(labelled by another)";
  return "";
}

// Roles whose objects a screen reader announces by name; the rest are
// containers it passes through, or text it reads as is.
bool announced(GtkAccessibleRole role) {
  switch (role) {
    case GTK_ACCESSIBLE_ROLE_NONE:
    case GTK_ACCESSIBLE_ROLE_PRESENTATION:
    case GTK_ACCESSIBLE_ROLE_GENERIC:
    case GTK_ACCESSIBLE_ROLE_LABEL:
    case GTK_ACCESSIBLE_ROLE_GROUP:
      return false;
    default:
      return true;
  }
}

struct TableTree {
  std::vector<std::string> headers;               // the column headers' names, in tree order
  std::vector<std::vector<std::string>> rows;     // each row's cells' names, in tree order
  std::vector<std::string> row_names;             // each row's own name
  std::vector<std::string> unnamed;               // announced objects with no name of their own
  std::string dump;
};

void read_table(GtkAccessible* a, TableTree& t, int depth, std::vector<std::string>* row) {
  const GtkAccessibleRole role = gtk_accessible_get_accessible_role(a);
  if (GTK_IS_WIDGET(a) && !gtk_widget_get_visible(GTK_WIDGET(a))) return;
  const std::string name = accessible_name(a);
  t.dump += std::string(depth * 2, ' ') + G_OBJECT_TYPE_NAME(a) + " [" + role_name(role) + "] “" + name + "”\n";
  if (announced(role) && name.empty()) t.unnamed.push_back(std::string(G_OBJECT_TYPE_NAME(a)) + " (" + role_name(role) + ")");
  if (role == GTK_ACCESSIBLE_ROLE_COLUMN_HEADER) {
    t.headers.push_back(name);
    return;
  }
  if (role == GTK_ACCESSIBLE_ROLE_CELL || role == GTK_ACCESSIBLE_ROLE_GRID_CELL) {
    if (row) row->push_back(name);
    return;
  }
  if (role == GTK_ACCESSIBLE_ROLE_ROW) {
    std::vector<std::string> cells;
    for (GtkAccessible* c : accessible_children(a)) read_table(c, t, depth + 1, &cells);
    if (!cells.empty()) {
      t.rows.push_back(std::move(cells));
      t.row_names.push_back(name);
    }
    return;
  }
  for (GtkAccessible* c : accessible_children(a)) read_table(c, t, depth + 1, row);
}

}  // namespace

// The interval table as a screen reader walks it: a table (not a tree)
// whose header row names the columns in the order they are shown, rows
// named with every column they show, latency too, whose cells carry their
// columns and texts in that order, and nothing announced by a type name.
TEST_F(RunsPageTest, TheIntervalTableReadsAsATableWithItsColumnsInOrder) {
  // A TCP run with latency: the widest set of columns. It is chosen after
  // a run without retransmits, so that its Retransmits column comes into
  // the table between others.
  auto with_latency = [&](std::uint64_t id) {
    LatencyFigures figures;
    std::vector<IntervalLatency> per_interval(2);
    per_interval[0].median_ms = 1.3;
    per_interval[0].lost = 0;
    per_interval[1].median_ms = 2.5;
    per_interval[1].lost = 1;
    RunLatency latency;
    latency.records = per_interval;
    latency.ended = true;
    latency.text = "Latency: 0.2 ms idle, 1.9 ms under load";
    latency.figures = figures;
    log->update_latency(id, latency);
    log->end(id, RunEnd::Stopped);
  };
  const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 2 s");
  log->add_interval(id, send_interval("0.00", "1.00", 942, "112 MBytes", 3));
  log->add_interval(id, send_interval("1.00", "2.00", 938, "111 MBytes", 0));
  with_latency(id);
  const auto other = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 2 s");
  for (const char* end : {"1.00", "2.00"}) {
    IntervalRecord r = send_interval(end[0] == '1' ? "0.00" : "1.00", end, 500, "59.6 MBytes", 0);
    r.retransmits.reset();
    log->add_interval(other, r);
  }
  with_latency(other);
  open_runs();
  pump_for(0.3);
  g_signal_emit_by_name(gtk_list_box_get_row_at_index(
                            GTK_LIST_BOX(find_widget(page, [](GtkWidget* w) { return GTK_IS_LIST_BOX(w); })), 1),
                        "activate");
  GtkWidget* view = find_widget(page, [](GtkWidget* w) { return GTK_IS_COLUMN_VIEW(w); });
  ASSERT_NE(view, nullptr);
  const std::vector<std::string> columns = {"Interval", "Direction", "Bitrate", "Transfer", "Retransmits",
                                            "Latency", "Lost probes"};
  const std::vector<std::vector<std::string>> rows = {
      {"Interval: 0.00–1.00 s", "Direction: Send", "Bitrate: 942.0 Mbit/s", "Transfer: 112 MBytes",
       "Retransmits: 3", "Latency: 1.3 ms", "Lost probes: 0"},
      {"Interval: 1.00–2.00 s", "Direction: Send", "Bitrate: 938.0 Mbit/s", "Transfer: 111 MBytes",
       "Retransmits: 0", "Latency: 2.5 ms", "Lost probes: 1"}};
  const std::vector<std::string> row_names = {
      "0.00–1.00 s, Send, 942.0 Mbit/s, 112 MBytes, retransmits 3, latency 1.3 ms, lost probes 0",
      "1.00–2.00 s, Send, 938.0 Mbit/s, 111 MBytes, retransmits 0, latency 2.5 ms, lost probes 1"};
  TableTree t;
  pump_until([&] {
    t = TableTree();
    read_table(GTK_ACCESSIBLE(view), t, 0, nullptr);
    return t.headers == columns && t.rows == rows && t.row_names == row_names && t.unnamed.empty();
  }, 5);
  // A table, which a screen reader moves in by row and column: GTK's own
  // role for a column view is a tree's.
  EXPECT_EQ(role_name(gtk_accessible_get_accessible_role(GTK_ACCESSIBLE(view))), "grid");
  EXPECT_EQ(t.headers, columns) << t.dump;
  EXPECT_EQ(t.rows, rows) << t.dump;
  EXPECT_EQ(t.row_names, row_names) << t.dump;
  EXPECT_EQ(t.unnamed, std::vector<std::string>()) << t.dump;
}

// The whole window as a screen reader walks it, with runs on the Runs page
// (one shown, two marked to compare): every name in the window said once,
// nothing anywhere said by a type name (GTK 4.8's name for what has none),
// each scroll bar named as a person says it, and the shown run the list's
// selection.
TEST_F(RunsPageTest, TheWholeWindowSaysEachNameOnceAndTheShownRunIsTheListsSelection) {
  for (int i = 0; i < 3; ++i) {
    const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 2 s");
    log->add_interval(id, send_interval("0.00", "1.00", 940 + i, "112 MBytes", 3));
    log->add_interval(id, send_interval("1.00", "2.00", 930 + i, "111 MBytes", 0));
    log->end(id, RunEnd::Stopped);
  }
  GtkWidget* expander = gtk_widget_get_ancestor(client_form_of(window)->mss_row.get(), ADW_TYPE_EXPANDER_ROW);
  ASSERT_NE(expander, nullptr);
  adw_expander_row_set_expanded(ADW_EXPANDER_ROW(expander), TRUE);
  open_runs();
  GtkListBox* list = run_list();
  ASSERT_TRUE(pump_until([&] { return gtk_list_box_get_row_at_index(list, 2) && gtk_widget_get_mapped(GTK_WIDGET(list)); }));
  // Runs 1 and 2 marked from their boxes; then run 1 chosen.
  for (int i : {1, 2}) {
    GtkWidget* box = find_widget(GTK_WIDGET(gtk_list_box_get_row_at_index(list, i)),
                                 [](GtkWidget* w) { return GTK_IS_CHECK_BUTTON(w); });
    ASSERT_NE(box, nullptr);
    gtk_check_button_set_active(GTK_CHECK_BUTTON(box), TRUE);
  }
  g_signal_emit_by_name(gtk_list_box_get_row_at_index(list, 1), "activate");
  pump_for(0.3);

  std::vector<GtkWidget*> widgets;
  all_widgets(win(), widgets);
  std::vector<Node> tree;
  walk(GTK_ACCESSIBLE(window), "", tree);
  std::vector<std::string> twice, unnamed, scroll_bars;
  for (const Node& n : tree) {
    const std::string name = spoken_name(n.accessible, widgets);
    std::string what = std::string(G_OBJECT_TYPE_NAME(n.accessible)) + " (" + role_name(n.role) + ")";
    for (GtkWidget* w = GTK_IS_WIDGET(n.accessible) ? gtk_widget_get_parent(GTK_WIDGET(n.accessible)) : nullptr; w;
         w = gtk_widget_get_parent(w))
      what += std::string(" in ") + G_OBJECT_TYPE_NAME(w);
    if (said_twice(name)) twice.push_back(what + " “" + name + "”");
    if (n.reachable() && name.empty() && announced(n.role)) unnamed.push_back(what);
    if (n.reachable() && n.role == GTK_ACCESSIBLE_ROLE_SCROLLBAR) scroll_bars.push_back(name);
  }
  EXPECT_EQ(twice, std::vector<std::string>());
  // Nothing in the window, page tabs and forms too, that a screen reader
  // would name by its type.
  EXPECT_EQ(unnamed, std::vector<std::string>());
  // Every scroll bar a screen reader reaches is said as a person would say
  // it, of what it scrolls (which bars it reaches differs with GTK's
  // version: 4.18 leaves out those not shown).
  const std::vector<std::string> bar_names = {
      "Horizontal scroll bar of the Runs page",         "Horizontal scroll bar of the form",
      "Horizontal scroll bar of the runs list",         "Horizontal scroll bar of the table of readings",
      "Horizontal scroll bar of the comparison table", "Vertical scroll bar of the Runs page",
      "Vertical scroll bar of the comparison table",   "Vertical scroll bar of the form",
      "Vertical scroll bar of the runs list",           "Vertical scroll bar of the table of readings"};
  for (const std::string& name : scroll_bars)
    EXPECT_NE(std::find(bar_names.begin(), bar_names.end(), name), bar_names.end()) << "“" << name << "”";
  EXPECT_FALSE(scroll_bars.empty());

  // The shown run is what the list has selected, and only it; the marked
  // runs say so in their rows.
  EXPECT_EQ(gtk_list_box_get_selected_row(list), gtk_list_box_get_row_at_index(list, 1));
  EXPECT_EQ(chosen_row(), gtk_list_box_get_row_at_index(list, 1));
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(property_text(GTK_ACCESSIBLE(gtk_list_box_get_row_at_index(list, i)),
                            GTK_ACCESSIBLE_PROPERTY_DESCRIPTION),
              i == 0 ? "" : "Marked to compare");
  }
}

TRELLAN_GTK_TEST_MAIN()
