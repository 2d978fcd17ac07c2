#include "cli-common/Values.h"

#include <charconv>
#include <cstdio>

namespace cli {

std::optional<long> ParseNumber(std::string_view text, long low, long high) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value < low || value > high) return std::nullopt;
    return value;
}

std::optional<protocol::Ipv4> ParseIpv4(std::string_view text) {
    protocol::Ipv4 ip{};
    for (std::size_t i = 0; i < ip.size(); ++i) {
        const auto dot = text.find('.');
        const bool last = i + 1 == ip.size();
        if (last != (dot == std::string_view::npos)) return std::nullopt;
        const std::string_view part = last ? text : text.substr(0, dot);
        if (part.size() > 3) return std::nullopt;
        const auto octet = ParseNumber(part, 0, 255);
        if (!octet) return std::nullopt;
        ip[i] = static_cast<std::uint8_t>(*octet);
        if (!last) text.remove_prefix(dot + 1);
    }
    return ip;
}

namespace {

// The digits an entry starts with when a unit follows them ("1" of "1行"), else empty.
std::string_view NumberBeforeUnit(std::string_view entry) {
    std::size_t digits = 0;
    while (digits < entry.size() && entry[digits] >= '0' && entry[digits] <= '9') ++digits;
    if (digits == 0 || digits == entry.size()) return {};
    return entry.substr(0, digits);
}

}  // namespace

bool NumbersWithUnit(const protocol::ValueList& list) {
    if (list.count == 0) return false;
    for (std::string_view entry : list)
        if (NumberBeforeUnit(entry).empty()) return false;
    return true;
}

int ListPosition(const protocol::ValueList& list, std::string_view value) {
    for (int i = 0; i < list.count; ++i)
        if (list.entries[i] == value) return i;
    if (!ParseNumber(value, 0, 999999)) return -1;
    if (NumbersWithUnit(list)) {
        for (int i = 0; i < list.count; ++i)
            if (NumberBeforeUnit(list.entries[i]) == value) return i;
        return -1;
    }
    return list.Find(value);
}

std::vector<std::string> SplitMacBoxes(const std::vector<std::string>& args) {
    if (args.size() == 6) return args;
    if (args.size() != 1) return {};
    std::vector<std::string> parts(1);
    for (char c : args[0]) {
        if (c == ':' || c == '-') {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts.size() == 6 ? parts : std::vector<std::string>{};
}

std::optional<protocol::Mac> MacFromBoxes(const std::vector<std::string>& boxes, std::size_t* badBox) {
    protocol::Mac mac{};
    if (boxes.size() != mac.size()) return std::nullopt;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        const auto byte = protocol::HexBoxToByte(boxes[i]);
        if (!byte) {
            if (badBox != nullptr) *badBox = i;
            return std::nullopt;
        }
        mac[i] = *byte;
    }
    return mac;
}

std::optional<protocol::Mac> ParseMac(std::string_view text) {
    const auto boxes = SplitMacBoxes({std::string(text)});
    if (boxes.empty()) return std::nullopt;
    return MacFromBoxes(boxes);
}

std::string MacBoxesText(const protocol::Mac& mac) {
    char text[24];
    std::snprintf(text, sizeof text, "%x:%x:%x:%x:%x:%x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

std::string MacText(const protocol::Mac& mac) {
    char text[24];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

}  // namespace cli
