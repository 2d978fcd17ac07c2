#include "base/Text.h"

#include <cstdlib>

namespace base {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string LocaleName(LocaleCategory category) {
    const char* middle = category == LocaleCategory::Messages ? "LC_MESSAGES" : "LC_CTYPE";
    for (const char* variable : {"LC_ALL", middle, "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') return value;
    }
    return {};
}

}  // namespace base
