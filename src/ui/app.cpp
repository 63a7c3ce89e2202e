#include "ui/app.hpp"

#include <unistd.h>

#include <vector>

#include "process/tool_version.hpp"
#include "ui/window.hpp"

namespace trellan {
namespace {

// The parent directory of an absolute path; nothing for the root itself.
std::optional<std::string_view> parent_of(std::string_view path) {
  if (path == "/") return std::nullopt;
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  return slash == 0 ? std::string_view("/") : path.substr(0, slash);
}

std::optional<std::string> own_executable_path() {
  std::string buf(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

}  // namespace

std::optional<std::string> exe_relative_icon_dir(std::string_view exe_path) {
  if (exe_path.empty() || exe_path.front() != '/') return std::nullopt;
  std::optional<std::string_view> dir = parent_of(exe_path);
  for (int up = 0; up < 2 && dir; ++up) dir = parent_of(*dir);
  if (!dir) return std::nullopt;
  std::string result(*dir);
  if (result.back() != '/') result += '/';
  return result + "data/icons";
}

void on_startup(AdwApplication*, gpointer) noexcept {
  if (GdkDisplay* display = gdk_display_get_default()) {
    GtkIconTheme* theme = gtk_icon_theme_get_for_display(display);
    std::vector<std::string> paths{"data/icons"};
    if (auto exe = own_executable_path())
      if (auto dir = exe_relative_icon_dir(*exe)) paths.push_back(std::move(*dir));
    for (const std::string& path : paths) gtk_icon_theme_add_search_path(theme, path.c_str());
  }
  gtk_window_set_default_icon_name(APP_ID);
  ask_iperf_version();  // for the runs' reports, well before the first copy
}

void on_activate(AdwApplication* app, gpointer) noexcept {
  AdwApplicationWindow* window = build_main_window(app);
  gtk_window_set_icon_name(GTK_WINDOW(window), APP_ID);
  gtk_window_present(GTK_WINDOW(window));
}

void on_open(AdwApplication* app, GFile** files, int n_files, const char*, gpointer) noexcept {
  GtkWindow* window = gtk_application_get_active_window(GTK_APPLICATION(app));
  if (!window || !ADW_IS_APPLICATION_WINDOW(window)) {
    window = GTK_WINDOW(build_main_window(app));
    gtk_window_set_icon_name(window, APP_ID);
  }
  std::vector<Ref<GFile>> opened;
  for (int i = 0; i < n_files; ++i) opened.push_back(Ref<GFile>::add(files[i]));
  open_files_in_window(ADW_APPLICATION_WINDOW(window), std::move(opened));
  gtk_window_present(window);
}

}  // namespace trellan
