#pragma once
// Small text helpers that every floor may use.
#include <string>
#include <string_view>

namespace base {

// ASCII lower case ("VID_0418" -> "vid_0418"); every other byte, UTF-8
// sequences included, stays as it is.
std::string Lower(std::string_view text);

// The locale category whose name is asked for.
enum class LocaleCategory { Messages, CType };

// The name of the locale in effect for a category, as the C library picks
// it: the first of LC_ALL, then LC_MESSAGES (or LC_CTYPE), then LANG that is
// set and not empty ("zh_CN.UTF-8"). Empty when none is.
std::string LocaleName(LocaleCategory category);

}  // namespace base
