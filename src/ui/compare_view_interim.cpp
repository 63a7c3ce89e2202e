// INTERIM, to be dropped when the real comparison view is merged: a box
// that names the runs it is given, so that the Runs page has its widget.
#include <string>

#include "core/run_words.hpp"
#include "ui/compare_view.hpp"

namespace trellan {

GtkWidget* compare_view_new() {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  return label;
}

void compare_view_set_runs(GtkWidget* view, std::vector<std::shared_ptr<const RunRecord>> runs) {
  std::string text = "Comparing:";
  for (const auto& run : runs) text += "\n" + run_title(*run);
  gtk_label_set_text(GTK_LABEL(view), text.c_str());
}

}  // namespace trellan
