#pragma once
// Reading the command line's values: addresses, MAC boxes, numbers.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/SettingsCommands.h"

namespace cadmon {

// Dotted decimal "192.168.0.1": exactly four decimal octets 0..255.
std::optional<protocol::Ipv4> ParseIpv4(std::string_view text);

// Decimal number within [low, high].
std::optional<long> ParseNumber(std::string_view text, long low, long high);

// The six MAC boxes, given either as six arguments ("0 1a b FF 7 c0") or as
// one argument with ':' or '-' between the boxes ("0:1a:b:FF:7:c0").
struct MacBoxes {
    std::vector<std::string> boxes;  // as given; empty when the count is wrong
};
MacBoxes SplitMacBoxes(const std::vector<std::string>& args);

// Converts the boxes with the hex-box rule. On the first box that is not one
// or two hexadecimal digits, `badBox` gets its index and nothing is returned.
std::optional<protocol::Mac> MacFromBoxes(const std::vector<std::string>& boxes, std::size_t* badBox);

std::string FormatIpv4(const protocol::Ipv4& ip);
std::string FormatMac(const protocol::Mac& mac);  // "0:1a:b:ff:7:c0", each box as %x

}  // namespace cadmon
