// Labels that hold texts of any length: a host typed in the form, a far
// end or an error read from a file.
#pragma once

#include <gtk/gtk.h>

namespace trellan {

// Makes `label` wrap, and wrap anywhere in a line without a break (a long
// name) rather than make the window as wide as that line. Each paragraph
// shows at most `lines` lines, the last ellipsized as `ellipsize` says:
// GTK measures a label that wraps at any character in time that grows with
// the square of its text unless its lines are limited so. The text itself
// is kept short by shown_text or shown_name.
inline void hold_any_text(GtkWidget* label, int lines = 8, PangoEllipsizeMode ellipsize = PANGO_ELLIPSIZE_END) {
  GtkLabel* l = GTK_LABEL(label);
  gtk_label_set_wrap(l, TRUE);
  gtk_label_set_wrap_mode(l, PANGO_WRAP_WORD_CHAR);
  gtk_label_set_ellipsize(l, ellipsize);
  gtk_label_set_lines(l, lines);
}

}  // namespace trellan
