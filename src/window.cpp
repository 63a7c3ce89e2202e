#include "window.hpp"

#include <string>
#include <utility>
#include <vector>

#include "compat.hpp"
#include "text.hpp"

namespace trellan {
namespace {

constexpr const char* kClientFormKey = "trellan-client-form";
constexpr const char* kServerFormKey = "trellan-server-form";

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
};

GtkWidget* page_box(GtkWidget* form, const VuMeter& meter, const ActionArea& area) {
  GtkWidget* page = vbox(0);
  GtkWidget* scrolled = GTK_WIDGET(g_object_new(GTK_TYPE_SCROLLED_WINDOW, "hscrollbar-policy",
                                                GTK_POLICY_NEVER, "vexpand", TRUE, "child", form,
                                                nullptr));
  gtk_box_append(GTK_BOX(page), scrolled);

  GtkWidget* actions = vbox(12);
  set_margins(actions, 8, 16, 16, 16);
  GtkWidget* frame = gtk_frame_new(nullptr);
  gtk_widget_add_css_class(frame, "card");
  gtk_frame_set_child(GTK_FRAME(frame), meter.widget());
  gtk_box_append(GTK_BOX(actions), frame);
  GtkWidget* texts = vbox(2);
  gtk_box_append(GTK_BOX(texts), area.status_label.get());
  gtk_box_append(GTK_BOX(texts), area.details_label.get());
  gtk_box_append(GTK_BOX(actions), texts);
  gtk_box_append(GTK_BOX(actions), area.start_button.get());
  gtk_box_append(GTK_BOX(page), actions);
  return page;
}

ActionArea action_area(const char* status, const char* button_label) {
  ActionArea a;
  a.status_label = Ref<GtkWidget>::sink(gtk_label_new(status));
  gtk_widget_add_css_class(a.status_label.get(), "dim-label");
  gtk_label_set_wrap(GTK_LABEL(a.status_label.get()), TRUE);
  gtk_label_set_xalign(GTK_LABEL(a.status_label.get()), 0.0f);
  a.details_label = Ref<GtkWidget>::sink(gtk_label_new(nullptr));
  gtk_widget_add_css_class(a.details_label.get(), "dim-label");
  gtk_widget_add_css_class(a.details_label.get(), "caption");
  gtk_label_set_wrap(GTK_LABEL(a.details_label.get()), TRUE);
  gtk_label_set_xalign(GTK_LABEL(a.details_label.get()), 0.0f);
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

// ---- the two button looks --------------------------------------------------

struct Look {
  const char* label;
  const char* remove;
  const char* add;
};

void apply_look(GtkWidget* button, const Look& look) {
  gtk_button_set_label(GTK_BUTTON(button), look.label);
  gtk_widget_remove_css_class(button, look.remove);
  gtk_widget_add_css_class(button, look.add);
}

constexpr Look kClientIdle{"Start test", "destructive-action", "suggested-action"};
constexpr Look kClientRunning{"Stop", "suggested-action", "destructive-action"};
constexpr Look kServerIdle{"Start server", "destructive-action", "suggested-action"};
constexpr Look kServerRunning{"Stop server", "suggested-action", "destructive-action"};

// The status label carries the "error" class exactly while it shows an error.
void set_status(GtkWidget* label, const std::string& text, bool is_error = false) {
  gtk_label_set_text(GTK_LABEL(label), text.c_str());
  if (is_error)
    gtk_widget_add_css_class(label, "error");
  else
    gtk_widget_remove_css_class(label, "error");
}

// The details label is hidden while it has nothing to say.
void set_details(GtkWidget* label, const std::string& text) {
  gtk_label_set_text(GTK_LABEL(label), text.c_str());
  gtk_widget_set_visible(label, !text.empty());
}

std::string joined(double mbps) {
  auto [number, unit] = format_rate(mbps);
  return number + " " + unit;
}

std::string text_of(GtkWidget* editable) {
  return std::string(trim_ws(gtk_editable_get_text(GTK_EDITABLE(editable))));
}

// Empties the slot, stopping the run it held.
void stop_current_run(RunSlot& slot) {
  std::optional<RunHandle> handle = std::exchange(slot.handle, std::nullopt);
  if (handle) handle->stop();
}

// Puts a new run into the slot; a run still there is stopped first.
std::uint64_t install_run(RunSlot& slot, RunHandle handle) {
  stop_current_run(slot);
  slot.handle = std::move(handle);
  return ++slot.run_id;
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

// Stops the page's run, if it has one, and shows the page idle with
// `status`; false when the page was idle.
template <typename Form>
bool stop_page_run(Form& f, const Look& idle, const char* status) {
  if (!f.run_slot->handle) return false;
  stop_current_run(*f.run_slot);
  f.meter.reset();
  apply_look(f.start_button.get(), idle);
  set_status(f.status_label.get(), status);
  return true;
}

// Starts a run with `args` and follows it on the page.
template <typename Form>
void start_page_run(Form& f, std::vector<std::string> args, bool is_server, const Look& running,
                    const std::string& status, std::optional<ConnectTarget> connect = std::nullopt) {
  f.meter.reset();
  auto [handle, rx] = start_iperf(std::move(args), is_server);
  const std::uint64_t run_id = install_run(*f.run_slot, std::move(handle));
  apply_look(f.start_button.get(), running);
  set_status(f.status_label.get(), status);
  set_details(f.details_label.get(), "");
  watch_run(std::move(rx), f.meter, GTK_LABEL(f.status_label.get()),
            GTK_LABEL(f.details_label.get()), GTK_BUTTON(f.start_button.get()), f.run_slot, run_id,
            is_server, std::move(connect));
}

}  // namespace

void on_start_test_clicked(GtkButton*, ClientForm* f) noexcept {
  if (stop_page_run(*f, kClientIdle, "Test stopped.")) {
    set_details(f->details_label.get(), "");  // a connect notice or half a result
    return;
  }
  const ClientOptions options = ClientOptions::from_form(*f);
  if (options.server.empty()) {
    set_status(f->status_label.get(), "Specify a server (host or IP).");
    return;
  }
  start_page_run(*f, options.to_args(), false, kClientRunning, "Connecting…",
                 ConnectTarget{options.server, options.port});
}

void on_start_server_clicked(GtkButton*, ServerForm* f) noexcept {
  if (stop_page_run(*f, kServerIdle, "Stopped.")) return;
  const ServerOptions options = ServerOptions::from_form(*f);
  start_page_run(*f, options.to_args(), true, kServerRunning,
                 "Listening on port " + std::to_string(options.port) + "…");
}

// ---- following a run -------------------------------------------------------

namespace {

std::string join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : separator) + part;
  return out;
}

// "jitter 0.013 ms, lost 23439 of 646767 (3.6 %)", for one direction of two.
std::string short_loss_text(const UdpLoss& l) {
  return "jitter " + l.jitter_ms + " ms, lost " + std::to_string(l.lost) + " of " +
         std::to_string(l.total) + " (" + l.percent + " %)";
}

// What the summary lines say beyond the rates: retransmits, jitter and loss.
std::string quality_text(const SummaryDetails& d) {
  std::vector<std::string> parts;
  if (!d.bidirectional) {
    if (d.tx.retransmits) parts.push_back("Retransmits: " + std::to_string(*d.tx.retransmits));
    if (const auto& l = d.tx.loss)
      parts.push_back("Jitter " + l->jitter_ms + " ms · lost " + std::to_string(l->lost) + " of " +
                      std::to_string(l->total) + " datagrams (" + l->percent + " %)");
    return join(parts, " · ");
  }
  std::vector<std::string> retransmits;
  if (d.tx.retransmits) retransmits.push_back("send " + std::to_string(*d.tx.retransmits));
  if (d.rx.retransmits) retransmits.push_back("receive " + std::to_string(*d.rx.retransmits));
  if (!retransmits.empty()) parts.push_back("Retransmits: " + join(retransmits, " · "));
  if (d.tx.loss) parts.push_back("Send: " + short_loss_text(*d.tx.loss));
  if (d.rx.loss) parts.push_back("Receive: " + short_loss_text(*d.rx.loss));
  return join(parts, " · ");
}

// The Server page's line about the client whose summary lines came last.
std::string last_client_text(const std::string& peer, const SummaryDetails& d) {
  const std::optional<double> send = d.tx.sender_mbps;
  const std::optional<double> receive = d.bidirectional ? d.rx.receiver_mbps : d.tx.receiver_mbps;
  std::vector<std::string> parts;
  if (send) parts.push_back("send: " + joined(*send));
  if (receive) parts.push_back("receive: " + joined(*receive));
  if (std::string quality = quality_text(d); !quality.empty()) parts.push_back(std::move(quality));
  if (parts.empty()) return "Last client: " + peer;
  return "Last client: " + peer + " — " + join(parts, " · ");
}

class RunTask : public std::enable_shared_from_this<RunTask> {
 public:
  RunTask(VuMeter meter, GtkLabel* status_label, GtkLabel* details_label, GtkButton* start_button,
          std::shared_ptr<RunSlot> run_slot, std::uint64_t run_id, bool is_server,
          std::optional<ConnectTarget> connect)
      : meter_(std::move(meter)),
        status_label_(Ref<GtkWidget>::add(GTK_WIDGET(status_label))),
        details_label_(Ref<GtkWidget>::add(GTK_WIDGET(details_label))),
        start_button_(Ref<GtkWidget>::add(GTK_WIDGET(start_button))),
        run_slot_(std::move(run_slot)),
        run_id_(run_id),
        is_server_(is_server),
        awaiting_result_(!is_server),
        connect_(std::move(connect)) {}
  RunTask(const RunTask&) = delete;
  RunTask& operator=(const RunTask&) = delete;
  ~RunTask() { stop_notice(is_current()); }

  // A task acts only for the page's current run. Once its run was stopped or
  // replaced, whatever it still receives is dropped and the task ends, so a
  // late event never relabels, resets or stops a newer run.
  bool is_current() const { return run_slot_->handle && run_slot_->run_id == run_id_; }

  // Counts the seconds without an answer, for the connect notice. The timer
  // belongs to the task: it goes with the first event, the end of the run or
  // the task itself.
  void start_notice() {
    if (!connect_) return;
    notice_ = g_timeout_source_new(1000);
    g_source_set_callback(notice_, &RunTask::on_notice_tick,
                          new std::weak_ptr<RunTask>(weak_from_this()),
                          [](gpointer p) { delete static_cast<std::weak_ptr<RunTask>*>(p); });
    g_source_attach(notice_, g_main_context_get_thread_default());
  }

  // Applies one event; false when the task is over.
  bool apply(const IperfEvent& event) {
    stop_notice(true);
    if (const auto* e = std::get_if<Interval>(&event)) {
      meter_.set_value(e->mbps);
      if (!is_server_) status("Measuring… peak " + joined(meter_.peak()));
      awaiting_result_ = !is_server_;
    } else if (const auto* e = std::get_if<Summary>(&event)) {
      status("Result — send: " + joined(e->sender_mbps) + " · receive: " + joined(e->receiver_mbps));
    } else if (const auto* e = std::get_if<SummaryDetails>(&event)) {
      details(is_server_ ? last_client_text(peer_, *e) : quality_text(*e));
    } else if (const auto* e = std::get_if<ClientConnected>(&event)) {
      peer_ = e->peer;
      status("Client connected: " + e->peer + " — measuring…");
    } else if (std::holds_alternative<ClientFinished>(event)) {
      meter_.reset();
    } else if (std::holds_alternative<Listening>(event)) {
      if (is_server_) status("Waiting for client connections…");
    } else if (const auto* e = std::get_if<Error>(&event)) {
      status(e->message, true);
      if (!last_error_) last_error_ = e->message;
    } else if (const auto* e = std::get_if<Exited>(&event)) {
      finish(*e);
      return false;
    }
    return true;
  }

 private:
  static gboolean on_notice_tick(gpointer data) noexcept {
    const std::shared_ptr<RunTask> task = static_cast<std::weak_ptr<RunTask>*>(data)->lock();
    return task && task->notice_tick() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }

  bool notice_tick() {
    if (!is_current()) {
      stop_notice(false);  // the page belongs to another run or to none
      return false;
    }
    if (++waited_s_ >= 5) {
      details("No answer yet from " + connect_->server + ", port " + std::to_string(connect_->port) +
              " (" + std::to_string(waited_s_) + " s)");
      notice_shown_ = true;
    }
    return true;
  }

  // Ends the connect notice; with `clear_text`, takes its text away too.
  void stop_notice(bool clear_text) {
    if (notice_) {
      g_source_destroy(notice_);
      g_source_unref(std::exchange(notice_, nullptr));
    }
    if (notice_shown_ && clear_text) details("");
    notice_shown_ = false;
  }

  void status(const std::string& text, bool is_error = false) {
    set_status(status_label_.get(), text, is_error);
    awaiting_result_ = false;
  }
  void details(const std::string& text) { set_details(details_label_.get(), text); }

  void finish(const Exited& e) {
    stop_notice(true);
    const bool awaiting_result = awaiting_result_;
    stop_current_run(*run_slot_);
    meter_.reset();
    apply_look(start_button_.get(), is_server_ ? kServerIdle : kClientIdle);
    if (e.by_signal) {
      status(last_error_ ? "iperf3 error: " + *last_error_
                         : "iperf3 ended unexpectedly (signal " + std::to_string(e.signal) + ").",
             true);
    } else if (e.code == 0) {
      if (awaiting_result) status("iperf3 ended without a result.", true);
    } else if (e.code != -1) {
      status(last_error_ ? "iperf3 error: " + *last_error_
                         : "iperf3 terminated (code " + std::to_string(e.code) + ").",
             true);
    }
  }

  VuMeter meter_;
  Ref<GtkWidget> status_label_;
  Ref<GtkWidget> details_label_;
  Ref<GtkWidget> start_button_;
  std::shared_ptr<RunSlot> run_slot_;
  std::uint64_t run_id_;
  bool is_server_;
  std::optional<std::string> last_error_;  // the run's first error
  // Client page: the status still shows "Connecting…" or the peak, no result.
  bool awaiting_result_;
  std::string peer_;  // Server page: the client the summary lines are about
  std::optional<ConnectTarget> connect_;
  GSource* notice_ = nullptr;
  unsigned waited_s_ = 0;
  bool notice_shown_ = false;
};

}  // namespace

void watch_run(EventReceiver rx, VuMeter meter, GtkLabel* status_label, GtkLabel* details_label,
               GtkButton* start_button, std::shared_ptr<RunSlot> run_slot, std::uint64_t run_id,
               bool is_server, std::optional<ConnectTarget> connect) {
  auto task = std::make_shared<RunTask>(std::move(meter), status_label, details_label, start_button,
                                        std::move(run_slot), run_id, is_server, std::move(connect));
  task->start_notice();
  watch_events(std::move(rx), [task](std::optional<IperfEvent> event) {
    if (!event || !task->is_current()) return false;
    return task->apply(*event);
  });
}

// ---- the window ------------------------------------------------------------

AdwApplicationWindow* build_main_window(AdwApplication* app) {
  auto* window = ADW_APPLICATION_WINDOW(g_object_new(
      ADW_TYPE_APPLICATION_WINDOW, "application", app, "title", "iperf3", "default-width", 560,
      "default-height", 680, "width-request", 400, "height-request", 560, nullptr));
  GtkWidget* stack = adw_view_stack_new();

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
  GtkWidget* test = group("Test", {client->parallel_row.get(), client->reverse_row.get(),
                                   client->bidir_row.get(), client->udp_row.get(),
                                   client->bitrate_row.get(), client->omit_row.get()});
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
  ActionArea client_area = action_area("Ready.", "Start test");
  GtkWidget* client_page =
      page_box(form_box({connection, test, advanced}), client->meter, client_area);
  client->run_slot = std::make_shared<RunSlot>();
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
  ActionArea server_area = action_area("Stopped.", "Start server");
  GtkWidget* server_page = page_box(form_box({server_group}), server->meter, server_area);
  server->run_slot = std::make_shared<RunSlot>();
  server->status_label = server_area.status_label;
  server->details_label = server_area.details_label;
  server->start_button = server_area.start_button;
  g_object_set_data(G_OBJECT(window), kServerFormKey, server);
  const gulong server_handler = g_signal_connect_data(
      server->start_button.get(), "clicked", G_CALLBACK(on_start_server_clicked), server,
      free_form<ServerForm>, GConnectFlags{});

  auto* links = new WindowLinks{client->start_button, server->start_button, client_handler,
                                server_handler, client->run_slot, server->run_slot};
  g_signal_connect_data(window, "destroy", G_CALLBACK(on_window_destroy), links, free_links,
                        GConnectFlags{});

  AdwViewStackPage* page =
      adw_view_stack_add_titled(ADW_VIEW_STACK(stack), client_page, "client", "Client");
  adw_view_stack_page_set_icon_name(page, "network-transmit-symbolic");
  page = adw_view_stack_add_titled(ADW_VIEW_STACK(stack), server_page, "server", "Server");
  adw_view_stack_page_set_icon_name(page, "network-server-symbolic");

  GtkWidget* header = adw_header_bar_new();
  GtkWidget* switcher = GTK_WIDGET(g_object_new(ADW_TYPE_VIEW_SWITCHER, "stack", stack, "policy",
                                                ADW_VIEW_SWITCHER_POLICY_WIDE, nullptr));
  adw_header_bar_set_title_widget(ADW_HEADER_BAR(header), switcher);
  GtkWidget* switcher_bar = GTK_WIDGET(g_object_new(ADW_TYPE_VIEW_SWITCHER_BAR, "stack", stack, nullptr));
  adw_application_window_set_content(window, compat::toolbar_view_new(header, stack, switcher_bar));
  return window;
}

const ClientForm* client_form_of(AdwApplicationWindow* window) {
  return static_cast<const ClientForm*>(g_object_get_data(G_OBJECT(window), kClientFormKey));
}

const ServerForm* server_form_of(AdwApplicationWindow* window) {
  return static_cast<const ServerForm*>(g_object_get_data(G_OBJECT(window), kServerFormKey));
}

}  // namespace trellan
