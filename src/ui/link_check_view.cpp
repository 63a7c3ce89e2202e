#include "ui/link_check_view.hpp"

#include <adwaita.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/latency_text.hpp"
#include "core/run_words.hpp"
#include "ui/clipboard_text.hpp"
#include "ui/label_text.hpp"

namespace trellan {

namespace {

constexpr const char* kPhaseNames[3] = {"Download phase", "Upload phase", "Both ways phase"};
constexpr const char* kViewKey = "trellan-link-check-view";

LinkCheckView* view_of(GtkWidget* w) {
  return static_cast<LinkCheckView*>(g_object_get_data(G_OBJECT(w), kViewKey));
}

Ref<GtkWidget> text_label(const char* css) {
  auto l = Ref<GtkWidget>::sink(gtk_label_new(nullptr));
  wrap_anywhere(l.get());
  gtk_label_set_xalign(GTK_LABEL(l.get()), 0.0f);
  gtk_label_set_selectable(GTK_LABEL(l.get()), TRUE);
  if (css) gtk_widget_add_css_class(l.get(), css);
  return l;
}

bool dark() { return adw_is_initialized() && adw_style_manager_get_dark(adw_style_manager_get_default()); }

// One labelled bar: its name on the left, the bar from `x0` scaled to
// `value / full`, and its figure after it.
void bar(cairo_t* cr, double x0, double y, double width, double height, const std::string& name,
         std::optional<double> value, double full, const std::string& figure, const double rgb[3], bool dark) {
  const double ink = dark ? 0.92 : 0.13;
  cairo_set_source_rgb(cr, ink, ink, ink);
  cairo_move_to(cr, 8, y + height * 0.75);
  cairo_show_text(cr, name.c_str());
  const double room = std::max(0.0, width - x0 - 110);
  const double w = value && full > 0 ? std::clamp(*value / full, 0.0, 1.0) * room : 0;
  cairo_set_source_rgb(cr, rgb[0], rgb[1], rgb[2]);
  cairo_rectangle(cr, x0, y, std::max(w, value ? 2.0 : 0.0), height);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, ink, ink, ink);
  cairo_move_to(cr, x0 + w + 6, y + height * 0.75);
  cairo_show_text(cr, figure.c_str());
}

void draw_summary(GtkDrawingArea*, cairo_t* cr, int width, int height, gpointer data) noexcept {
  const LinkCheckFigures& f = static_cast<LinkCheckView*>(data)->figures();
  const bool is_dark = dark();
  cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 12);
  // Send blue and receive orange, as on the chart: download is received.
  static constexpr double kUp[3] = {0.13, 0.45, 0.71}, kDown[3] = {0.90, 0.50, 0.10}, kLatency[3] = {0.55, 0.55, 0.60};
  const double x0 = 110, row = std::max(14.0, (height - 24) / 7.0), h = row * 0.7;
  const double rate_full = std::max(f.download_mbps.value_or(0), f.upload_mbps.value_or(0));
  auto rate = [](std::optional<double> v) { return v ? rate_text(*v) : std::string("—"); };
  bar(cr, x0, 4, width, h, "Download", f.download_mbps, rate_full, rate(f.download_mbps), kDown, is_dark);
  bar(cr, x0, 4 + row, width, h, "Upload", f.upload_mbps, rate_full, rate(f.upload_mbps), kUp, is_dark);
  double ms_full = f.idle_ms.value_or(0);
  for (const auto& m : f.loaded_ms) ms_full = std::max(ms_full, m.value_or(0));
  auto ms = [](std::optional<double> v) { return v ? ms_text(*v) + " ms" : std::string("—"); };
  const char* names[4] = {"Idle", "Downloading", "Uploading", "Both ways"};
  const std::optional<double> values[4] = {f.idle_ms, f.loaded_ms[0], f.loaded_ms[1], f.loaded_ms[2]};
  const double y = 12 + 2 * row;
  for (int i = 0; i < 4; ++i)
    bar(cr, x0, y + (i + 1) * row, width, h, names[i], values[i], ms_full, ms(values[i]), kLatency, is_dark);
  const double ink = is_dark ? 0.92 : 0.13;
  cairo_set_source_rgb(cr, ink, ink, ink);
  cairo_move_to(cr, 8, y + row * 0.75);
  cairo_show_text(cr, f.grade ? ("Latency (median), bufferbloat grade " + std::string(grade_text(*f.grade))).c_str()
                              : "Latency (median)");
}

void on_phase_toggled(GtkToggleButton* button, gpointer) noexcept {
  LinkCheckView* view = view_of(GTK_WIDGET(button));
  if (!view || !gtk_toggle_button_get_active(button)) return;
  const auto id = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(button), "trellan-run-id"));
  if (auto* show = static_cast<std::function<void(std::uint64_t)>*>(
          g_object_get_data(G_OBJECT(button), "trellan-show-phase"));
      show && id && !g_object_get_data(G_OBJECT(button), "trellan-updating"))
    (*show)(id);
}

}  // namespace

LinkCheckView::LinkCheckView(std::function<void(std::uint64_t)> show_phase,
                             std::function<void(const std::string&)> told)
    : show_phase_(std::move(show_phase)), told_(std::move(told)) {
  box_ = Ref<GtkWidget>::sink(gtk_box_new(GTK_ORIENTATION_VERTICAL, 8));
  heading_ = text_label("title-4");
  gtk_label_set_selectable(GTK_LABEL(heading_.get()), FALSE);
  outcome_ = text_label(nullptr);
  grade_ = text_label("caption");
  area_ = Ref<GtkWidget>::sink(
      GTK_WIDGET(g_object_new(GTK_TYPE_DRAWING_AREA, "accessible-role", GTK_ACCESSIBLE_ROLE_IMG, nullptr)));
  gtk_drawing_area_set_content_height(GTK_DRAWING_AREA(area_.get()), 170);
  gtk_widget_set_hexpand(area_.get(), TRUE);
  gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(area_.get()), draw_summary, this, nullptr);
  gtk_accessible_update_property(GTK_ACCESSIBLE(area_.get()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 "Link check summary", -1);
  GtkWidget* phases = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  gtk_widget_add_css_class(phases, "linked");
  gtk_accessible_update_property(GTK_ACCESSIBLE(phases), GTK_ACCESSIBLE_PROPERTY_LABEL, "Phases", -1);
  const char* shown[3] = {"Download", "Upload", "Both ways"};
  for (int i = 0; i < 3; ++i) {
    GtkWidget* b = gtk_toggle_button_new_with_label(shown[i]);
    gtk_accessible_update_property(GTK_ACCESSIBLE(b), GTK_ACCESSIBLE_PROPERTY_LABEL, kPhaseNames[i], -1);
    if (i > 0) gtk_toggle_button_set_group(GTK_TOGGLE_BUTTON(b), GTK_TOGGLE_BUTTON(phase_buttons_[0]));
    g_object_set_data(G_OBJECT(b), kViewKey, this);
    g_object_set_data(G_OBJECT(b), "trellan-show-phase", &show_phase_);
    g_signal_connect(b, "toggled", G_CALLBACK(on_phase_toggled), nullptr);
    gtk_box_append(GTK_BOX(phases), b);
    phase_buttons_[i] = b;
  }
  GtkWidget* copies = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  for (bool csv : {false, true}) {
    GtkWidget* b = gtk_button_new_with_label(csv ? "Copy link check as CSV" : "Copy link check as text");
    g_object_set_data(G_OBJECT(b), kViewKey, this);
    g_signal_connect(b, "clicked", G_CALLBACK(+[](GtkButton* b, gpointer csv) noexcept {
                       if (LinkCheckView* view = view_of(GTK_WIDGET(b))) {
                         try {
                           view->copy(csv != nullptr);
                         } catch (...) {
                           // Nothing was copied.
                         }
                       }
                     }),
                     csv ? GINT_TO_POINTER(1) : nullptr);
    gtk_box_append(GTK_BOX(copies), b);
  }
  GtkWidget* frame = gtk_frame_new(nullptr);
  gtk_widget_add_css_class(frame, "card");
  gtk_frame_set_child(GTK_FRAME(frame), area_.get());
  for (GtkWidget* w : {heading_.get(), outcome_.get(), frame, grade_.get(), phases, copies})
    gtk_box_append(GTK_BOX(box_.get()), w);
  gtk_widget_set_visible(box_.get(), FALSE);
}

LinkCheckView::~LinkCheckView() {
  gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(area_.get()), nullptr, nullptr, nullptr);
  for (GtkWidget* b : phase_buttons_) g_object_set_data(G_OBJECT(b), kViewKey, nullptr);
  for (GtkWidget* c = gtk_widget_get_last_child(box_.get()); c; c = gtk_widget_get_prev_sibling(c))
    for (GtkWidget* b = gtk_widget_get_first_child(c); b; b = gtk_widget_get_next_sibling(b))
      g_object_set_data(G_OBJECT(b), kViewKey, nullptr);
}

void LinkCheckView::show(const LinkCheckRuns& runs, std::uint64_t shown) {
  gtk_widget_set_visible(box_.get(), runs.first != nullptr);
  if (!runs.first) return;
  figures_ = link_check_figures(runs);
  gtk_label_set_text(GTK_LABEL(heading_.get()), link_check_title(*runs.first).c_str());
  gtk_label_set_text(GTK_LABEL(outcome_.get()), link_check_outcome(runs).c_str());
  const std::string grade = figures_.grade ? link_grade_text(grade_text(*figures_.grade), grade_meaning(*figures_.grade))
                                           : std::string();
  gtk_label_set_text(GTK_LABEL(grade_.get()), grade.c_str());
  gtk_widget_set_visible(grade_.get(), !grade.empty());
  gtk_accessible_update_property(GTK_ACCESSIBLE(area_.get()), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 link_check_description(figures_).c_str(), -1);
  gtk_widget_queue_draw(area_.get());
  const RunRecord* phases[3] = {runs.download, runs.upload, runs.both};
  for (int i = 0; i < 3; ++i) {
    GtkWidget* b = phase_buttons_[i];
    phase_ids_[i] = phases[i] ? phases[i]->id : 0;
    g_object_set_data(G_OBJECT(b), "trellan-run-id", GSIZE_TO_POINTER(phase_ids_[i]));
    gtk_widget_set_sensitive(b, phases[i] != nullptr);
    g_object_set_data(G_OBJECT(b), "trellan-updating", GINT_TO_POINTER(1));
    if (phases[i] && phases[i]->id == shown) gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(b), TRUE);
    g_object_set_data(G_OBJECT(b), "trellan-updating", nullptr);
  }
  text_ = link_check_text(runs);
  csv_ = link_check_csv(link_check_results(runs));
}

void LinkCheckView::copy(bool csv) {
  set_clipboard_text(gtk_widget_get_clipboard(box_.get()), csv ? csv_ : text_);
  if (told_) told_(csv ? "Copied the link check as CSV" : "Copied the link check as text");
}

}  // namespace trellan
