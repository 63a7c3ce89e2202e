// Labels that hold texts of any length: a host typed in the form, a far
// end or an error read from a file.
#pragma once

#include <gtk/gtk.h>

namespace trellan {

// Makes `label` wrap, and wrap anywhere in a line without a break (a long
// name) rather than make the window as wide as that line. GTK measures
// such a label in time that grows with the square of its longest
// paragraph: its text is kept short by shown_text or shown_name.
inline void wrap_anywhere(GtkWidget* label) {
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
}

// As wrap_anywhere, for a label that is not selectable: each paragraph
// shows at most `lines` lines, the last ellipsized as `ellipsize` says,
// which keeps GTK's measuring linear in the text. (A selectable label
// ellipsized so copies its selection short in GTK 4.8.)
inline void hold_any_text(GtkWidget* label, int lines = 8, PangoEllipsizeMode ellipsize = PANGO_ELLIPSIZE_END) {
  wrap_anywhere(label);
  gtk_label_set_ellipsize(GTK_LABEL(label), ellipsize);
  gtk_label_set_lines(GTK_LABEL(label), lines);
}

}  // namespace trellan
