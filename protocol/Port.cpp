#include "protocol/Port.h"

#include <charconv>

namespace protocol {

std::optional<std::uint16_t> ParsePort(std::string_view text, ZeroPort zero) {
    unsigned value = 0;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    if (text.empty() || ec != std::errc() || end != last || value > 65535) return std::nullopt;
    if (value == 0 && zero == ZeroPort::Refused) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace protocol
