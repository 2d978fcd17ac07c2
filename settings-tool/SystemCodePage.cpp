#include "settings-tool/SystemCodePage.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

#include "base/Text.h"

namespace cadmon {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Bytes of the one character at `text` that could not be converted: its lead
// byte and the continuation bytes that follow it, never more than the lead
// byte announces (a broken sequence does not swallow the next character).
std::size_t CharacterLength(const char* text, std::size_t available) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t expected = 1;
    if (lead >= 0xF0 && lead <= 0xF4) expected = 4;
    else if (lead >= 0xE0 && lead <= 0xEF) expected = 3;
    else if (lead >= 0xC2 && lead <= 0xDF) expected = 2;
    std::size_t length = 1;
    while (length < expected && length < available &&
           (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
        ++length;
    }
    return length;
}

}  // namespace

std::string CodePageForLocale(std::string_view locale) {
    // "zh_CN.UTF-8@modifier": only language and territory matter.
    const auto end = locale.find_first_of(".@");
    const std::string_view name = locale.substr(0, end);
    if (name == "zh_CN" || name == "zh_SG" || name == "zh") return "CP936";
    if (name == "zh_TW" || name == "zh_HK" || name == "zh_MO") return "CP950";
    if (name == "ja" || StartsWith(name, "ja_")) return "CP932";
    if (name == "ko" || StartsWith(name, "ko_")) return "CP949";
    if (name == "ru" || StartsWith(name, "ru_")) return "CP1251";
    return "CP1252";
}

std::string LocaleFromEnvironment() {
    std::string name = base::LocaleName(base::LocaleCategory::CType);
    return name.empty() ? "C" : name;
}

std::string SystemCodePage() { return CodePageForLocale(LocaleFromEnvironment()); }

std::optional<ConvertedText> ConvertToCodePage(std::string_view utf8, const std::string& codePage) {
    iconv_t cd = iconv_open(codePage.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    ConvertedText result;
    std::vector<char> input(utf8.begin(), utf8.end());
    char* in = input.data();
    std::size_t inLeft = input.size();
    std::vector<char> output(input.size() * 2 + 16);
    while (inLeft > 0) {
        char* out = output.data();
        std::size_t outLeft = output.size();
        const std::size_t rc = iconv(cd, &in, &inLeft, &out, &outLeft);
        result.bytes.append(output.data(), static_cast<std::size_t>(out - output.data()));
        if (rc != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // EILSEQ (no such character in the code page, or bad UTF-8) or EINVAL
        // (a sequence cut short at the end): send '?' for that one character.
        const std::size_t skip = CharacterLength(in, inLeft);
        in += skip;
        inLeft -= skip;
        result.bytes.push_back('?');
        ++result.replaced;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return result;
}

}  // namespace cadmon
