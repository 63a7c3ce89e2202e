// The main window as a user meets it: pages, rows, texts, sizes, looks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ui/compat.hpp"
#include "gtk_helpers.hpp"
#include "ui/window.hpp"

using namespace trellan;
using trellan::testing::pump_until;
using trellan::testing::test_application;

namespace {

struct WindowFixture : ::testing::Test {
  AdwApplicationWindow* window = nullptr;
  const ClientForm* client = nullptr;
  const ServerForm* server = nullptr;

  void SetUp() override {
    window = build_main_window(test_application());
    client = client_form_of(window);
    server = server_form_of(window);
    ASSERT_NE(client, nullptr);
    ASSERT_NE(server, nullptr);
  }
  void TearDown() override {
    gtk_window_destroy(GTK_WINDOW(window));
    pump_until([] { return !g_main_context_pending(nullptr); }, 2);
  }
};

std::string title_of(GtkWidget* row) { return adw_preferences_row_get_title(ADW_PREFERENCES_ROW(row)); }

std::string subtitle_of(GtkWidget* row) {
  const char* s = adw_action_row_get_subtitle(ADW_ACTION_ROW(row));
  return s ? s : "";
}

std::string tooltip_of(GtkWidget* row) {
  const char* s = gtk_widget_get_tooltip_text(row);
  return s ? s : "";
}

std::string text_of(GtkWidget* row) { return gtk_editable_get_text(GTK_EDITABLE(row)); }

std::string group_title_of(GtkWidget* row) {
  GtkWidget* g = gtk_widget_get_ancestor(row, ADW_TYPE_PREFERENCES_GROUP);
  if (!g) return "<no group>";
  const char* t = adw_preferences_group_get_title(ADW_PREFERENCES_GROUP(g));
  return t ? t : "";
}

struct SpinExpect {
  GtkWidget* row;
  const char* title;
  double min, max, initial;
};

void expect_spin(const SpinExpect& e) {
  SCOPED_TRACE(e.title);
  EXPECT_EQ(title_of(e.row), e.title);
  double min = 0, max = 0;
  compat::spin_row_get_range(e.row, &min, &max);
  EXPECT_EQ(min, e.min);
  EXPECT_EQ(max, e.max);
  EXPECT_EQ(compat::spin_row_get_value(e.row), e.initial);
  // The range holds whatever is typed in: values clamp at both ends.
  compat::spin_row_set_value(e.row, e.max + 1000);
  EXPECT_EQ(compat::spin_row_get_value(e.row), e.max);
  compat::spin_row_set_value(e.row, e.min - 1000);
  EXPECT_EQ(compat::spin_row_get_value(e.row), e.min);
  compat::spin_row_set_value(e.row, e.initial);
}

void expect_switch(GtkWidget* row, const char* title, const char* subtitle) {
  SCOPED_TRACE(title);
  EXPECT_EQ(title_of(row), title);
  EXPECT_EQ(subtitle_of(row), subtitle);
  EXPECT_FALSE(compat::switch_row_get_active(row));
}

void expect_entry(GtkWidget* row, const char* title, const char* tooltip, const char* text = "") {
  SCOPED_TRACE(title);
  EXPECT_TRUE(ADW_IS_ENTRY_ROW(row));
  EXPECT_EQ(title_of(row), title);
  EXPECT_EQ(tooltip_of(row), tooltip);
  EXPECT_EQ(text_of(row), text);
}

std::vector<GtkWidget*> children_of(GtkWidget* w) {
  std::vector<GtkWidget*> out;
  for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c))
    out.push_back(c);
  return out;
}

// Depth-first search for the first widget of a type below `root`.
GtkWidget* find_descendant(GtkWidget* root, GType type) {
  if (G_TYPE_CHECK_INSTANCE_TYPE(root, type)) return root;
  for (GtkWidget* c : children_of(root))
    if (GtkWidget* found = find_descendant(c, type)) return found;
  return nullptr;
}

std::vector<std::string> css_classes(GtkWidget* w) {
  std::vector<std::string> out;
  char** classes = gtk_widget_get_css_classes(w);
  for (char** c = classes; *c; ++c) out.emplace_back(*c);
  g_strfreev(classes);
  return out;
}

}  // namespace

TEST_F(WindowFixture, ClientConnectionAndTestRowsHaveTheirTextsRangesAndInitialValues) {
  expect_entry(client->server_row.get(), "Server (host or IP)", "", "127.0.0.1");
  expect_spin({client->port_row.get(), "Port", 1, 65535, 5201});
  expect_spin({client->duration_row.get(), "Duration (s)", 1, 86400, 10});
  expect_spin({client->parallel_row.get(), "Parallel streams", 1, 128, 1});
  expect_switch(client->reverse_row.get(), "Download mode (reverse)", "Server sends to this machine");
  expect_switch(client->bidir_row.get(), "Bidirectional",
                "Measure both directions at once (overrides reverse)");
  expect_switch(client->udp_row.get(), "UDP", "Use UDP instead of TCP");
  expect_entry(client->bitrate_row.get(), "Target bitrate",
               "e.g. 100M, 1G. Empty = unlimited (TCP). UDP defaults to unlimited.");
  expect_spin({client->omit_row.get(), "Omit first seconds", 0, 60, 0});
  EXPECT_EQ(group_title_of(client->server_row.get()), "Connection");
  EXPECT_EQ(group_title_of(client->duration_row.get()), "Connection");
  EXPECT_EQ(group_title_of(client->parallel_row.get()), "Test");
  EXPECT_EQ(group_title_of(client->omit_row.get()), "Test");
}

TEST_F(WindowFixture, AdvancedOptionsSitInACollapsedExpanderWithTheirTexts) {
  GtkWidget* expander = gtk_widget_get_ancestor(client->mss_row.get(), ADW_TYPE_EXPANDER_ROW);
  ASSERT_NE(expander, nullptr);
  EXPECT_EQ(title_of(expander), "Advanced options");
  EXPECT_STREQ(adw_expander_row_get_subtitle(ADW_EXPANDER_ROW(expander)), "Binding, buffers, TCP tuning");
  EXPECT_FALSE(adw_expander_row_get_expanded(ADW_EXPANDER_ROW(expander)));
  EXPECT_FALSE(adw_expander_row_get_show_enable_switch(ADW_EXPANDER_ROW(expander)));
  EXPECT_EQ(group_title_of(expander), "");

  GtkWidget* combo = client->ip_version_row.get();
  EXPECT_EQ(title_of(combo), "IP version");
  GListModel* model = adw_combo_row_get_model(ADW_COMBO_ROW(combo));
  ASSERT_EQ(g_list_model_get_n_items(model), 3u);
  const char* items[] = {"Automatic", "IPv4 only", "IPv6 only"};
  for (guint i = 0; i < 3; ++i)
    EXPECT_STREQ(gtk_string_list_get_string(GTK_STRING_LIST(model), i), items[i]);
  EXPECT_EQ(adw_combo_row_get_selected(ADW_COMBO_ROW(combo)), 0u);

  expect_entry(client->bind_row.get(), "Bind to local address", "Local interface/address to bind (-B)");
  expect_entry(client->window_row.get(), "TCP window / socket buffer", "e.g. 256K (-w)");
  expect_entry(client->buffer_length_row.get(), "Buffer length", "Read/write buffer size, e.g. 128K (-l)");
  expect_spin({client->mss_row.get(), "Max segment size (MSS)", 0, 9000, 0});
  expect_entry(client->congestion_row.get(), "Congestion algorithm", "TCP only, e.g. cubic, bbr (-C)");
  expect_switch(client->no_delay_row.get(), "No delay", "Disable Nagle's algorithm (-N)");
  expect_switch(client->zero_copy_row.get(), "Zero-copy", "Use a zero-copy send method (-Z)");

  // All eight rows belong to the expander, in this order.
  GtkWidget* rows[] = {client->ip_version_row.get(), client->bind_row.get(), client->window_row.get(),
                       client->buffer_length_row.get(), client->mss_row.get(), client->congestion_row.get(),
                       client->no_delay_row.get(), client->zero_copy_row.get()};
  for (size_t i = 0; i + 1 < std::size(rows); ++i) {
    EXPECT_EQ(gtk_widget_get_ancestor(rows[i], ADW_TYPE_EXPANDER_ROW), expander);
    EXPECT_EQ(gtk_widget_get_next_sibling(rows[i]), rows[i + 1]);
  }
}

TEST_F(WindowFixture, FormGroupsAppearInOrderInsideAVerticallyScrollingBox) {
  GtkWidget* connection = gtk_widget_get_ancestor(client->server_row.get(), ADW_TYPE_PREFERENCES_GROUP);
  GtkWidget* form = gtk_widget_get_parent(connection);
  ASSERT_TRUE(GTK_IS_BOX(form));
  auto groups = children_of(form);
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0], connection);
  EXPECT_EQ(adw_preferences_group_get_title(ADW_PREFERENCES_GROUP(groups[1])), std::string("Test"));
  EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(form)), 12);
  EXPECT_EQ(gtk_widget_get_margin_top(form), 16);

  GtkWidget* scrolled = gtk_widget_get_ancestor(form, GTK_TYPE_SCROLLED_WINDOW);
  ASSERT_NE(scrolled, nullptr);
  GtkPolicyType h, v;
  gtk_scrolled_window_get_policy(GTK_SCROLLED_WINDOW(scrolled), &h, &v);
  EXPECT_EQ(h, GTK_POLICY_NEVER);
  EXPECT_EQ(v, GTK_POLICY_AUTOMATIC);
  // The gauge, label and button are outside the scrolled form.
  EXPECT_EQ(gtk_widget_get_ancestor(client->status_label.get(), GTK_TYPE_SCROLLED_WINDOW), nullptr);
  EXPECT_EQ(gtk_widget_get_ancestor(client->meter.widget(), GTK_TYPE_SCROLLED_WINDOW), nullptr);
  GtkWidget* frame = gtk_widget_get_parent(client->meter.widget());
  ASSERT_TRUE(GTK_IS_FRAME(frame));
  EXPECT_TRUE(gtk_widget_has_css_class(frame, "card"));
  EXPECT_EQ(gtk_frame_get_label(GTK_FRAME(frame)), nullptr);
}

TEST_F(WindowFixture, ServerPageHasItsOwnRowsAndSeparateBindRow) {
  expect_spin({server->listen_port_row.get(), "Listen port", 1, 65535, 5201});
  expect_entry(server->bind_row.get(), "Bind to local address", "Local interface/address to listen on (-B)");
  expect_switch(server->one_off_row.get(), "One-off", "Serve a single client then exit (-1)");
  EXPECT_EQ(group_title_of(server->listen_port_row.get()), "Server");
  EXPECT_NE(server->bind_row.get(), client->bind_row.get());
  EXPECT_NE(server->run_slot, client->run_slot);
  EXPECT_FALSE(server->run_slot->handle.has_value());
  EXPECT_FALSE(client->run_slot->handle.has_value());
}

TEST_F(WindowFixture, StatusLabelsAndStartButtonsStartIdle) {
  struct {
    GtkWidget* label;
    GtkWidget* button;
    const char* status;
    const char* text;
  } pages[] = {{client->status_label.get(), client->start_button.get(), "Ready.", "Start test"},
               {server->status_label.get(), server->start_button.get(), "Stopped.", "Start server"}};
  for (const auto& p : pages) {
    SCOPED_TRACE(p.text);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(p.label)), p.status);
    EXPECT_TRUE(gtk_widget_has_css_class(p.label, "dim-label"));
    EXPECT_TRUE(gtk_label_get_wrap(GTK_LABEL(p.label)));
    EXPECT_EQ(gtk_label_get_xalign(GTK_LABEL(p.label)), 0.0f);
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(p.button)), p.text);
    auto classes = css_classes(p.button);
    auto suggested = std::find(classes.begin(), classes.end(), "suggested-action");
    auto pill = std::find(classes.begin(), classes.end(), "pill");
    ASSERT_NE(suggested, classes.end());
    ASSERT_NE(pill, classes.end());
    EXPECT_LT(suggested, pill);
    EXPECT_EQ(gtk_widget_get_halign(p.button), GTK_ALIGN_CENTER);
  }
}

// Every property change of a label or button is a message on the
// accessibility bus: a run that repeats a text must not repeat the message.
TEST_F(WindowFixture, ATextOrLookThatStaysTheSameNotifiesNothing) {
  GtkWidget* status = client->status_label.get();
  GtkWidget* details = client->details_label.get();
  GtkWidget* button = client->start_button.get();
  int notified = 0;
  auto count = +[](GObject*, GParamSpec*, gpointer n) { ++*static_cast<int*>(n); };
  for (GtkWidget* w : {status, details, button}) g_signal_connect(w, "notify", G_CALLBACK(count), &notified);

  // What a run's session answers for each reading: the same look, a new
  // rate in the status, the same details.
  const PageWidgets page{client->meter, client->status_label, client->details_label, client->start_button};
  RunSlot slot;
  PageAnswer answer;
  answer.look = &kClientRunning;
  answer.status = StatusLine{"Measuring… 9.02 Gbit/s", StatusKind::Progress};
  answer.details = DetailsLine{"Retransmits: 0", true};
  show_answer(page, slot, answer);
  ASSERT_GT(notified, 0);  // the counter sees real changes
  notified = 0;
  show_answer(page, slot, answer);
  EXPECT_EQ(notified, 0);
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(button)), "Stop");
  EXPECT_TRUE(gtk_widget_has_css_class(status, "dim-label"));
  EXPECT_FALSE(gtk_widget_has_css_class(details, "dim-label"));

  for (GtkWidget* w : {status, details, button}) g_signal_handlers_disconnect_by_data(w, &notified);
}

TEST_F(WindowFixture, WindowHasItsTitleSizesAndThreePagesWithClientFirst) {
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "iperf3");
  int w = 0, h = 0;
  gtk_window_get_default_size(GTK_WINDOW(window), &w, &h);
  EXPECT_EQ(w, 560);
  EXPECT_EQ(h, 680);
  gtk_widget_get_size_request(GTK_WIDGET(window), &w, &h);
  EXPECT_EQ(w, 400);
  EXPECT_EQ(h, 560);
  EXPECT_EQ(gtk_window_get_application(GTK_WINDOW(window)), GTK_APPLICATION(test_application()));

  GtkWidget* stack = gtk_widget_get_ancestor(client->status_label.get(), ADW_TYPE_VIEW_STACK);
  ASSERT_NE(stack, nullptr);
  EXPECT_STREQ(adw_view_stack_get_visible_child_name(ADW_VIEW_STACK(stack)), "client");
  struct { GtkWidget* inside; const char *name, *title, *icon; } pages[] = {
      {client->status_label.get(), "client", "Client", "network-transmit-symbolic"},
      {server->status_label.get(), "server", "Server", "network-server-symbolic"},
      {nullptr, "runs", "Runs", "document-open-recent-symbolic"}};
  for (const auto& p : pages) {
    GtkWidget* child = adw_view_stack_get_child_by_name(ADW_VIEW_STACK(stack), p.name);
    ASSERT_NE(child, nullptr);
    if (p.inside) {
      EXPECT_TRUE(gtk_widget_is_ancestor(p.inside, child));
    }
    AdwViewStackPage* page = adw_view_stack_get_page(ADW_VIEW_STACK(stack), child);
    EXPECT_STREQ(adw_view_stack_page_get_title(page), p.title);
    EXPECT_STREQ(adw_view_stack_page_get_icon_name(page), p.icon);
  }
  EXPECT_EQ(g_list_model_get_n_items(G_LIST_MODEL(adw_view_stack_get_pages(ADW_VIEW_STACK(stack)))), 3u)
      << "exactly three pages";
}

TEST_F(WindowFixture, PageSwitchingStaysInTheHeaderBarAtEveryWidth) {
  GtkWidget* root = GTK_WIDGET(window);
  GtkWidget* header = find_descendant(root, ADW_TYPE_HEADER_BAR);
  ASSERT_NE(header, nullptr);
  GtkWidget* switcher = adw_header_bar_get_title_widget(ADW_HEADER_BAR(header));
  ASSERT_TRUE(ADW_IS_VIEW_SWITCHER(switcher));
  EXPECT_EQ(adw_view_switcher_get_policy(ADW_VIEW_SWITCHER(switcher)), ADW_VIEW_SWITCHER_POLICY_WIDE);
  GtkWidget* bar = find_descendant(root, ADW_TYPE_VIEW_SWITCHER_BAR);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(adw_view_switcher_bar_get_stack(ADW_VIEW_SWITCHER_BAR(bar)),
            adw_view_switcher_get_stack(ADW_VIEW_SWITCHER(switcher)));

  for (int width : {400, 560, 1200}) {
    gtk_window_set_default_size(GTK_WINDOW(window), width, 600);
    gtk_window_present(GTK_WINDOW(window));
    pump_until([&] { return gtk_widget_get_mapped(root) && gtk_widget_get_width(root) > 0; });
    trellan::testing::pump_for(0.2);
    SCOPED_TRACE(width);
    EXPECT_FALSE(adw_view_switcher_bar_get_reveal(ADW_VIEW_SWITCHER_BAR(bar)));
    EXPECT_TRUE(gtk_widget_get_mapped(switcher));
    // The action area stays in view below the form.
    EXPECT_TRUE(gtk_widget_get_mapped(client->start_button.get()));
  }
}

namespace {

// Mean luminance (0..1) of a PNG file; negative when it cannot be read.
double mean_luminance(const std::string& path) {
  GError* error = nullptr;
  GdkTexture* texture = gdk_texture_new_from_filename(path.c_str(), &error);
  if (!texture) {
    g_error_free(error);
    return -1;
  }
  const int w = gdk_texture_get_width(texture), h = gdk_texture_get_height(texture);
  std::vector<guchar> pixels(static_cast<size_t>(w) * h * 4);
  gdk_texture_download(texture, pixels.data(), static_cast<gsize>(w) * 4);
  g_object_unref(texture);
  double sum = 0;
  for (size_t i = 0; i < pixels.size(); i += 4)  // BGRA, premultiplied
    sum += 0.0722 * pixels[i] + 0.7152 * pixels[i + 1] + 0.2126 * pixels[i + 2];
  return sum / (255.0 * w * h);
}

}  // namespace

TEST_F(WindowFixture, ScreenshotsOfBothPagesFollowTheLightAndDarkAppearance) {
  AdwStyleManager* style = adw_style_manager_get_default();
  GtkWidget* stack = gtk_widget_get_ancestor(client->status_label.get(), ADW_TYPE_VIEW_STACK);
  gtk_window_present(GTK_WINDOW(window));
  ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));
  double luminance[2][2] = {};
  const AdwColorScheme schemes[] = {ADW_COLOR_SCHEME_FORCE_LIGHT, ADW_COLOR_SCHEME_FORCE_DARK};
  const char* scheme_names[] = {"light", "dark"};
  const char* pages[] = {"client", "server"};
  for (int s = 0; s < 2; ++s) {
    adw_style_manager_set_color_scheme(style, schemes[s]);
    for (int p = 0; p < 2; ++p) {
      adw_view_stack_set_visible_child_name(ADW_VIEW_STACK(stack), pages[p]);
      trellan::testing::pump_for(0.5);
      const std::string path = trellan::testing::shot_path(
          std::string("window-") + pages[p] + "-" + scheme_names[s] + ".png");
      ASSERT_TRUE(trellan::testing::save_window_png(GTK_WIDGET(window), path)) << path;
      luminance[s][p] = mean_luminance(path);
      EXPECT_GT(luminance[s][p], 0.0) << path;
    }
  }
  adw_style_manager_set_color_scheme(style, ADW_COLOR_SCHEME_DEFAULT);
  for (int p = 0; p < 2; ++p) EXPECT_GT(luminance[0][p], luminance[1][p] + 0.3) << pages[p];
}

TRELLAN_GTK_TEST_MAIN()

TEST_F(WindowFixture, TabFromLaunchReachesStartTestWithEachFormRowOneStop) {
  // Keys reach only an active window, and Tab follows the widgets' places:
  // the window comes up as at launch, and is laid out, first.
  gtk_window_present(GTK_WINDOW(window));
  ASSERT_TRUE(pump_until([&] {
    return gtk_window_is_active(GTK_WINDOW(window)) && gtk_widget_get_height(client->start_button.get()) > 0;
  }));
  const std::vector<GtkWidget*> rows = {
      client->server_row.get(),  client->port_row.get(),    client->duration_row.get(),
      client->parallel_row.get(), client->reverse_row.get(), client->bidir_row.get(),
      client->udp_row.get(),     client->bitrate_row.get(), client->omit_row.get(),
      client->latency_row.get()};
  std::vector<int> stops(rows.size(), 0);
  // Where a newer libadwaita puts the focus at launch (the first field)
  // counts as that row's stop.
  auto count_stop = [&] {
    GtkWidget* f = gtk_window_get_focus(GTK_WINDOW(window));
    for (std::size_t i = 0; f && i < rows.size(); ++i)
      if (f == rows[i] || gtk_widget_is_ancestor(f, rows[i])) ++stops[i];
  };
  count_stop();
  int presses = 0;
  while (presses < 100 && gtk_window_get_focus(GTK_WINDOW(window)) != client->start_button.get()) {
    g_signal_emit_by_name(window, "move-focus", GTK_DIR_TAB_FORWARD);  // what Tab does
    ++presses;
    count_stop();
  }
  ASSERT_EQ(gtk_window_get_focus(GTK_WINDOW(window)), client->start_button.get());
  for (std::size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(stops[i], 1) << title_of(rows[i]) << ": one Tab stop, not " << stops[i];
  std::printf("Tab presses from launch to \"Start test\": %d\n", presses);
}
