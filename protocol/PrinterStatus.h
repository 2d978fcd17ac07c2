#pragma once
// How a receipt printer says it is: the real-time status requests DLE EOT n
// (n = 1 printer, 2 offline cause, 3 error cause, 4 paper sensor), each
// answered by one byte, and what those four bytes mean together.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace protocol {

// The four requests in the order they are asked: 10 04 01 .. 10 04 04.
inline constexpr std::array<std::uint8_t, 12> kStatusQuery{0x10, 0x04, 0x01, 0x10, 0x04, 0x02,
                                                           0x10, 0x04, 0x03, 0x10, 0x04, 0x04};
inline constexpr std::size_t kStatusAnswerCount = 4;

// Every answer byte has bit 1 and bit 4 set, bit 0 and bit 7 clear; anything
// else is not a status answer (stray data, another command's reply).
constexpr bool IsStatusByte(std::uint8_t b) { return (b & 0x93) == 0x12; }

struct PrinterStatus {
    bool known = false;  // the printer answered all four requests; every other field is false when not
    bool online = false;
    bool coverOpen = false;
    bool paperNearEnd = false;
    bool paperOut = false;
    bool drawerOpen = false;  // the drawer connector's pin 3 reads high
    bool cutterError = false;
    bool unrecoverableError = false;
    bool recoverableError = false;

    // Known, and nothing keeps it from printing now (paper near its end does not).
    bool Ready() const {
        return known && online && !coverOpen && !paperOut && !cutterError && !unrecoverableError &&
               !recoverableError;
    }
    bool operator==(const PrinterStatus&) const = default;
};

// The answers to requests 1..4, in that order. Not known when any byte is not
// a status answer.
PrinterStatus DecodeStatus(const std::array<std::uint8_t, kStatusAnswerCount>& answers);
// What a printer in `status` answers to request n (1..4); 0 for another n.
std::uint8_t StatusAnswer(int n, const PrinterStatus& status);

}  // namespace protocol
