#pragma once
// The windows' texts that are Chinese only, and the English line a command
// line prints after each of them unless the locale is Chinese. A text that
// carries its own English half ("...,Fail to connect") has no entry.
#include <string_view>

namespace cli {

// The English line for a window's text (without its line end), or empty when
// it has none.
std::string_view EnglishLineFor(std::string_view text);

// True when the messages' locale is Chinese: the first of LC_ALL, LC_MESSAGES
// and LANG that is set and not empty starts with "zh".
bool ChineseLocale();

}  // namespace cli
