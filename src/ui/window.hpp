// The main window: two pages (Client, Server), each a settings form above a
// gauge, a status label and a start button; what the start buttons do; and
// the task that follows a run's events (run_watch.cpp).
#pragma once

#include <adwaita.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/address_line.hpp"
#include "ui/run_controls.hpp"
#include "core/gobject.hpp"
#include "process/iperf.hpp"
#include "core/options.hpp"
#include "core/run_record.hpp"
#include "ui/vumeter.hpp"

namespace trellan {

class LinkCheckRun;

// What the Client page's start button hands its click handler.
struct ClientForm {
  std::shared_ptr<RunSlot> run_slot;
  std::shared_ptr<RunLog> run_log;  // the window's, shared by both pages
  VuMeter meter;
  Ref<GtkWidget> start_button;
  Ref<GtkWidget> status_label;
  Ref<GtkWidget> details_label;  // below the status; hidden while empty
  Ref<GtkWidget> server_row;
  Ref<GtkWidget> port_row;
  Ref<GtkWidget> duration_row;
  Ref<GtkWidget> parallel_row;
  Ref<GtkWidget> reverse_row;
  Ref<GtkWidget> bidir_row;
  Ref<GtkWidget> udp_row;
  Ref<GtkWidget> bitrate_row;
  Ref<GtkWidget> omit_row;
  Ref<GtkWidget> ip_version_row;
  Ref<GtkWidget> bind_row;
  Ref<GtkWidget> window_row;
  Ref<GtkWidget> buffer_length_row;
  Ref<GtkWidget> mss_row;
  Ref<GtkWidget> congestion_row;
  Ref<GtkWidget> no_delay_row;
  Ref<GtkWidget> zero_copy_row;
  Ref<GtkWidget> latency_row;
  Ref<GtkWidget> latency_label;  // below the details; hidden while empty
  std::shared_ptr<LinkCheckRun> link_check;  // the "Check link" button's
};

// What the Server page's start button hands its click handler.
struct ServerForm {
  std::shared_ptr<RunSlot> run_slot;
  std::shared_ptr<RunLog> run_log;  // the window's, shared by both pages
  VuMeter meter;
  Ref<GtkWidget> start_button;
  Ref<GtkWidget> status_label;
  Ref<GtkWidget> details_label;  // below the status; hidden while empty
  Ref<GtkWidget> listen_port_row;
  Ref<GtkWidget> bind_row;
  Ref<GtkWidget> one_off_row;
  std::shared_ptr<AddressLine> address_line;  // where clients can connect
};

// Builds a complete main window belonging to `app`, not yet shown.
AdwApplicationWindow* build_main_window(AdwApplication* app);

// Shows the window's Runs page and opens `files` there (file arguments,
// files dropped on the window).
void open_files_in_window(AdwApplicationWindow* window, std::vector<Ref<GFile>> files);

void on_start_test_clicked(GtkButton* button, ClientForm* form) noexcept;
// Starts a client test of `options` on the Client page, with ping's idle
// phase lasting `idle_seconds` when it measures latency.
// `link_check` marks the run as a phase of a link check.
void start_client_test(ClientForm& form, const ClientOptions& options, double idle_seconds,
                       std::optional<LinkCheckMark> link_check = std::nullopt);
void on_start_server_clicked(GtkButton* button, ServerForm* form) noexcept;

// Follows one run's events on the main loop: the session that the page's
// slot holds for run `run_id` decides what the page shows, and the task
// applies it. A run whose session wants the connect notice gets its clock.
void watch_run(EventReceiver rx, PageWidgets page, std::shared_ptr<RunSlot> run_slot, std::uint64_t run_id);

// The forms of a window built by build_main_window, for tests and tooling.
// They live as long as the window's buttons.
const ClientForm* client_form_of(AdwApplicationWindow* window);
const ServerForm* server_form_of(AdwApplicationWindow* window);
// The runs of a window built by build_main_window; lives as long as the window.
std::shared_ptr<RunLog> run_log_of(AdwApplicationWindow* window);

}  // namespace trellan
