#include "ui/interval_table.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

#include "core/interval_list.hpp"
#include "core/latency_text.hpp"
#include "core/run_words.hpp"
#include "core/gobject.hpp"
#include "ui/compat.hpp"

namespace trellan {

namespace {

constexpr std::array<const char*, 9> kColumns = {"Interval", "Direction", "Bitrate", "Transfer",
                                                 "Retransmits", "Jitter", "Loss", "Latency", "Lost probes"};
constexpr int kRetransmits = 4, kJitter = 5, kLoss = 6, kLatency = 7, kLostProbes = 8;

// Adwaita draws a column view's titles at 40 % of the text colour (about
// 2:1 against the view); here they read as plainly as the cells.
constexpr const char* kCss = "columnview.intervals > header > button > box { color: currentColor; }\n";

}  // namespace

struct IntervalTable::State {
  Ref<TrellanIntervalList> list;
  Ref<GtkWidget> frame, view;
  GtkAdjustment* vadjustment = nullptr;  // the scrolled window's
  // Every column, in order; the view holds those that have anything in
  // them. A column out of the view costs its rows nothing, where a hidden
  // one would still make and bind a cell in each.
  std::array<Ref<GtkColumnViewColumn>, kColumns.size()> columns;
  std::array<bool, kColumns.size()> in_view{};
  // The latency of each kept record of an ended run that measured it.
  std::vector<std::optional<IntervalLatency>> latency;
  bool live = false;    // whether the shown run is still going
  bool follow = false;  // whether its end was in view before the last change
  guint follow_source = 0;
  guint catch_up_tick = 0;  // readings that came since the last frame join at the next
  // An ended run's rows that the view has yet to make join a few a frame,
  // after each frame is drawn, up to `growing_to`; then the rest at once.
  GdkFrameClock* rest_clock = nullptr;  // the clock
  gulong rest_after_paint = 0;          // and the handler that brings them in
  guint rest_source = 0;                // after that frame
  guint growing_to = 0;
  // An ended run to show once the frame now coming is drawn, and whether
  // one is waiting (nullptr is a run too: none).
  std::shared_ptr<const RunRecord> waiting;
  bool is_waiting = false;
  // The cells bound now, and their columns.
  std::unordered_map<GtkListItem*, int> bound;

  void catch_up(guint most = G_MAXUINT) {
    if (!view || !gtk_widget_get_mapped(view.get()) || is_waiting) return;
    const RunRecord* run = interval_list_run(list.get());
    live = run && run->end == RunEnd::Running;
    interval_list_catch_up(list.get(), most);
    show_filled_columns(run, interval_list_filled(list.get()));
  }
  static std::array<bool, kColumns.size()> wanted_columns(const RunRecord* run, const FilledColumns& filled) {
    const bool latency = run && !run->interval_latency.empty() && !run->intervals.empty();
    return {true, true, true, true, filled.retransmits, filled.jitter, filled.loss, latency, latency};
  }
  void show_filled_columns(const RunRecord* run, const FilledColumns& filled) {
    if (!run || run->interval_latency.empty())
      latency.clear();
    else if (latency.size() != run->intervals.size())
      latency = latency_of_records(*run);
    const auto wanted = wanted_columns(run, filled);
    if (wanted == in_view) return;
    // The view keeps the widgets of a column inserted between others after
    // the rest, where a screen reader, which walks the widgets, would hear
    // its title and cells out of order: the columns go and come back in
    // their order instead. It happens when another run is shown, and at
    // most a few times in a run (a column's first value, latency at the
    // end), when the rows in view are made again.
    GtkColumnView* v = GTK_COLUMN_VIEW(view.get());
    for (std::size_t i = 0; i < kColumns.size(); ++i)
      if (in_view[i]) gtk_column_view_remove_column(v, columns[i].get());
    for (std::size_t i = 0; i < kColumns.size(); ++i)
      if (wanted[i]) gtk_column_view_append_column(v, columns[i].get());
    in_view = wanted;
    name_header();
  }
  // GTK 4.8 names the header row and its titles by their types where a
  // screen reader asks; they get the columns' names instead.
  void name_header() {
    std::string names;
    for (GtkWidget* c = gtk_widget_get_first_child(view.get()); c; c = gtk_widget_get_next_sibling(c)) {
      if (GTK_IS_LIST_VIEW(c)) {
        gtk_accessible_update_property(GTK_ACCESSIBLE(c), GTK_ACCESSIBLE_PROPERTY_LABEL, "Readings", -1);
        continue;
      }
      if (!g_str_equal(gtk_widget_get_css_name(c), "header")) continue;
      for (GtkWidget* title = gtk_widget_get_first_child(c); title; title = gtk_widget_get_next_sibling(title)) {
        const char* text = title_text(title);
        if (!text) continue;
        gtk_accessible_update_property(GTK_ACCESSIBLE(title), GTK_ACCESSIBLE_PROPERTY_LABEL, text, -1);
        names += (names.empty() ? "" : ", ") + std::string(text);
      }
      gtk_accessible_update_property(GTK_ACCESSIBLE(c), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                     ("Columns: " + names).c_str(), -1);
    }
  }
  static const char* title_text(GtkWidget* w) {
    if (GTK_IS_LABEL(w)) return gtk_label_get_text(GTK_LABEL(w));
    for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c))
      if (const char* text = title_text(c)) return text;
    return nullptr;
  }
};

namespace {

using StateRef = std::shared_ptr<IntervalTable::State>;

template <typename Handler>
void connect(gpointer instance, const char* signal, Handler handler, const StateRef& state) {
  g_signal_connect_data(instance, signal, G_CALLBACK(handler), new StateRef(state),
                        [](gpointer data, GClosure*) { delete static_cast<StateRef*>(data); }, GConnectFlags{});
}

IntervalTable::State& state_of(gpointer data) { return **static_cast<StateRef*>(data); }

void on_cell_setup(GtkSignalListItemFactory*, GtkListItem* item, gpointer) noexcept {
  GtkWidget* l = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(l), 0.0f);
  gtk_list_item_set_child(item, l);
}

// GTK 4.8 gives the table's rows and cells their roles but names them by
// their types; a screen reader hears each cell with its column ("Bitrate:
// 942.0 Mbit/s", an empty one a dash), as a sighted reader reads it under
// its title, and each row as a whole. Only rows in view are bound.
void name_cell(GtkWidget* l, int column, const std::string& text) {
  GtkWidget* cell = gtk_widget_get_parent(l);
  if (!cell) return;
  const std::string name = std::string(kColumns[static_cast<std::size_t>(column)]) + ": " + (text.empty() ? "—" : text);
  gtk_accessible_update_property(GTK_ACCESSIBLE(cell), GTK_ACCESSIBLE_PROPERTY_LABEL, name.c_str(), -1);
}

// The latency of the interval `item` shows, if its run measured it.
const IntervalLatency* latency_of(const IntervalTable::State& s, GtkListItem* item) {
  auto* interval = TRELLAN_INTERVAL_ITEM(gtk_list_item_get_item(item));
  const auto i = interval ? interval_item_index(interval) : std::nullopt;
  return i && *i < s.latency.size() && s.latency[*i] ? &*s.latency[*i] : nullptr;
}

// A latency cell's text: the median of the interval's replies, or its lost
// probes.
std::string latency_cell(const IntervalLatency& lat, int column) {
  if (column == kLatency) return lat.median_ms ? ms_text(*lat.median_ms) + " ms" : "";
  return std::to_string(lat.lost);
}

void fill_cell(const IntervalTable::State& s, GtkListItem* item, int index) {
  GtkWidget* l = gtk_list_item_get_child(item);
  auto* interval = TRELLAN_INTERVAL_ITEM(gtk_list_item_get_item(item));
  const IntervalRecord* record = interval ? interval_item_record(interval) : nullptr;
  const std::string text = record ? interval_cell(*record, index) : "";
  gtk_label_set_text(GTK_LABEL(l), text.c_str());
  name_cell(l, index, text);
  GtkWidget* cell = gtk_widget_get_parent(l);
  GtkWidget* row = cell ? gtk_widget_get_parent(cell) : nullptr;
  if (!row || index != 0 || !record) return;
  // The row is named with every column it shows, latency too.
  std::string name = interval_row_name(*record);
  if (const IntervalLatency* lat = latency_of(s, item)) {
    const std::string median = latency_cell(*lat, kLatency);
    if (!median.empty()) name += ", latency " + median;
    name += ", lost probes " + latency_cell(*lat, kLostProbes);
  }
  gtk_accessible_update_property(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_PROPERTY_LABEL, name.c_str(), -1);
}

void fill_latency_cell(const IntervalTable::State& s, GtkListItem* item, int column) {
  GtkWidget* l = gtk_list_item_get_child(item);
  const IntervalLatency* lat = latency_of(s, item);
  const std::string text = lat ? latency_cell(*lat, column) : "";
  gtk_label_set_text(GTK_LABEL(l), text.c_str());
  name_cell(l, column, text);
}

void fill(const IntervalTable::State& s, GtkListItem* item, int column) {
  if (column == kLatency || column == kLostProbes)
    fill_latency_cell(s, item, column);
  else
    fill_cell(s, item, column);
}

struct ColumnOf {
  StateRef state;
  int column;
};

void on_cell_bind(GtkSignalListItemFactory*, GtkListItem* item, gpointer data) noexcept {
  const ColumnOf& c = *static_cast<ColumnOf*>(data);
  c.state->bound[item] = c.column;
  fill(*c.state, item, c.column);
}

void on_cell_unbind(GtkSignalListItemFactory*, GtkListItem* item, gpointer data) noexcept {
  static_cast<ColumnOf*>(data)->state->bound.erase(item);
}

// GTK from 4.12 on keeps a row whose place keeps its item, as before, but
// no longer binds it again: the cells of such rows are filled here from the
// run shown now. Earlier versions bind them again themselves.
constexpr bool kBindsAgain = !GTK_CHECK_VERSION(4, 12, 0);

void fill_bound_cells(const IntervalTable::State& s) {
  if (kBindsAgain) return;
  for (const auto& [item, column] : s.bound) fill(s, item, column);
}

// Whether the table shows its last row.
bool end_in_view(GtkAdjustment* a) {
  return gtk_adjustment_get_value(a) + gtk_adjustment_get_page_size(a) >= gtk_adjustment_get_upper(a) - 1.0;
}

void on_scrolled(GtkAdjustment* a, gpointer data) noexcept { state_of(data).follow = end_in_view(a); }

// The table grew: it scrolls to its new end once it has been laid out.
void on_upper_changed(GtkAdjustment*, GParamSpec*, gpointer data) noexcept {
  IntervalTable::State& s = state_of(data);
  if (!s.live || !s.follow || s.follow_source) return;
  s.follow_source = g_idle_add_full(
      G_PRIORITY_DEFAULT_IDLE,
      [](gpointer data) noexcept -> gboolean {
        IntervalTable::State& s = state_of(data);
        s.follow_source = 0;
        if (s.vadjustment && s.follow)
          gtk_adjustment_set_value(s.vadjustment, gtk_adjustment_get_upper(s.vadjustment) -
                                                      gtk_adjustment_get_page_size(s.vadjustment));
        return G_SOURCE_REMOVE;
      },
      new StateRef(*static_cast<StateRef*>(data)), [](gpointer data) { delete static_cast<StateRef*>(data); });
}

void after_paint(const StateRef& state);

// The table is one stop for Tab, as the runs list is: Tab and Shift+Tab
// leave it from any row at once, and the arrow, Page and Home/End keys
// move within it. While the window moves the focus away from a row, the
// view refuses it, so the move passes over its other rows.
constexpr const char* kLeavingKey = "trellan-table-leaving";

bool holds_focus(GtkWidget* view) {
  GtkRoot* root = gtk_widget_get_root(view);
  GtkWidget* focus = root ? gtk_root_get_focus(root) : nullptr;
  return focus && focus != view && gtk_widget_is_ancestor(focus, view);
}

void on_window_move_focus(GtkWidget*, GtkDirectionType direction, gpointer view) noexcept {
  if ((direction != GTK_DIR_TAB_FORWARD && direction != GTK_DIR_TAB_BACKWARD) || !holds_focus(GTK_WIDGET(view)))
    return;
  g_object_set_data(G_OBJECT(view), kLeavingKey, GINT_TO_POINTER(1));
  gtk_widget_set_can_focus(GTK_WIDGET(view), FALSE);
}

void on_window_moved_focus(GtkWidget*, GtkDirectionType, gpointer view) noexcept {
  if (!g_object_get_data(G_OBJECT(view), kLeavingKey)) return;
  g_object_set_data(G_OBJECT(view), kLeavingKey, nullptr);
  gtk_widget_set_can_focus(GTK_WIDGET(view), TRUE);
}

// Follows the focus moves of the window the view is in; the handlers go
// with the view.
void follow_window_focus(GtkWidget* view) {
  GtkRoot* root = gtk_widget_get_root(view);
  if (!root || g_object_get_data(G_OBJECT(view), "trellan-table-window") == root) return;
  g_object_set_data(G_OBJECT(view), "trellan-table-window", root);
  g_signal_connect_object(root, "move-focus", G_CALLBACK(on_window_move_focus), view, GConnectFlags{});
  g_signal_connect_object(root, "move-focus", G_CALLBACK(on_window_moved_focus), view, G_CONNECT_AFTER);
}

// A run waiting to be shown comes after the first frame the table is in.
void on_view_mapped(GtkWidget* view, gpointer data) noexcept {
  const StateRef& state = *static_cast<StateRef*>(data);
  follow_window_focus(view);
  if (state->is_waiting) after_paint(state);
  else state->catch_up();
}

// However many readings come between two frames, the table takes them in
// one change, at the frame.
void catch_up_at_next_frame(const StateRef& state) {
  IntervalTable::State& s = *state;
  if (s.catch_up_tick || !s.view || !gtk_widget_get_mapped(s.view.get())) return;
  s.catch_up_tick = gtk_widget_add_tick_callback(
      s.view.get(),
      [](GtkWidget*, GdkFrameClock*, gpointer data) noexcept -> gboolean {
        IntervalTable::State& s = state_of(data);
        s.catch_up_tick = 0;
        // A run waiting, or rows still joining a few a frame: the last
        // step takes the rest.
        if (!s.rest_after_paint && !s.rest_source) s.catch_up();
        return G_SOURCE_REMOVE;
      },
      new StateRef(state), [](gpointer data) { delete static_cast<StateRef*>(data); });
}

// Making a row of the table takes GTK about a third of a millisecond, and
// GTK makes one for each of the 200 items around the first in view (and a
// few more), in view or not, 4.18 as 4.8. Filling a row with other
// readings costs less (a place keeps its item and its row: GTK before 4.12
// binds it again, and the table fills it on later versions), and
// measuring it again still some. So an ended run that is chosen or opened
// shows its texts and chart in the next frame, its table hidden; once that
// frame is drawn, the table shows its readings in the rows it has, and the
// rows it lacks join a few a frame. The run shows at once and no frame
// waits long.
constexpr guint kRowsMade = 204;
constexpr guint kNewRowsPerFrame = 8;

void stop_waiting_for_paint(IntervalTable::State& s) {
  if (s.rest_after_paint) g_signal_handler_disconnect(s.rest_clock, std::exchange(s.rest_after_paint, 0ul));
  if (s.rest_clock) g_object_unref(std::exchange(s.rest_clock, nullptr));
}

// Shows `run` from its first kept reading, now.
void show_now(const StateRef& state, std::shared_ptr<const RunRecord> run) {
  IntervalTable::State& s = *state;
  // A live run is followed from its end; an ended one is read from the top.
  s.live = run && run->end == RunEnd::Running;
  // When the columns change, the old rows go first, so that no row is
  // given cells only to lose them again.
  const FilledColumns filled = run ? filled_columns(*run) : FilledColumns();
  if (IntervalTable::State::wanted_columns(run.get(), filled) != s.in_view) interval_list_show(s.list.get(), nullptr);
  s.show_filled_columns(run.get(), filled);
  const guint made = std::min(g_list_model_get_n_items(G_LIST_MODEL(s.list.get())), kRowsMade);
  const bool staged = run && !s.live && gtk_widget_get_mapped(s.view.get()) && run->intervals.size() > made;
  s.growing_to = kRowsMade;
  interval_list_show(s.list.get(), std::move(run), staged ? made : G_MAXUINT);
  fill_bound_cells(s);
  if (staged) after_paint(state);
  if (s.vadjustment && gtk_adjustment_get_value(s.vadjustment) != 0) gtk_adjustment_set_value(s.vadjustment, 0);
  s.follow = s.live;
}

// The next step once the coming frame is drawn: the run that waits, or
// more rows.
void next_step(const StateRef& state) {
  IntervalTable::State& s = *state;
  if (!s.view || !gtk_widget_get_mapped(s.view.get())) return;
  if (s.is_waiting) {
    s.is_waiting = false;
    gtk_widget_set_opacity(s.view.get(), 1.0);
    show_now(state, std::move(s.waiting));
    return;
  }
  const guint shown = g_list_model_get_n_items(G_LIST_MODEL(s.list.get()));
  if (shown + kNewRowsPerFrame < s.growing_to) {
    s.catch_up(kNewRowsPerFrame);
    after_paint(state);
  } else {
    s.catch_up();
  }
}

void after_paint(const StateRef& state) {
  IntervalTable::State& s = *state;
  if (s.rest_after_paint || s.rest_source) return;
  s.rest_clock = GDK_FRAME_CLOCK(g_object_ref(gtk_widget_get_frame_clock(s.view.get())));
  s.rest_after_paint = g_signal_connect_data(
      s.rest_clock, "after-paint",
      G_CALLBACK(+[](GdkFrameClock*, gpointer data) noexcept {
        const StateRef state = *static_cast<StateRef*>(data);  // the handler goes with the next line
        stop_waiting_for_paint(*state);
        // After the frame has gone out to the screen.
        state->rest_source = g_idle_add_full(
            G_PRIORITY_DEFAULT_IDLE,
            [](gpointer data) noexcept -> gboolean {
              const StateRef& state = *static_cast<StateRef*>(data);
              state->rest_source = 0;
              next_step(state);
              return G_SOURCE_REMOVE;
            },
            new StateRef(state), [](gpointer data) { delete static_cast<StateRef*>(data); });
      }),
      new StateRef(state), [](gpointer data, GClosure*) { delete static_cast<StateRef*>(data); }, GConnectFlags{});
  gtk_widget_queue_draw(s.view.get());
}

void on_frame_destroy(GtkWidget*, gpointer data) noexcept {
  IntervalTable::State& s = state_of(data);
  stop_waiting_for_paint(s);
  if (s.rest_source) g_source_remove(std::exchange(s.rest_source, 0u));
  if (s.follow_source) g_source_remove(std::exchange(s.follow_source, 0u));
  if (s.catch_up_tick) gtk_widget_remove_tick_callback(s.view.get(), std::exchange(s.catch_up_tick, 0u));
  s.vadjustment = nullptr;
  s.view.reset();
  // The columns' factories hold the state: they go with the view.
  s.bound.clear();
  for (auto& column : s.columns) column.reset();
}

void add_css_once() {
  static bool added = false;
  if (added || !gdk_display_get_default()) return;
  added = true;
  compat::add_display_css(kCss);
}

}  // namespace

IntervalTable::IntervalTable() : state_(std::make_shared<State>()) {
  State& s = *state_;
  add_css_once();
  s.list = Ref<TrellanIntervalList>::take(interval_list_new(true));
  GtkSelectionModel* model = GTK_SELECTION_MODEL(gtk_no_selection_new(G_LIST_MODEL(g_object_ref(s.list.get()))));
  // A table of rows and columns, which GTK would tell a screen reader is a
  // tree table.
  s.view = Ref<GtkWidget>::sink(GTK_WIDGET(g_object_new(GTK_TYPE_COLUMN_VIEW, "model", model, "accessible-role",
                                                        GTK_ACCESSIBLE_ROLE_GRID, nullptr)));
  g_object_unref(model);
  GtkColumnView* view = GTK_COLUMN_VIEW(s.view.get());
  gtk_column_view_set_show_column_separators(view, FALSE);
  gtk_widget_add_css_class(s.view.get(), "data-table");
  gtk_widget_add_css_class(s.view.get(), "intervals");
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    GtkListItemFactory* factory = gtk_signal_list_item_factory_new();
    g_signal_connect(factory, "setup", G_CALLBACK(on_cell_setup), nullptr);
    const int index = static_cast<int>(i);
    for (const auto& [signal, handler] : {std::pair{"bind", &on_cell_bind}, std::pair{"unbind", &on_cell_unbind}})
      g_signal_connect_data(factory, signal, G_CALLBACK(handler), new ColumnOf{state_, index},
                            [](gpointer d, GClosure*) { delete static_cast<ColumnOf*>(d); }, GConnectFlags{});
    GtkColumnViewColumn* column = gtk_column_view_column_new(kColumns[i], factory);
    gtk_column_view_column_set_resizable(column, TRUE);
    // The columns share a wide window's width between them.
    gtk_column_view_column_set_expand(column, TRUE);
    s.columns[i] = Ref<GtkColumnViewColumn>::take(column);
  }
  s.show_filled_columns(nullptr, FilledColumns());
  gtk_accessible_update_property(GTK_ACCESSIBLE(s.view.get()), GTK_ACCESSIBLE_PROPERTY_LABEL, "Intervals", -1);
  connect(s.view.get(), "map", on_view_mapped, state_);

  // Its scroll bars stay drawn: a narrow window shows only the first
  // columns, and an overlay bar would hide that the rest are there.
  GtkWidget* scrolled = GTK_WIDGET(g_object_new(GTK_TYPE_SCROLLED_WINDOW, "child", s.view.get(),
                                                "min-content-height", 240, "overlay-scrolling", FALSE,
                                                "vexpand", TRUE, nullptr));
  s.vadjustment = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scrolled));
  connect(s.vadjustment, "value-changed", on_scrolled, state_);
  connect(s.vadjustment, "notify::upper", on_upper_changed, state_);
  compat::name_scroll_bars(scrolled, "the table of readings");
  s.frame = Ref<GtkWidget>::sink(compat::plain_frame_new());
  gtk_frame_set_child(GTK_FRAME(s.frame.get()), scrolled);
  connect(s.frame.get(), "destroy", on_frame_destroy, state_);
}

IntervalTable::~IntervalTable() = default;

GtkWidget* IntervalTable::widget() const { return state_->frame.get(); }

void IntervalTable::show(std::shared_ptr<const RunRecord> run) {
  State& s = *state_;
  stop_waiting_for_paint(s);
  if (s.rest_source) g_source_remove(std::exchange(s.rest_source, 0u));
  const bool later = run && run->end != RunEnd::Running && s.view && run->intervals.size() > kNewRowsPerFrame;
  s.is_waiting = later;
  if (!later) {
    s.waiting.reset();
    if (s.view) gtk_widget_set_opacity(s.view.get(), 1.0);
    show_now(state_, std::move(run));
    return;
  }
  // The rows keep what they show until then, unseen. A table out of sight
  // waits for its first frame in sight.
  s.waiting = std::move(run);
  gtk_widget_set_opacity(s.view.get(), 0.0);
  if (gtk_widget_get_mapped(s.view.get())) after_paint(state_);
}

void IntervalTable::run_changed() { catch_up_at_next_frame(state_); }

}  // namespace trellan
