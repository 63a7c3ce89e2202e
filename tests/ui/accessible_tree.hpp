// The accessible tree of a window as a screen reader meets it, for tests
// that run with GTK's test accessibility backend.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

namespace trellan::testing {

inline std::string role_name(GtkAccessibleRole role) {
  auto* type = static_cast<GEnumClass*>(g_type_class_ref(GTK_TYPE_ACCESSIBLE_ROLE));
  const GEnumValue* value = g_enum_get_value(type, role);
  std::string name = value ? value->value_nick : "?";
  g_type_class_unref(type);
  return name;
}

// One object of the accessible tree, and whether a screen reader can get to
// it: an object with role "none" or "presentation", or a hidden one, keeps
// itself and everything below it out of reach.
struct Node {
  GtkAccessible* accessible;
  GtkAccessibleRole role;
  std::string hidden_by;  // empty when reachable
  bool reachable() const { return hidden_by.empty(); }
};

// Why `a` keeps itself and its subtree out of reach, or empty.
inline std::string hides_subtree(GtkAccessible* a, GtkAccessibleRole role) {
  const std::string who = G_OBJECT_TYPE_NAME(a);
  if (role == GTK_ACCESSIBLE_ROLE_NONE || role == GTK_ACCESSIBLE_ROLE_PRESENTATION)
    return who + " with role " + role_name(role);
  if (GTK_IS_WIDGET(a) && !gtk_widget_get_visible(GTK_WIDGET(a))) return who + ", not visible";
  if (gtk_test_accessible_has_state(a, GTK_ACCESSIBLE_STATE_HIDDEN)) {
    char* differs = gtk_test_accessible_check_state(a, GTK_ACCESSIBLE_STATE_HIDDEN, TRUE);
    g_free(differs);
    if (!differs) return who + ", hidden";
  }
  return "";
}

// The accessible children of `a`; GTK before 4.10 has no API for them, and
// there the widget tree is the accessible tree.
inline std::vector<GtkAccessible*> accessible_children(GtkAccessible* a) {
  std::vector<GtkAccessible*> out;
#if GTK_CHECK_VERSION(4, 10, 0)
  for (GtkAccessible* c = gtk_accessible_get_first_accessible_child(a); c;) {
    out.push_back(c);
    GtkAccessible* next = gtk_accessible_get_next_accessible_sibling(c);
    g_object_unref(c);  // the widget tree keeps it alive
    c = next;
  }
#else
  if (GTK_IS_WIDGET(a))
    for (GtkWidget* c = gtk_widget_get_first_child(GTK_WIDGET(a)); c; c = gtk_widget_get_next_sibling(c))
      out.push_back(GTK_ACCESSIBLE(c));
#endif
  return out;
}

inline void walk(GtkAccessible* a, const std::string& parent_hidden_by, std::vector<Node>& out) {
  const GtkAccessibleRole role = gtk_accessible_get_accessible_role(a);
  const std::string hidden_by = parent_hidden_by.empty() ? hides_subtree(a, role) : parent_hidden_by;
  out.push_back({a, role, hidden_by});
  for (GtkAccessible* c : accessible_children(a)) walk(c, hidden_by, out);
}

}  // namespace trellan::testing
