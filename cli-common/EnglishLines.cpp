#include "cli-common/EnglishLines.h"

#include "base/Text.h"

namespace cli {

namespace {

struct EnglishLine {
    std::string_view text;
    std::string_view english;
};

// Every Chinese-only text a command line shows, worded once.
constexpr EnglishLine kEnglishLines[] = {
    {"网络连接失败", "network connection failed"},
    {"网络连接失败,请确定IP地址是否与电脑同一网段",
     "network connection failed; check that the IP address is in the same network segment as the computer"},
    {"下载程序完成，打印机自动重启（请勿关闭电源）",
     "download complete; the printer restarts by itself (do not switch off its power)"},
    {"IP 地址重复 请先设IP 地址", "the IP address is duplicated; set the IP address first"},
    {"ERROR 请选择设备", "ERROR: choose a device"},
};

}  // namespace

std::string_view EnglishLineFor(std::string_view text) {
    for (const EnglishLine& line : kEnglishLines)
        if (line.text == text) return line.english;
    return {};
}

bool ChineseLocale() {
    return std::string_view(base::LocaleName(base::LocaleCategory::Messages)).substr(0, 2) == "zh";
}

}  // namespace cli
