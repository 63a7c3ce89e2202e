// Start-up: the application identifier, the icon search paths and the
// handlers of the application's "startup" and "activate" signals.
#pragma once

#include <adwaita.h>

#include <optional>
#include <string>
#include <string_view>

namespace trellan {

inline constexpr const char* APP_ID = "org.trellan.Trellan";

// The icon directory beside an installed or built executable: three levels
// up from the executable's path, then "data/icons" (/A/B/C/prog gives
// /A/data/icons). Nothing when the path is not absolute or too shallow.
std::optional<std::string> exe_relative_icon_dir(std::string_view exe_path);

void on_startup(AdwApplication* app, gpointer) noexcept;
void on_activate(AdwApplication* app, gpointer) noexcept;
// `trellan FILE…`, and files handed on by a second launch: they open in
// the window there is, or in a new one.
void on_open(AdwApplication* app, GFile** files, int n_files, const char* hint, gpointer) noexcept;

}  // namespace trellan
