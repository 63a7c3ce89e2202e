// Locale-independent text helpers shared by the parser and the forms.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace trellan {

// Removes characters with the Unicode White_Space property (UTF-8) at both ends.
std::string_view trim_ws(std::string_view s);
// Maximal runs of non-White_Space characters.
std::vector<std::string_view> split_ws(std::string_view s);
// A whole decimal floating-point number ("1.5", "-2e3", "inf", "NaN"...),
// independent of the process locale.
std::optional<double> parse_double(std::string_view s);

}  // namespace trellan
