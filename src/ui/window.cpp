#include "ui/window.hpp"

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "ui/compat.hpp"
#include "ui/label_text.hpp"
#include "ui/run_controls.hpp"
#include "core/latency_text.hpp"
#include "core/run_words.hpp"
#include "ui/latency_watch.hpp"
#include "ui/link_check_run.hpp"
#include "ui/runs_page.hpp"
#include "core/text.hpp"
#include "ui/wide_layout.hpp"
#include "process/tool_version.hpp"

namespace trellan {
namespace {

constexpr const char* kClientFormKey = "trellan-client-form";
constexpr const char* kServerFormKey = "trellan-server-form";
constexpr const char* kRunLogKey = "trellan-run-log";
constexpr const char* kRunsPageKey = "trellan-runs-page";

// ---- building blocks -------------------------------------------------------

Ref<GtkWidget> entry_row(const char* title, const char* tooltip = nullptr,
                         const char* text = nullptr) {
  auto row = Ref<GtkWidget>::sink(GTK_WIDGET(g_object_new(ADW_TYPE_ENTRY_ROW, "title", title, nullptr)));
  if (tooltip) gtk_widget_set_tooltip_text(row.get(), tooltip);
  if (text) gtk_editable_set_text(GTK_EDITABLE(row.get()), text);
  return row;
}

Ref<GtkWidget> spin_row(const char* title, double min, double max, double value) {
  return Ref<GtkWidget>::sink(compat::spin_row_new(title, min, max, 1, value));
}

Ref<GtkWidget> switch_row(const char* title, const char* subtitle) {
  return Ref<GtkWidget>::sink(compat::switch_row_new(title, subtitle));
}

Ref<GtkWidget> combo_row(const char* title, const char* const* items) {
  auto row = Ref<GtkWidget>::sink(adw_combo_row_new());
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row.get()), title);
  auto model = Ref<GtkStringList>::take(gtk_string_list_new(items));
  adw_combo_row_set_model(ADW_COMBO_ROW(row.get()), G_LIST_MODEL(model.get()));
  return row;
}

GtkWidget* group(const char* title, std::initializer_list<GtkWidget*> rows) {
  GtkWidget* g = adw_preferences_group_new();
  if (title) adw_preferences_group_set_title(ADW_PREFERENCES_GROUP(g), title);
  for (GtkWidget* r : rows) adw_preferences_group_add(ADW_PREFERENCES_GROUP(g), r);
  return g;
}

GtkWidget* vbox(int spacing) { return gtk_box_new(GTK_ORIENTATION_VERTICAL, spacing); }

void set_margins(GtkWidget* w, int top, int bottom, int start, int end) {
  gtk_widget_set_margin_top(w, top);
  gtk_widget_set_margin_bottom(w, bottom);
  gtk_widget_set_margin_start(w, start);
  gtk_widget_set_margin_end(w, end);
}

GtkWidget* form_box(std::initializer_list<GtkWidget*> groups) {
  GtkWidget* box = vbox(12);
  set_margins(box, 16, 16, 16, 16);
  for (GtkWidget* g : groups) gtk_box_append(GTK_BOX(box), g);
  return box;
}

// The page: the scrolling form above the fixed action area.
struct ActionArea {
  Ref<GtkWidget> status_label;
  Ref<GtkWidget> details_label;
  Ref<GtkWidget> start_button;
  GtkWidget* extra_line = nullptr;  // below the details, when a page has one
  GtkWidget* beside_button = nullptr;  // a second button beside the start button
  GtkWidget* below_texts = nullptr;    // between the texts and the buttons
};

PageParts page_box(GtkWidget* form, const VuMeter& meter, const ActionArea& area) {
  GtkWidget* page = vbox(0);
  GtkWidget* scrolled = GTK_WIDGET(g_object_new(GTK_TYPE_SCROLLED_WINDOW, "hscrollbar-policy",
                                                GTK_POLICY_NEVER, "vexpand", TRUE, "child", form,
                                                nullptr));
  compat::name_scroll_bars(scrolled, "the form");
  gtk_box_append(GTK_BOX(page), scrolled);

  GtkWidget* actions = vbox(12);
  set_margins(actions, 8, 16, 16, 16);
  GtkWidget* frame = compat::plain_frame_new();
  gtk_widget_add_css_class(frame, "card");
  gtk_frame_set_child(GTK_FRAME(frame), meter.widget());
  gtk_box_append(GTK_BOX(actions), frame);
  GtkWidget* texts = vbox(2);
  gtk_box_append(GTK_BOX(texts), area.status_label.get());
  gtk_box_append(GTK_BOX(texts), area.details_label.get());
  if (area.extra_line) gtk_box_append(GTK_BOX(texts), area.extra_line);
  gtk_box_append(GTK_BOX(actions), texts);
  if (area.below_texts) gtk_box_append(GTK_BOX(actions), area.below_texts);
  if (area.beside_button) {
    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_widget_set_halign(buttons, GTK_ALIGN_CENTER);
    gtk_box_append(GTK_BOX(buttons), area.start_button.get());
    gtk_box_append(GTK_BOX(buttons), area.beside_button);
    gtk_box_append(GTK_BOX(actions), buttons);
  } else {
    gtk_box_append(GTK_BOX(actions), area.start_button.get());
  }
  gtk_box_append(GTK_BOX(page), actions);
  return PageParts{page, scrolled, actions, frame, area.status_label.get(), area.details_label.get()};
}

ActionArea action_area(const char* status, const char* button_label) {
  ActionArea a;
  a.status_label = Ref<GtkWidget>::sink(gtk_label_new(status));
  gtk_widget_add_css_class(a.status_label.get(), "dim-label");
  wrap_anywhere(a.status_label.get());
  gtk_label_set_xalign(GTK_LABEL(a.status_label.get()), 0.0f);
  gtk_label_set_selectable(GTK_LABEL(a.status_label.get()), TRUE);
  a.details_label = Ref<GtkWidget>::sink(gtk_label_new(nullptr));
  gtk_widget_add_css_class(a.details_label.get(), "dim-label");
  gtk_widget_add_css_class(a.details_label.get(), "caption");
  wrap_anywhere(a.details_label.get());
  gtk_label_set_xalign(GTK_LABEL(a.details_label.get()), 0.0f);
  gtk_label_set_selectable(GTK_LABEL(a.details_label.get()), TRUE);
  gtk_widget_set_visible(a.details_label.get(), FALSE);
  a.start_button = Ref<GtkWidget>::sink(gtk_button_new_with_label(button_label));
  gtk_widget_add_css_class(a.start_button.get(), "suggested-action");
  gtk_widget_add_css_class(a.start_button.get(), "pill");
  gtk_widget_set_halign(a.start_button.get(), GTK_ALIGN_CENTER);
  return a;
}

template <typename Form>
void free_form(gpointer data, GClosure*) {
  delete static_cast<Form*>(data);
}

std::string text_of(GtkWidget* editable) {
  return std::string(trim_ws(gtk_editable_get_text(GTK_EDITABLE(editable))));
}

// ---- closing a window ------------------------------------------------------

// The forms and their buttons would keep each other alive (a form holds its
// button, the button's handler holds the form), so when the window goes the
// handlers are disconnected, which releases the forms; runs still going are
// stopped, so that no child outlives its window.
struct WindowLinks {
  Ref<GtkWidget> client_button, server_button;
  gulong client_handler = 0, server_handler = 0;
  std::shared_ptr<RunSlot> client_slot, server_slot;
};

void on_window_destroy(GtkWidget* window, WindowLinks* links) noexcept {
  g_object_set_data(G_OBJECT(window), kClientFormKey, nullptr);
  g_object_set_data(G_OBJECT(window), kServerFormKey, nullptr);
  stop_current_run(*links->client_slot);
  stop_current_run(*links->server_slot);
  g_clear_signal_handler(&links->client_handler, links->client_button.get());
  g_clear_signal_handler(&links->server_handler, links->server_button.get());
}

void free_links(gpointer data, GClosure*) { delete static_cast<WindowLinks*>(data); }

// ---- run files from outside ------------------------------------------------

// Files dropped anywhere on the window, and Ctrl+O from any page, open on
// the Runs page.
gboolean on_files_dropped(GtkDropTarget* target, const GValue* value, double, double, gpointer) noexcept {
  if (!G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST)) return FALSE;
  std::vector<Ref<GFile>> files;
  for (GSList* l = static_cast<GSList*>(g_value_get_boxed(value)); l; l = l->next)
    files.push_back(Ref<GFile>::add(G_FILE(l->data)));
  auto* window = ADW_APPLICATION_WINDOW(gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(target)));
  open_files_in_window(window, std::move(files));
  return TRUE;
}

void on_open_runs(GSimpleAction*, GVariant*, gpointer window) noexcept {
  auto* page = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(window), kRunsPageKey));
  if (!page) return;
  if (GtkWidget* stack = gtk_widget_get_parent(page); stack && ADW_IS_VIEW_STACK(stack))
    adw_view_stack_set_visible_child(ADW_VIEW_STACK(stack), page);
  runs_page_choose_files(page);
}

void accept_run_files(AdwApplicationWindow* window) {
  GtkDropTarget* drop = gtk_drop_target_new(GDK_TYPE_FILE_LIST, GDK_ACTION_COPY);
  g_signal_connect(drop, "drop", G_CALLBACK(on_files_dropped), nullptr);
  gtk_widget_add_controller(GTK_WIDGET(window), GTK_EVENT_CONTROLLER(drop));
  // "win.open-runs", on Ctrl+O from any page.
  GSimpleAction* open = g_simple_action_new("open-runs", nullptr);
  g_signal_connect(open, "activate", G_CALLBACK(on_open_runs), window);
  g_action_map_add_action(G_ACTION_MAP(window), G_ACTION(open));
  g_object_unref(open);
  GtkEventController* shortcuts = gtk_shortcut_controller_new();
  gtk_shortcut_controller_set_scope(GTK_SHORTCUT_CONTROLLER(shortcuts), GTK_SHORTCUT_SCOPE_GLOBAL);
  gtk_shortcut_controller_add_shortcut(GTK_SHORTCUT_CONTROLLER(shortcuts),
                                       gtk_shortcut_new(gtk_shortcut_trigger_parse_string("<Control>o"),
                                                        gtk_named_action_new("win.open-runs")));
  gtk_widget_add_controller(GTK_WIDGET(window), shortcuts);
}

}  // namespace

// ---- reading the forms -----------------------------------------------------

ClientOptions ClientOptions::from_form(const ClientForm& f) {
  ClientOptions o;
  o.ip_version = ip_version_from_index(adw_combo_row_get_selected(ADW_COMBO_ROW(f.ip_version_row.get())));
  o.server = text_of(f.server_row.get());
  o.port = saturate_u16(compat::spin_row_get_value(f.port_row.get()));
  o.duration = saturate_u32(compat::spin_row_get_value(f.duration_row.get()));
  o.parallel = saturate_u32(compat::spin_row_get_value(f.parallel_row.get()));
  o.reverse = compat::switch_row_get_active(f.reverse_row.get());
  o.bidir = compat::switch_row_get_active(f.bidir_row.get());
  o.udp = compat::switch_row_get_active(f.udp_row.get());
  o.bitrate = text_of(f.bitrate_row.get());
  o.omit = saturate_u32(compat::spin_row_get_value(f.omit_row.get()));
  o.bind = text_of(f.bind_row.get());
  o.window = text_of(f.window_row.get());
  o.buffer_length = text_of(f.buffer_length_row.get());
  o.mss = saturate_u32(compat::spin_row_get_value(f.mss_row.get()));
  o.congestion = text_of(f.congestion_row.get());
  o.no_delay = compat::switch_row_get_active(f.no_delay_row.get());
  o.zero_copy = compat::switch_row_get_active(f.zero_copy_row.get());
  o.latency = compat::switch_row_get_active(f.latency_row.get());
  return o;
}

ServerOptions ServerOptions::from_form(const ServerForm& f) {
  ServerOptions o;
  o.port = saturate_u16(compat::spin_row_get_value(f.listen_port_row.get()));
  o.bind = text_of(f.bind_row.get());
  o.one_off = compat::switch_row_get_active(f.one_off_row.get());
  return o;
}

// ---- the start buttons -----------------------------------------------------

namespace {

// Both pages' buttons are toggles: these are the two halves they share.

template <typename Form>
PageWidgets widgets_of(const Form& f) {
  return PageWidgets{f.meter, f.status_label, f.details_label, f.start_button};
}

// Stops the page's run, if it has one, and shows the page idle; false when
// the page was idle.
template <typename Form>
bool stop_page_run(Form& f) {
  if (!f.run_slot->handle) return false;
  if (f.run_slot->session)
    show_answer(widgets_of(f), *f.run_slot, f.run_slot->session->stop());
  else
    stop_current_run(*f.run_slot);
  return true;
}

// Starts a run with `args` and follows it on the page.
template <typename Form>
void start_page_run(Form& f, std::vector<std::string> args, RunSetup setup,
                    std::optional<std::vector<std::string>> ping_args = std::nullopt) {
  const double idle_seconds = setup.idle_seconds;
  const bool is_server = setup.is_server;
  setup.command = {"iperf3"};
  setup.command.insert(setup.command.end(), args.begin(), args.end());
  setup.idle_latency = ping_args.has_value();
  // The version that makes the run is kept with it (asked for at start-up).
  if (const std::string version = iperf_version(); version != "unknown") setup.facts.iperf_version = version;
  auto session = std::make_shared<RunSession>(std::move(setup));
  show_answer(widgets_of(f), *f.run_slot, session->start());
  if (!ping_args) {
    if (!is_server) clear_latency(*f.run_slot);
    auto [handle, rx] = start_iperf(std::move(args), is_server);
    const std::uint64_t run_id = install_run(*f.run_slot, std::move(handle), std::move(session));
    watch_run(std::move(rx), widgets_of(f), f.run_slot, run_id);
    return;
  }
  // Ping first: an idle second of probes, then the test as without it. The
  // run is the page's (and Stop ends it) from the start.
  const std::uint64_t run_id = install_run(*f.run_slot, RunHandle(), session);
  begin_latency(f.run_slot, run_id, widgets_of(f), std::move(*ping_args),
                [page = widgets_of(f), slot = f.run_slot, run_id, session, args = std::move(args)]() mutable {
                  auto [handle, rx] = start_iperf(std::move(args), false);
                  slot->handle = std::move(handle);
                  show_answer(page, *slot, session->launched());
                  watch_run(std::move(rx), page, slot, run_id);
                },
                idle_seconds);
}

}  // namespace

void on_start_test_clicked(GtkButton*, ClientForm* f) noexcept {
  if (stop_link_check(*f)) return;
  if (stop_page_run(*f)) return;
  const ClientOptions options = ClientOptions::from_form(*f);
  if (options.server.empty()) {
    set_status(f->status_label.get(), words::kNoServer);
    return;
  }
  start_client_test(*f, options, LatencyRun::kIdleSeconds);
}

void start_client_test(ClientForm& form, const ClientOptions& options, double idle_seconds,
                       std::optional<LinkCheckMark> link_check) {
  RunSetup setup;
  setup.idle_seconds = idle_seconds;
  setup.far_end = far_end_of(options);
  setup.options_summary = options_summary(options);
  setup.facts = run_facts(options);
  setup.facts.link_check = std::move(link_check);
  setup.connect_server = options.server;
  setup.connect_port = options.port;
  std::optional<std::vector<std::string>> ping_args;
  if (options.latency) ping_args = options.ping_args();
  start_page_run(form, options.to_args(), std::move(setup), std::move(ping_args));
}

void on_start_server_clicked(GtkButton*, ServerForm* f) noexcept {
  if (stop_page_run(*f)) return;
  const ServerOptions options = ServerOptions::from_form(*f);
  RunSetup setup;
  setup.is_server = true;
  setup.options_summary = options_summary(options);
  setup.port = options.port;
  start_page_run(*f, options.to_args(), std::move(setup));
  f->address_line->show(options.bind, options.port);
}


// ---- the window ------------------------------------------------------------

// The page tabs at the window's foot are a switcher inside the bar; both
// are the page tabs.
void name_inner_switcher(GtkWidget* w) {
  if (ADW_IS_VIEW_SWITCHER(w) || GTK_IS_ACTION_BAR(w))
    gtk_accessible_update_property(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_PROPERTY_LABEL, "Pages", -1);
  for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c)) name_inner_switcher(c);
}

AdwApplicationWindow* build_main_window(AdwApplication* app) {
  auto* window = ADW_APPLICATION_WINDOW(g_object_new(
      ADW_TYPE_APPLICATION_WINDOW, "application", app, "title", "iperf3", "default-width", 560,
      "default-height", 680, "width-request", 400, "height-request", 560, nullptr));
  GtkWidget* stack = adw_view_stack_new();
  auto run_log = std::make_shared<RunLog>();
  g_object_set_data_full(G_OBJECT(window), kRunLogKey, new std::shared_ptr<RunLog>(run_log),
                         [](gpointer p) { delete static_cast<std::shared_ptr<RunLog>*>(p); });

  // Client page.
  auto* client = new ClientForm();
  client->server_row = entry_row("Server (host or IP)", nullptr, "127.0.0.1");
  client->port_row = spin_row("Port", 1, 65535, 5201);
  client->duration_row = spin_row("Duration (s)", 1, 86400, 10);
  GtkWidget* connection = group("Connection", {client->server_row.get(), client->port_row.get(),
                                               client->duration_row.get()});
  client->parallel_row = spin_row("Parallel streams", 1, 128, 1);
  client->reverse_row = switch_row("Download mode (reverse)", "Server sends to this machine");
  client->bidir_row =
      switch_row("Bidirectional", "Measure both directions at once (overrides reverse)");
  client->udp_row = switch_row("UDP", "Use UDP instead of TCP");
  client->bitrate_row = entry_row(
      "Target bitrate", "e.g. 100M, 1G. Empty = unlimited (TCP). UDP defaults to unlimited.");
  client->omit_row = spin_row("Omit first seconds", 0, 60, 0);
  client->latency_row = switch_row("Latency under load", "Ping the server before and during the test");
  compat::switch_row_set_active(client->latency_row.get(), true);
  GtkWidget* test = group("Test", {client->parallel_row.get(), client->reverse_row.get(),
                                   client->bidir_row.get(), client->udp_row.get(),
                                   client->bitrate_row.get(), client->omit_row.get(),
                                   client->latency_row.get()});
  GtkWidget* expander = GTK_WIDGET(g_object_new(ADW_TYPE_EXPANDER_ROW, "title", "Advanced options",
                                                "subtitle", "Binding, buffers, TCP tuning", nullptr));
  static const char* const ip_versions[] = {"Automatic", "IPv4 only", "IPv6 only", nullptr};
  client->ip_version_row = combo_row("IP version", ip_versions);
  client->bind_row = entry_row("Bind to local address", "Local interface/address to bind (-B)");
  client->window_row = entry_row("TCP window / socket buffer", "e.g. 256K (-w)");
  client->buffer_length_row =
      entry_row("Buffer length", "Read/write buffer size, e.g. 128K (-l)");
  client->mss_row = spin_row("Max segment size (MSS)", 0, 9000, 0);
  client->congestion_row = entry_row("Congestion algorithm", "TCP only, e.g. cubic, bbr (-C)");
  client->no_delay_row = switch_row("No delay", "Disable Nagle's algorithm (-N)");
  client->zero_copy_row = switch_row("Zero-copy", "Use a zero-copy send method (-Z)");
  for (GtkWidget* row : {client->ip_version_row.get(), client->bind_row.get(),
                         client->window_row.get(), client->buffer_length_row.get(),
                         client->mss_row.get(), client->congestion_row.get(),
                         client->no_delay_row.get(), client->zero_copy_row.get()})
    adw_expander_row_add_row(ADW_EXPANDER_ROW(expander), row);
  GtkWidget* advanced = group(nullptr, {expander});
  ActionArea client_area = action_area(words::kReady, kClientIdle.label);
  // The latency line: full contrast, selectable, hidden while empty.
  client->latency_label = Ref<GtkWidget>::sink(gtk_label_new(nullptr));
  gtk_widget_add_css_class(client->latency_label.get(), "caption");
  wrap_anywhere(client->latency_label.get());
  gtk_label_set_xalign(GTK_LABEL(client->latency_label.get()), 0.0f);
  gtk_label_set_selectable(GTK_LABEL(client->latency_label.get()), TRUE);
  gtk_widget_set_visible(client->latency_label.get(), FALSE);
  client_area.extra_line = client->latency_label.get();
  client->run_slot = std::make_shared<RunSlot>();
  client->link_check = link_check_new(client);
  client_area.beside_button = link_check_button(*client->link_check);
  client_area.below_texts = link_check_area(*client->link_check);
  const PageParts client_parts =
      page_box(form_box({connection, test, advanced}), client->meter, client_area);
  client->run_slot->recording.log = run_log;
  client->run_slot->show_latency = [label = client->latency_label](const std::string& text) {
    gtk_label_set_text(GTK_LABEL(label.get()), shown_text(text).c_str());
    gtk_widget_set_visible(label.get(), !text.empty());
  };
  client->run_log = run_log;
  client->status_label = client_area.status_label;
  client->details_label = client_area.details_label;
  client->start_button = client_area.start_button;
  g_object_set_data(G_OBJECT(window), kClientFormKey, client);
  const gulong client_handler = g_signal_connect_data(
      client->start_button.get(), "clicked", G_CALLBACK(on_start_test_clicked), client,
      free_form<ClientForm>, GConnectFlags{});

  // Server page.
  auto* server = new ServerForm();
  server->listen_port_row = spin_row("Listen port", 1, 65535, 5201);
  server->bind_row = entry_row("Bind to local address", "Local interface/address to listen on (-B)");
  server->one_off_row = switch_row("One-off", "Serve a single client then exit (-1)");
  GtkWidget* server_group = group("Server", {server->listen_port_row.get(), server->bind_row.get(),
                                             server->one_off_row.get()});
  ActionArea server_area = action_area(words::kServerStopped, kServerIdle.label);
  server->address_line = std::make_shared<AddressLine>();
  server_area.extra_line = server->address_line->widget();
  const PageParts server_parts = page_box(form_box({server_group}), server->meter, server_area);
  server->run_slot = std::make_shared<RunSlot>();
  server->run_slot->recording.log = run_log;
  server->run_log = run_log;
  server->status_label = server_area.status_label;
  server->details_label = server_area.details_label;
  server->start_button = server_area.start_button;
  server->run_slot->on_run_end = [line = server->address_line] { line->hide(); };
  g_object_set_data(G_OBJECT(window), kServerFormKey, server);
  const gulong server_handler = g_signal_connect_data(
      server->start_button.get(), "clicked", G_CALLBACK(on_start_server_clicked), server,
      free_form<ServerForm>, GConnectFlags{});

  auto* links = new WindowLinks{client->start_button, server->start_button, client_handler,
                                server_handler, client->run_slot, server->run_slot};
  g_signal_connect_data(window, "destroy", G_CALLBACK(on_window_destroy), links, free_links,
                        GConnectFlags{});

  AdwViewStackPage* page =
      adw_view_stack_add_titled(ADW_VIEW_STACK(stack), client_parts.page, "client", "Client");
  adw_view_stack_page_set_icon_name(page, "network-transmit-symbolic");
  page = adw_view_stack_add_titled(ADW_VIEW_STACK(stack), server_parts.page, "server", "Server");
  adw_view_stack_page_set_icon_name(page, "network-server-symbolic");
  GtkWidget* runs_page = runs_page_new(run_log);
  g_object_set_data(G_OBJECT(window), kRunsPageKey, runs_page);  // the stack keeps it as long as the window
  page = adw_view_stack_add_titled(ADW_VIEW_STACK(stack), runs_page, "runs", "Runs");
  adw_view_stack_page_set_icon_name(page, "document-open-recent-symbolic");

  // Where libadwaita makes the pages objects a screen reader meets (1.4
  // on), each is named by its tab's title.
  GListModel* pages = G_LIST_MODEL(adw_view_stack_get_pages(ADW_VIEW_STACK(stack)));
  for (guint i = 0; i < g_list_model_get_n_items(pages); ++i) {
    auto* stack_page = static_cast<AdwViewStackPage*>(g_list_model_get_item(pages, i));
    if (GTK_IS_ACCESSIBLE(stack_page))
      gtk_accessible_update_property(GTK_ACCESSIBLE(stack_page), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                     adw_view_stack_page_get_title(stack_page), -1);
    g_object_unref(stack_page);
  }
  g_object_unref(pages);

  GtkWidget* header = adw_header_bar_new();
  GtkWidget* switcher = GTK_WIDGET(g_object_new(ADW_TYPE_VIEW_SWITCHER, "stack", stack, "policy",
                                                ADW_VIEW_SWITCHER_POLICY_WIDE, nullptr));
  adw_header_bar_set_title_widget(ADW_HEADER_BAR(header), switcher);
  gtk_accessible_update_property(GTK_ACCESSIBLE(switcher), GTK_ACCESSIBLE_PROPERTY_LABEL, "Pages", -1);
  GtkWidget* switcher_bar = GTK_WIDGET(g_object_new(ADW_TYPE_VIEW_SWITCHER_BAR, "stack", stack, nullptr));
  gtk_accessible_update_property(GTK_ACCESSIBLE(switcher_bar), GTK_ACCESSIBLE_PROPERTY_LABEL, "Pages", -1);
  GtkWidget* content = follow_window_width(stack, {client_parts, server_parts});
  adw_application_window_set_content(window, compat::toolbar_view_new(header, content, switcher_bar));
  name_inner_switcher(switcher_bar);
  // The header bar holds its title in a part of its own: the page tabs.
  for (GtkWidget* holder = gtk_widget_get_parent(switcher); holder && holder != header;
       holder = gtk_widget_get_parent(holder))
    if (g_str_equal(G_OBJECT_TYPE_NAME(holder), "AdwGizmo"))
      gtk_accessible_update_property(GTK_ACCESSIBLE(holder), GTK_ACCESSIBLE_PROPERTY_LABEL, "Pages", -1);
  // The window keeps the parts; again once shown, when the rows have made
  // the parts they make late.
  using Parts = std::array<GtkWidget*, 4>;
  auto* parts = new Parts{header, switcher_bar, client_parts.page, server_parts.page};
  auto quiet = +[](GtkWidget*, gpointer data) noexcept {
    for (GtkWidget* part : *static_cast<Parts*>(data)) compat::quiet_decorations(part);
  };
  quiet(nullptr, parts);
  g_signal_connect_data(window, "map", G_CALLBACK(quiet), parts,
                        [](gpointer data, GClosure*) { delete static_cast<Parts*>(data); }, GConnectFlags{});
  accept_run_files(window);
  return window;
}

void open_files_in_window(AdwApplicationWindow* window, std::vector<Ref<GFile>> files) {
  auto* page = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(window), kRunsPageKey));
  if (!page || files.empty()) return;
  if (GtkWidget* stack = gtk_widget_get_parent(page); stack && ADW_IS_VIEW_STACK(stack))
    adw_view_stack_set_visible_child(ADW_VIEW_STACK(stack), page);
  runs_page_open_files(page, std::move(files));
}

const ClientForm* client_form_of(AdwApplicationWindow* window) {
  return static_cast<const ClientForm*>(g_object_get_data(G_OBJECT(window), kClientFormKey));
}

const ServerForm* server_form_of(AdwApplicationWindow* window) {
  return static_cast<const ServerForm*>(g_object_get_data(G_OBJECT(window), kServerFormKey));
}

std::shared_ptr<RunLog> run_log_of(AdwApplicationWindow* window) {
  auto* log = static_cast<std::shared_ptr<RunLog>*>(g_object_get_data(G_OBJECT(window), kRunLogKey));
  return log ? *log : nullptr;
}

}  // namespace trellan
