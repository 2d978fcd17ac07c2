#pragma once
// TCP and UDP port numbers as the printers and the programs use them.
#include <cstdint>
#include <optional>
#include <string_view>

namespace protocol {

// The printers' raw printing port (TCP).
inline constexpr std::uint16_t kRawTcpPort = 9100;

// Whether 0 counts as a port ("any free port" where a program binds one).
enum class ZeroPort { Refused, Allowed };

// A port number written in decimal digits only ("9100"): 1..65535, or
// 0..65535 with ZeroPort::Allowed. Nullopt for anything else (empty, a sign,
// blanks, other characters, a larger number).
std::optional<std::uint16_t> ParsePort(std::string_view text, ZeroPort zero = ZeroPort::Refused);

}  // namespace protocol
