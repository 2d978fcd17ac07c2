#pragma once
// Asking a printer how it is, for every program: the four real-time status
// requests written to the device, the four answer bytes read back within a
// bounded wait, decoded into one PrinterStatus. A printer that cannot answer
// (no way back, no status support, too slow) is "not known", not a failure.
//
// The requests go between commands only: before a job's first byte or after
// its last, never inside another command's data.
#include <string_view>

#include "link/Device.h"
#include "protocol/PrinterStatus.h"

namespace printer_link {

// How long a printer has to answer all four requests.
inline constexpr int kStatusWaitMs = 500;

// Asks the open `device`; input that was waiting before the requests is read
// and dropped first. Not known where the transport cannot read, the requests
// were not taken, or the answers did not come within `waitMs`.
protocol::PrinterStatus QueryStatus(Device& device, int waitMs = kStatusWaitMs, const StopEvent* stop = nullptr);

struct StatusAnswer {
    Result failure;                 // the open's failure (its kind, errno, node); Ok when it opened
    protocol::PrinterStatus status; // not known when the open failed or nothing answered
    std::string node;               // what was opened
};

// Opens `uri`, asks, and closes again.
StatusAnswer QueryStatusAt(std::string_view uri, const OpenOptions& options, int waitMs = kStatusWaitMs);

}  // namespace printer_link
