#pragma once
// Text sent to a printer travels in the system's single-byte ("ANSI") code
// page: the code page a desktop of the same locale would use. The locale comes
// from LC_ALL, then LC_CTYPE, then LANG (the first one set and not empty):
//   zh_CN, zh_SG -> CP936 (GBK)   zh_TW, zh_HK, zh_MO -> CP950 (Big5)
//   ja -> CP932   ko -> CP949   ru -> CP1251   anything else (C, POSIX, en_US...) -> CP1252
// Input text is UTF-8.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace cadmon {

// iconv name of the code page for a locale name such as "zh_CN.UTF-8".
std::string CodePageForLocale(std::string_view locale);

// The locale name from the environment (LC_ALL, LC_CTYPE, LANG), "C" when none is set.
std::string LocaleFromEnvironment();

// CodePageForLocale(LocaleFromEnvironment()).
std::string SystemCodePage();

struct ConvertedText {
    std::string bytes;          // the text in the target code page
    std::size_t replaced = 0;   // characters the code page lacks (or invalid UTF-8), sent as '?'
};

// Converts UTF-8 text to `codePage` (an iconv name). A character the code page
// cannot represent becomes '?', as the desktop conversion does. Empty when
// iconv does not know the code page.
std::optional<ConvertedText> ConvertToCodePage(std::string_view utf8, const std::string& codePage);

}  // namespace cadmon
