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
  // A stack's children are its pages, and each page holds its widget.
  if (GTK_IS_STACK(a)) {
    GListModel* pages = G_LIST_MODEL(gtk_stack_get_pages(GTK_STACK(a)));
    for (guint i = 0; i < g_list_model_get_n_items(pages); ++i) {
      auto* page = GTK_STACK_PAGE(g_list_model_get_item(pages, i));
      out.push_back(GTK_ACCESSIBLE(page));
      g_object_unref(page);  // the stack keeps it alive
    }
    g_object_unref(pages);
  } else if (GTK_IS_STACK_PAGE(a)) {
    out.push_back(GTK_ACCESSIBLE(gtk_stack_page_get_child(GTK_STACK_PAGE(a))));
  } else if (GTK_IS_WIDGET(a)) {
    for (GtkWidget* c = gtk_widget_get_first_child(GTK_WIDGET(a)); c; c = gtk_widget_get_next_sibling(c))
      out.push_back(GTK_ACCESSIBLE(c));
  }
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

namespace trellan::testing {

// The text of a string property of `a`, or empty when it has none. The
// test backend answers only whether a value matches; the text is read from
// its answer to a value `a` does not have: "... but got 'TEXT'".
inline std::string property_text(GtkAccessible* a, GtkAccessibleProperty property) {
  if (!gtk_test_accessible_has_property(a, property)) return "";
  char* differs = gtk_test_accessible_check_property(a, property, "\x01");
  std::string text = differs ? differs : "";
  g_free(differs);
  const auto open = text.rfind("got '");
  return open == std::string::npos ? text : text.substr(open + 5, text.size() - open - 6);
}

// What `a` labels itself with: its label, or a label widget's text.
inline std::string own_label(GtkAccessible* a) {
  std::string text = property_text(a, GTK_ACCESSIBLE_PROPERTY_LABEL);
  if (text.empty() && GTK_IS_LABEL(a)) text = gtk_label_get_text(GTK_LABEL(a));
  return text;
}

// The widget in `widgets` that alone labels `a`, if one does.
inline GtkWidget* labelled_by(GtkAccessible* a, const std::vector<GtkWidget*>& widgets) {
  if (!gtk_test_accessible_has_relation(a, GTK_ACCESSIBLE_RELATION_LABELLED_BY)) return nullptr;
  for (GtkWidget* w : widgets) {
    if (GTK_ACCESSIBLE(w) == a) continue;
    char* differs = gtk_test_accessible_check_relation(a, GTK_ACCESSIBLE_RELATION_LABELLED_BY, w, nullptr);
    g_free(differs);
    if (!differs) return w;
  }
  return nullptr;
}

// The name a screen reader hears for `a`, as GTK puts it together: GTK
// before 4.14 says the object's own label and then what labels it, one
// after the other; later GTK takes what labels it first and its own label
// only without that. `widgets` holds every widget that may label it.
inline std::string spoken_name(GtkAccessible* a, const std::vector<GtkWidget*>& widgets) {
  const std::string own = own_label(a);
  std::string related;
  if (gtk_test_accessible_has_relation(a, GTK_ACCESSIBLE_RELATION_LABELLED_BY)) {
    GtkWidget* by = labelled_by(a, widgets);
    related = by ? own_label(GTK_ACCESSIBLE(by)) : "(labelled by several)";
  }
#if GTK_CHECK_VERSION(4, 14, 0)
  return related.empty() ? own : related;
#else
  if (own.empty() || related.empty()) return own + related;
  return own + " " + related;
#endif
}

inline void all_widgets(GtkWidget* w, std::vector<GtkWidget*>& out) {
  out.push_back(w);
  for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c)) all_widgets(c, out);
}

// Whether `name` is one text said twice in a row ("Port Port").
inline bool said_twice(const std::string& name) {
  if (name.size() < 3 || name.size() % 2 == 0) return false;
  const std::size_t half = name.size() / 2;
  return name[half] == ' ' && name.compare(0, half, name, half + 1, half) == 0;
}

}  // namespace trellan::testing
