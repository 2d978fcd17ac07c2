#pragma once
// Reading the values of a command line: addresses, MAC boxes, numbers. One
// reading for every program, so that an address or a MAC is spelt alike in all.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/SettingsCommands.h"

namespace cli {

// Dotted decimal "192.168.0.1": exactly four decimal octets 0..255, each of
// one to three digits.
std::optional<protocol::Ipv4> ParseIpv4(std::string_view text);

// Decimal digits only, within [low, high].
std::optional<long> ParseNumber(std::string_view text, long low, long high);

// The six MAC boxes, given as six arguments ("0 1a b FF 7 c0") or as one with
// ':' or '-' between them ("0:1a:b:FF:7:c0"). Empty when the count is wrong.
std::vector<std::string> SplitMacBoxes(const std::vector<std::string>& args);

// The boxes as bytes by the hex-box rule (one or two hexadecimal digits). On
// the first box that breaks it, `badBox` gets its index and nothing is returned.
std::optional<protocol::Mac> MacFromBoxes(const std::vector<std::string>& boxes, std::size_t* badBox = nullptr);

// One argument "0:1a:b:ff:7:c0" (or with '-') as a MAC.
std::optional<protocol::Mac> ParseMac(std::string_view text);

// "0:1a:b:ff:7:c0": each box as the MAC boxes show it (%x).
std::string MacBoxesText(const protocol::Mac& mac);
// "00:1a:0b:ff:07:c0"
std::string MacText(const protocol::Mac& mac);

}  // namespace cli
