#include "protocol/ValueLists.h"

#include <charconv>

namespace protocol {
namespace {

// List texts, in protocol order (the position is the value sent).
constexpr std::string_view kBuzzer[] = {"0", "1", "2", "3", "4", "5"};
constexpr std::string_view kBlankFeed[] = {"1行", "2行", "3行", "4行", "5行"};
constexpr std::string_view kDensity[] = {"0", "1", "2", "3", "4", "5", "6",
                                         "7", "8", "9", "10", "11", "12"};
constexpr std::string_view kReprint[] = {"关闭重打", "开启重打"};
constexpr std::string_view kCharacterSet[] = {"简体中文", "繁体中文BIG5", "ASCII", "EUC-KR", "Arabic"};
constexpr std::string_view kPrintSpeed[] = {"MODE 0", "MODE 1", "MODE 2", "MODE 3", "MODE 4", ""};
constexpr std::string_view kEncoding[] = {"UNICODE", "UTF-8"};
constexpr std::string_view kCodePages[] = {
    "PC437(Std.Europe)",
    "Katakana",
    "PC850(Multilingual)",
    "PC860(Portuguese)",
    "PC863(Canadian)",
    "PC865(Nordic)",
    "ISO8859-1,Latin-1 West Europe",
    "ISO8859-7,Greek",
    "ISO8859-8,Hebrew)",
    "ISO8859-2,CP1250,East Europe",
    "Iran",
    "WPC1252",
    "PC866(cyrillic#2)",
    "PC852(Latin2)",
    "PC858",
    "IranII",
    "Latvian",
    "Arabic",
    "CP1251,pt151",
    "PC747",
    "wpc1257",
    "Vietnam",
    "PC864",
    "pc1001",
};

template <std::size_t N>
constexpr ValueList Make(const std::string_view (&entries)[N], int preselected) {
    return ValueList{entries, static_cast<int>(N), preselected};
}

}  // namespace

int ValueList::Find(std::string_view textOrPosition) const {
    for (int i = 0; i < count; ++i) {
        if (entries[i] == textOrPosition) return i;
    }
    int position = -1;
    const char* first = textOrPosition.data();
    const char* last = first + textOrPosition.size();
    auto [end, ec] = std::from_chars(first, last, position);
    if (ec != std::errc() || end != last || textOrPosition.empty()) return -1;
    return position >= 0 && position < count ? position : -1;
}

constinit const ValueList kBuzzerList = Make(kBuzzer, 0);
constinit const ValueList kBlankFeedList = Make(kBlankFeed, -1);
constinit const ValueList kDensityList = Make(kDensity, 1);
constinit const ValueList kReprintList = Make(kReprint, -1);
constinit const ValueList kCharacterSetList = Make(kCharacterSet, 0);
constinit const ValueList kPrintSpeedList = Make(kPrintSpeed, -1);
constinit const ValueList kEncodingList = Make(kEncoding, -1);
constinit const ValueList kCodePageList = Make(kCodePages, 0);

std::string_view UpdateToolCodePage(int position) {
    if (position == kCodePageList.count) return kChinaCodePage;
    return position >= 0 && position < kCodePageList.count ? kCodePageList.entries[position] : std::string_view();
}

std::uint8_t UpdateToolCodePageValue(int position) {
    if (position < 0 || position >= kCodePageList.count) return 0xFF;
    return static_cast<std::uint8_t>(position);
}

}  // namespace protocol
