#pragma once
// The drop-down lists whose positions are sent to the printer (UTF-8 texts).
// The order of each list is part of the protocol.
#include <array>
#include <cstdint>
#include <string_view>

namespace protocol {

struct ValueList {
    const std::string_view* entries;
    int count;
    int preselected;  // -1: nothing chosen at start
    const std::string_view* begin() const { return entries; }
    const std::string_view* end() const { return entries + count; }
    // Position of an entry given as its text, or as a decimal position; -1 if none.
    int Find(std::string_view textOrPosition) const;
};

extern const ValueList kBuzzerList;        // "0".."5", preselected "0"
extern const ValueList kBlankFeedList;     // "1行".."5行", nothing preselected
extern const ValueList kDensityList;       // "0".."12", preselected "1"
extern const ValueList kReprintList;       // "关闭重打", "开启重打"
extern const ValueList kCharacterSetList;  // "简体中文", "繁体中文BIG5", "ASCII", "EUC-KR", "Arabic"
extern const ValueList kPrintSpeedList;    // "MODE 0".."MODE 4", ""
extern const ValueList kEncodingList;      // "UNICODE", "UTF-8" (no message)
extern const ValueList kCodePageList;      // the 24 code pages, preselected "PC437(Std.Europe)"

// The update tool's code page list: the 24 code pages, then "China", which is
// sent as FF like no choice at all.
inline constexpr std::string_view kChinaCodePage = "China";
inline constexpr int kUpdateToolCodePageCount = 25;
std::string_view UpdateToolCodePage(int position);   // the entry at `position` (0..24)
std::uint8_t UpdateToolCodePageValue(int position);  // position, or FF for "China" and -1

}  // namespace protocol
