#pragma once
// Reading the values of a command line: addresses, MAC boxes, numbers. One
// reading for every program, so that an address or a MAC is spelt alike in all.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/SettingsCommands.h"
#include "protocol/ValueLists.h"

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

// An entry of a window's list as typed: the entry's own text first. Then a
// plain number: in a list of numbers with a unit ("1行" .. "5行") it is the
// number the entry shows ("1" is "1行"), and positions are not read there, so
// that "1" never means the second entry; in every other list it is the
// entry's position from 0. -1 when the value names no entry.
int ListPosition(const protocol::ValueList& list, std::string_view value);
// True for a list of numbers with a unit, where plain numbers name entries.
bool NumbersWithUnit(const protocol::ValueList& list);

// "0:1a:b:ff:7:c0": each box as the MAC boxes show it (%x).
std::string MacBoxesText(const protocol::Mac& mac);
// "00:1a:0b:ff:07:c0"
std::string MacText(const protocol::Mac& mac);

}  // namespace cli
