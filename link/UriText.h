#pragma once
// Percent-encoding of the texts inside device URIs (a serial number, a port
// name), so that every URI this project writes is read back the same way.
#include <optional>
#include <string>
#include <string_view>

namespace printer_link {

// Letters, digits and "-._~" stay; every other byte becomes %XX (upper-case hex).
std::string PercentEncoded(std::string_view text);

// Nullopt when a "%" is not followed by two hex digits, or stands for a zero byte.
std::optional<std::string> PercentDecoded(std::string_view text);

}  // namespace printer_link
