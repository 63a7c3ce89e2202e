// What a run leaves on screen: results and errors readable and selectable in
// both appearances and in wide windows, runs that end on screen whatever goes
// wrong, and the form's every field reaching iperf3's arguments.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ui/compat.hpp"
#include "fake_tool.hpp"
#include "gtk_helpers.hpp"
#include "ui/run_controls.hpp"
#include "ui/run_watch.hpp"
#include "process/runner.hpp"
#include "ui/wide_layout.hpp"
#include "window_fixture.hpp"

using namespace trellan;
using trellan::testing::FakeTool;
using trellan::testing::process_alive;
using trellan::testing::pump_for;
using trellan::testing::pump_until;
using trellan::testing::button_text;
using trellan::testing::click;
using Args = std::vector<std::string>;

namespace {

std::string text(GtkWidget* label) { return gtk_label_get_text(GTK_LABEL(label)); }
bool has_class(GtkWidget* w, const char* c) { return gtk_widget_has_css_class(w, c); }

struct ResultsFixture : trellan::testing::WindowFixture {
  void open() {
    WindowFixture::open();
    pump_until([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); });
  }
  void SetUp() override { open(); }
  void TearDown() override {
    close();
    adw_style_manager_set_color_scheme(adw_style_manager_get_default(), ADW_COLOR_SCHEME_DEFAULT);
  }
  void show_page(const char* name) {
    GtkWidget* stack = gtk_widget_get_ancestor(client->status_label.get(), ADW_TYPE_VIEW_STACK);
    adw_view_stack_set_visible_child_name(ADW_VIEW_STACK(stack), name);
  }
  // Resizes the window and lets it settle; returns the window's new width.
  int resize(int width, int height) {
    gtk_window_set_default_size(GTK_WINDOW(window), width, height);
    int last = -1;
    for (int settled = 0; settled < 3;) {
      pump_for(0.2);
      const int now = gtk_widget_get_width(GTK_WIDGET(window));
      settled = now == last ? settled + 1 : 0;
      last = now;
    }
    return last;
  }
};

// ---- contrast, measured on screenshots ---------------------------------------

double linear(int c) {
  const double v = c / 255.0;
  return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

// Relative luminance of a BGRA pixel, as WCAG defines it.
double luminance(const guchar* p) { return 0.2126 * linear(p[2]) + 0.7152 * linear(p[1]) + 0.0722 * linear(p[0]); }

double contrast(double a, double b) { return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05); }

// The contrast of a label's text in a screenshot of its window: the label's
// background is its most common colour, its text the colour furthest from it.
double text_contrast(const std::string& png, GtkWidget* window, GtkWidget* label) {
  graphene_rect_t r;
  if (!gtk_widget_compute_bounds(label, window, &r)) return 0;
  GError* error = nullptr;
  GdkTexture* texture = gdk_texture_new_from_filename(png.c_str(), &error);
  if (!texture) {
    g_error_free(error);
    return 0;
  }
  const int w = gdk_texture_get_width(texture), h = gdk_texture_get_height(texture);
  std::vector<guchar> pixels(static_cast<size_t>(w) * h * 4);
  gdk_texture_download(texture, pixels.data(), static_cast<gsize>(w) * 4);
  g_object_unref(texture);
  std::map<guint32, int> counts;
  std::vector<const guchar*> inside;
  for (int y = std::max(0, int(r.origin.y)); y < std::min(h, int(r.origin.y + r.size.height)); ++y)
    for (int x = std::max(0, int(r.origin.x)); x < std::min(w, int(r.origin.x + r.size.width)); ++x) {
      const guchar* p = &pixels[(static_cast<size_t>(y) * w + x) * 4];
      ++counts[p[0] | p[1] << 8 | p[2] << 16];
      inside.push_back(p);
    }
  if (inside.empty()) return 0;
  guint32 background = 0;
  int most = 0;
  for (auto [colour, n] : counts)
    if (n > most) most = n, background = colour;
  const guchar bg[3] = {guchar(background), guchar(background >> 8), guchar(background >> 16)};
  double best = 1;
  for (const guchar* p : inside) best = std::max(best, contrast(luminance(p), luminance(bg)));
  return best;
}

// iperf3 3.12, a plain TCP test: the client's result with retransmits.
const char* kResultRun = R"(
echo '[  5]   0.00-1.00   sec  1.05 GBytes  8.98 Gbits/sec    5   3.37 MBytes'
echo '[  5]   0.00-3.00   sec  2.85 GBytes  9.44 Gbits/sec   27             sender'
echo '[  5]   0.00-3.00   sec  2.84 GBytes  9.41 Gbits/sec                  receiver'
)";

}  // namespace

TEST_F(ResultsFixture, ResultsAndErrorsReachFourAndAHalfToOneInLightAndDark) {
  struct Shown {
    const char* state;
    const char* script;
    bool server;
  } states[] = {
      {"result", kResultRun, false},
      {"error", "echo 'iperf3: error - unable to connect to server: Connection refused' >&2; exit 1", false},
      {"client-ended-early",
       "echo 'Accepted connection from 127.0.0.1, port 41508';"
       "echo '[  5]   0.00-2.00   sec  3.17 GBytes  13.6 Gbits/sec                  receiver';"
       "sleep 0.2; echo 'iperf3: the client has terminated' >&2; sleep 0.2;"
       "echo 'Server listening on 5201 (test #2)'; sleep 30",
       true},
  };
  const std::pair<AdwColorScheme, const char*> schemes[] = {{ADW_COLOR_SCHEME_FORCE_LIGHT, "light"},
                                                            {ADW_COLOR_SCHEME_FORCE_DARK, "dark"}};
  for (const auto& [scheme, scheme_name] : schemes) {
    adw_style_manager_set_color_scheme(adw_style_manager_get_default(), scheme);
    for (const Shown& s : states) {
      SCOPED_TRACE(std::string(s.state) + ", " + scheme_name);
      FakeTool tool(s.script);
      GtkWidget* status = s.server ? server->status_label.get() : client->status_label.get();
      GtkWidget* details = s.server ? server->details_label.get() : client->details_label.get();
      show_page(s.server ? "server" : "client");
      click(s.server ? server->start_button.get() : client->start_button.get());
      if (s.server) {
        ASSERT_TRUE(pump_until([&] { return text(status) == "Waiting for client connections…"; }));
        EXPECT_TRUE(has_class(status, "dim-label")) << "progress stays dimmed";
      } else {
        ASSERT_TRUE(pump_until([&] { return client_idle(); }));
      }
      pump_for(0.3);
      const std::string png = trellan::testing::shot_path(std::string("contrast-") + s.state + "-" + scheme_name + ".png");
      ASSERT_TRUE(trellan::testing::save_window_png(GTK_WIDGET(window), png));
      std::vector<GtkWidget*> measured;
      if (!s.server) measured.push_back(status);
      if (gtk_widget_get_visible(details)) measured.push_back(details);
      for (GtkWidget* label : measured) {
        const double ratio = text_contrast(png, GTK_WIDGET(window), label);
        std::printf("contrast %-18s %-5s %-7s %5.2f:1  \"%s\"\n", s.state, scheme_name,
                    label == status ? "status" : "details", ratio, text(label).c_str());
        EXPECT_GE(ratio, 4.5) << text(label);
        EXPECT_FALSE(has_class(label, "dim-label")) << text(label);
      }
      if (s.server) click(server->start_button.get());
    }
  }
  // A progress text keeps its dimmed look, for contrast with what it ends in.
  FakeTool tool("sleep 30");
  click(client->start_button.get());
  EXPECT_EQ(text(client->status_label.get()), "Connecting…");
  EXPECT_TRUE(has_class(client->status_label.get(), "dim-label"));
  click(client->start_button.get());
}

// ---- selecting and copying, and the keyboard path through the page ----------

TEST_F(ResultsFixture, StatusAndDetailsCanBeSelectedAndCopiedWithoutTakingTheFocusOrTheTabPath) {
  // The window opens with the focus where it had it before the labels could
  // be selected: on the page switcher (libadwaita 1.2) or in the server row.
  ASSERT_TRUE(pump_until([&] { return gtk_window_get_focus(GTK_WINDOW(window)) != nullptr; }, 2));
  GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(window));
  EXPECT_TRUE(gtk_widget_get_ancestor(focus, ADW_TYPE_VIEW_SWITCHER) ||
              gtk_widget_is_ancestor(focus, client->server_row.get()))
      << G_OBJECT_TYPE_NAME(focus);

  FakeTool tool(kResultRun);
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
  for (GtkWidget* label : {client->status_label.get(), client->details_label.get(),
                           server->status_label.get(), server->details_label.get()})
    EXPECT_TRUE(gtk_label_get_selectable(GTK_LABEL(label)));

  // What Ctrl+C does in a label: copy the selection to the clipboard.
  GtkWidget* status = client->status_label.get();
  gtk_widget_grab_focus(status);
  gtk_label_select_region(GTK_LABEL(status), 0, -1);
  ASSERT_TRUE(gtk_widget_activate_action(status, "clipboard.copy", nullptr));
  std::string copied;
  bool done = false;
  struct Read { std::string* text; bool* done; } read{&copied, &done};
  gdk_clipboard_read_text_async(gtk_widget_get_clipboard(status), nullptr,
                                +[](GObject* source, GAsyncResult* result, gpointer data) {
                                  auto* r = static_cast<Read*>(data);
                                  char* t = gdk_clipboard_read_text_finish(GDK_CLIPBOARD(source), result, nullptr);
                                  *r->text = t ? t : "";
                                  g_free(t);
                                  *r->done = true;
                                },
                                &read);
  ASSERT_TRUE(pump_until([&] { return done; }, 5));
  EXPECT_EQ(copied, "Result — send: 9.44 Gbit/s · receive: 9.41 Gbit/s");

  // Tab from the top reaches every field of the page and its button.
  GtkWidget* expander = gtk_widget_get_ancestor(client->bind_row.get(), ADW_TYPE_EXPANDER_ROW);
  adw_expander_row_set_expanded(ADW_EXPANDER_ROW(expander), TRUE);
  // Its rows take the focus once they are revealed, which a busy machine
  // takes its time over.
  GtkWidget* revealer = gtk_widget_get_ancestor(client->bind_row.get(), GTK_TYPE_REVEALER);
  ASSERT_NE(revealer, nullptr);
  ASSERT_TRUE(pump_until([&] { return gtk_revealer_get_child_revealed(GTK_REVEALER(revealer)); }, 10));
  std::vector<GtkWidget*> wanted = {
      client->server_row.get(), client->port_row.get(), client->duration_row.get(),
      client->parallel_row.get(), client->reverse_row.get(), client->bidir_row.get(),
      client->udp_row.get(), client->bitrate_row.get(), client->omit_row.get(),
      client->latency_row.get(), client->ip_version_row.get(), client->bind_row.get(), client->window_row.get(),
      client->buffer_length_row.get(), client->mss_row.get(), client->congestion_row.get(),
      client->no_delay_row.get(), client->zero_copy_row.get(), client->start_button.get()};
  std::vector<bool> reached(wanted.size(), false);
  // Keys reach only an active window, and Tab follows the fields' places on
  // screen: the window is brought forward and laid out first.
  gtk_window_present(GTK_WINDOW(window));
  ASSERT_TRUE(pump_until([&] {
    return gtk_window_is_active(GTK_WINDOW(window)) && gtk_widget_get_height(client->bind_row.get()) > 0;
  }, 10));
  gtk_window_set_focus(GTK_WINDOW(window), nullptr);
  for (int step = 0; step < 200; ++step) {
    g_signal_emit_by_name(window, "move-focus", GTK_DIR_TAB_FORWARD);  // what Tab does
    GtkWidget* f = gtk_window_get_focus(GTK_WINDOW(window));
    for (size_t i = 0; f && i < wanted.size(); ++i)
      if (f == wanted[i] || gtk_widget_is_ancestor(f, wanted[i])) reached[i] = true;
  }
  for (size_t i = 0; i < wanted.size(); ++i) EXPECT_TRUE(reached[i]) << "Tab never reached field " << i;
}

// ---- wide windows -------------------------------------------------------------

TEST_F(ResultsFixture, WideWindowsPutTheFormBesideALargerGaugeAndResult) {
  GtkWidget* form = gtk_widget_get_ancestor(client->server_row.get(), GTK_TYPE_SCROLLED_WINDOW);
  GtkWidget* gauge = client->meter.widget();
  GtkWidget* status = client->status_label.get();
  auto bounds = [&](GtkWidget* w) {
    graphene_rect_t r{};
    EXPECT_TRUE(gtk_widget_compute_bounds(w, GTK_WIDGET(window), &r));
    return r;
  };
  FakeTool tool(kResultRun);
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));

  resize(560, 680);
  const graphene_rect_t narrow_gauge = bounds(gauge), narrow_status = bounds(status);
  EXPECT_GE(bounds(gauge).origin.y, bounds(form).origin.y + bounds(form).size.height) << "gauge below the form";

  // Xvfb's screen here is 1280 wide; a window is a few pixels narrower than
  // the size it is given.
  for (int width : {1200, 880}) {
    SCOPED_TRACE(width);
    ASSERT_GE(resize(width, 1000), 860);
    const graphene_rect_t f = bounds(form), g = bounds(gauge);
    EXPECT_LE(f.origin.x + f.size.width, g.origin.x) << "form left of the gauge";
    EXPECT_LT(g.origin.y, f.origin.y + f.size.height / 2) << "gauge at the top, beside the form";
    EXPECT_GT(g.size.height, 1.5 * narrow_gauge.size.height) << "the gauge grows";
    EXPECT_GT(bounds(status).size.height, 1.3 * narrow_status.size.height) << "the result grows with it";
    EXPECT_TRUE(gtk_widget_get_mapped(client->start_button.get()));
  }
  for (auto [scheme, name] : {std::pair{ADW_COLOR_SCHEME_FORCE_LIGHT, "light"}, std::pair{ADW_COLOR_SCHEME_FORCE_DARK, "dark"}}) {
    resize(1200, 1000);
    adw_style_manager_set_color_scheme(adw_style_manager_get_default(), scheme);
    pump_for(0.5);
    EXPECT_TRUE(trellan::testing::save_window_png(
        GTK_WIDGET(window), trellan::testing::shot_path(std::string("wide-result-") + name + ".png")));
  }
  ASSERT_LT(resize(845, 1000), 860);
  EXPECT_GE(bounds(gauge).origin.y, bounds(form).origin.y + bounds(form).size.height)
      << "below 860 px the layout is the narrow one again";
  resize(560, 680);
  EXPECT_EQ(bounds(gauge).size.height, narrow_gauge.size.height);
  EXPECT_EQ(bounds(status).size.height, narrow_status.size.height);
  EXPECT_TRUE(has_class(client->details_label.get(), "caption"));
}

// ---- every run ends on screen --------------------------------------------------

namespace {

const char* kEndless = R"(
i=0
while true; do
  echo "[  5]   $i.00-$((i+1)).00   sec  1.00 MBytes   100 Mbits/sec"
  i=$((i+1)); sleep 0.05
done
)";

bool gone(int pid) { return !g_file_test(("/proc/" + std::to_string(pid)).c_str(), G_FILE_TEST_EXISTS); }

}  // namespace

TEST_F(ResultsFixture, EveryRunEndsOnScreenAndLeavesNoIperf3Behind) {
  auto expect_idle_with = [&](const std::string& message, int pid) {
    ASSERT_TRUE(pump_until([&] { return client_idle(); }, 5)) << message;
    EXPECT_EQ(text(client->status_label.get()), message);
    EXPECT_TRUE(has_class(client->status_label.get(), "error"));
    EXPECT_FALSE(client->run_slot->handle.has_value());
    EXPECT_EQ(client->meter.peak(), 0.0);
    EXPECT_TRUE(pump_until([&] { return gone(pid); }, 5)) << "iperf3 was left behind";
  };
  {
    SCOPED_TRACE("an exception while an event is applied");
    FakeTool tool(kEndless);
    click(client->start_button.get());
    ASSERT_TRUE(pump_until([&] { return text(client->status_label.get()).starts_with("Measuring…"); }));
    detail::fail_next_event_delivery();
    expect_idle_with("The run was stopped: one of its events could not be shown.", tool.pids().at(0));
  }
  {
    SCOPED_TRACE("a failed wait for the child");
    FakeTool tool(kResultRun);
    detail::fail_next_wait();
    click(client->start_button.get());
    ASSERT_TRUE(pump_until([&] { return !tool.pids().empty(); }));
    expect_idle_with("iperf3 ended; its exit status could not be read.", tool.pids().at(0));
  }
  {
    SCOPED_TRACE("an exception while iperf3's output is read");
    FakeTool tool(kEndless);
    detail::fail_next_output_line();
    click(client->start_button.get());
    ASSERT_TRUE(pump_until([&] { return !tool.pids().empty(); }));
    expect_idle_with("Reading iperf3's output failed: std::bad_alloc", tool.pids().at(0));
  }
  {
    SCOPED_TRACE("a channel that closes without Exited");
    FakeTool tool(kEndless);
    auto [handle, rx] = start_iperf({}, false);
    auto session = std::make_shared<RunSession>(RunSetup{});
    const std::uint64_t id = install_run(*client->run_slot, std::move(handle), session);
    show_answer(PageWidgets{client->meter, client->status_label, client->details_label, client->start_button},
                *client->run_slot, session->start());
    ASSERT_TRUE(pump_until([&] { return !tool.pids().empty(); }));
    watch_run(EventReceiver{},
              PageWidgets{client->meter, client->status_label, client->details_label, client->start_button},
              client->run_slot, id);
    expect_idle_with("The run was stopped: its events stopped arriving.", tool.pids().at(0));
  }
}

// ---- the form's fields, one at a time, into iperf3's arguments -----------------

namespace {

// Sets a row through its widget: "on" turns a switch on, a combo row takes
// the position, an entry row the text and a spin row the number.
void set_field(GtkWidget* row, const std::string& value) {
  if (ADW_IS_COMBO_ROW(row))
    adw_combo_row_set_selected(ADW_COMBO_ROW(row), static_cast<unsigned>(std::stoi(value)));
  else if (ADW_IS_ENTRY_ROW(row))
    gtk_editable_set_text(GTK_EDITABLE(row), value.c_str());
  else if (value == "on")
    compat::switch_row_set_active(row, true);
  else
    compat::spin_row_set_value(row, std::stod(value));
}

using RowOf = GtkWidget* (*)(const ClientForm*, const ServerForm*);

}  // namespace

TEST_F(ResultsFixture, EachFieldReachesItsOwnArguments) {
  const Args c = {"-c", "127.0.0.1", "-p", "5201", "-t", "10", "-i", "1", "--forceflush"};
  const Args s = {"-s", "-p", "5201", "-i", "1", "--forceflush"};
  auto plus = [](Args a, const Args& more) {
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  struct Row {
    RowOf row;
    const char* value;
    Args args;  // what the tool receives
  } rows[] = {
      {[](auto f, auto) { return f->server_row.get(); }, "192.0.2.7",
       {"-c", "192.0.2.7", "-p", "5201", "-t", "10", "-i", "1", "--forceflush"}},
      {[](auto f, auto) { return f->port_row.get(); }, "6001",
       {"-c", "127.0.0.1", "-p", "6001", "-t", "10", "-i", "1", "--forceflush"}},
      {[](auto f, auto) { return f->duration_row.get(); }, "7",
       {"-c", "127.0.0.1", "-p", "5201", "-t", "7", "-i", "1", "--forceflush"}},
      {[](auto f, auto) { return f->parallel_row.get(); }, "3", plus(c, {"-P", "3"})},
      {[](auto f, auto) { return f->reverse_row.get(); }, "on", plus(c, {"-R"})},
      {[](auto f, auto) { return f->bidir_row.get(); }, "on", plus(c, {"--bidir"})},
      {[](auto f, auto) { return f->udp_row.get(); }, "on", plus(c, {"-u", "-b", "0"})},
      {[](auto f, auto) { return f->bitrate_row.get(); }, "50M", plus(c, {"-b", "50M"})},
      {[](auto f, auto) { return f->omit_row.get(); }, "2", plus(c, {"-O", "2"})},
      {[](auto f, auto) { return f->ip_version_row.get(); }, "2", plus(c, {"-6"})},
      {[](auto f, auto) { return f->bind_row.get(); }, "127.0.0.2", plus(c, {"-B", "127.0.0.2"})},
      {[](auto f, auto) { return f->window_row.get(); }, "256K", plus(c, {"-w", "256K"})},
      {[](auto f, auto) { return f->buffer_length_row.get(); }, "128K", plus(c, {"-l", "128K"})},
      {[](auto f, auto) { return f->mss_row.get(); }, "1400", plus(c, {"-M", "1400"})},
      {[](auto f, auto) { return f->congestion_row.get(); }, "reno", plus(c, {"-C", "reno"})},
      {[](auto f, auto) { return f->no_delay_row.get(); }, "on", plus(c, {"-N"})},
      {[](auto f, auto) { return f->zero_copy_row.get(); }, "on", plus(c, {"-Z"})},
      {[](auto, auto f) { return f->listen_port_row.get(); }, "6002",
       {"-s", "-p", "6002", "-i", "1", "--forceflush"}},
      {[](auto, auto f) { return f->bind_row.get(); }, "127.0.0.3", plus(s, {"-B", "127.0.0.3"})},
      {[](auto, auto f) { return f->one_off_row.get(); }, "on", plus(s, {"-1"})},
  };
  // Each row in a new window, so that every other field keeps its initial
  // value; the arguments are those the started tool received.
  for (const Row& row : rows) {
    close();
    open();
    GtkWidget* widget = row.row(client, server);
    SCOPED_TRACE(adw_preferences_row_get_title(ADW_PREFERENCES_ROW(widget)));
    GtkWidget* server_page = gtk_widget_get_parent(gtk_widget_get_parent(server->start_button.get()));
    GtkWidget* button = gtk_widget_is_ancestor(widget, server_page) ? server->start_button.get()
                                                                    : client->start_button.get();
    FakeTool tool("exit 0");
    set_field(widget, row.value);
    click(button);
    ASSERT_TRUE(pump_until([&] { return !tool.pids().empty() && !tool.args().empty(); }));
    EXPECT_EQ(tool.args(), row.args);
    pump_until([&] { return button_text(button).starts_with("Start"); });
  }
}

TRELLAN_GTK_TEST_MAIN()
