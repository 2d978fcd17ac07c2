#include "protocol/PrinterStatus.h"

namespace protocol {
namespace {

constexpr std::uint8_t kFixedBits = 0x12;

// Request 1, printer status.
constexpr std::uint8_t kDrawerPinHigh = 0x04;
constexpr std::uint8_t kOffline = 0x08;
// Request 2, offline cause.
constexpr std::uint8_t kCoverOpen = 0x04;
constexpr std::uint8_t kStoppedByPaperEnd = 0x20;
constexpr std::uint8_t kErrorOccurred = 0x40;
// Request 3, error cause.
constexpr std::uint8_t kCutterError = 0x08;
constexpr std::uint8_t kUnrecoverableError = 0x20;
constexpr std::uint8_t kRecoverableError = 0x40;
// Request 4, paper roll sensor (two bits each).
constexpr std::uint8_t kNearEnd = 0x0c;
constexpr std::uint8_t kPaperEnd = 0x60;

}  // namespace

PrinterStatus DecodeStatus(const std::array<std::uint8_t, kStatusAnswerCount>& answers) {
    PrinterStatus status;
    for (const std::uint8_t b : answers)
        if (!IsStatusByte(b)) return status;
    const auto [printer, offline, error, paper] = answers;
    status.known = true;
    status.online = (printer & kOffline) == 0;
    status.drawerOpen = (printer & kDrawerPinHigh) != 0;
    status.coverOpen = (offline & kCoverOpen) != 0;
    // A printer may report either sensor bit of a pair; one is enough.
    status.paperOut = (paper & kPaperEnd) != 0 || (offline & kStoppedByPaperEnd) != 0;
    status.paperNearEnd = (paper & kNearEnd) != 0;
    status.cutterError = (error & kCutterError) != 0;
    status.unrecoverableError = (error & kUnrecoverableError) != 0;
    status.recoverableError = (error & kRecoverableError) != 0;
    return status;
}

std::uint8_t StatusAnswer(int n, const PrinterStatus& status) {
    const bool anyError = status.cutterError || status.unrecoverableError || status.recoverableError;
    std::uint8_t b = kFixedBits;
    switch (n) {
        case 1:
            if (status.drawerOpen) b |= kDrawerPinHigh;
            if (!status.online || status.coverOpen || status.paperOut || anyError) b |= kOffline;
            return b;
        case 2:
            if (status.coverOpen) b |= kCoverOpen;
            if (status.paperOut) b |= kStoppedByPaperEnd;
            if (anyError) b |= kErrorOccurred;
            return b;
        case 3:
            if (status.cutterError) b |= kCutterError;
            if (status.unrecoverableError) b |= kUnrecoverableError;
            if (status.recoverableError) b |= kRecoverableError;
            return b;
        case 4:
            if (status.paperNearEnd) b |= kNearEnd;
            if (status.paperOut) b |= kPaperEnd;
            return b;
        default:
            return 0;
    }
}

}  // namespace protocol
