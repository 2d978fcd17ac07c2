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

// Asks the open `device`: input that was waiting is read and dropped, the
// twelve request bytes are written as one piece, and reads go on until four
// status answers came (other bytes are skipped), all within `waitMs` (< 0:
// kStatusWaitMs). Not known -- never a failure -- where the transport cannot
// read (returns at once), the requests were not taken, the connection dropped,
// `stop` was set or the answers did not come in time. The request bytes are
// not counted in what the device's Flush or Close confirm later. Ask between
// commands only; the device stays open and usable either way.
protocol::PrinterStatus QueryStatus(Device& device, int waitMs = kStatusWaitMs, const StopEvent* stop = nullptr);

struct StatusAnswer {
    Result failure;                 // the open's failure (its kind, errno, node); Ok when it opened
    protocol::PrinterStatus status; // not known when the open failed or nothing answered
    std::string node;               // what was opened
};

// Opens `uri`, asks, and releases the device again (no wait for a close).
// `failure` holds an open failure; a printer that opened and did not answer
// is Ok with a status not known.
StatusAnswer QueryStatusAt(std::string_view uri, const OpenOptions& options, int waitMs = kStatusWaitMs);

// A USB or parallel port's status line (Device::Status) read as a printer
// status, not known when the port cannot say. It leaves the job's stream
// alone, so it may be asked while a write is stuck.
protocol::PrinterStatus FromPortStatus(const DeviceStatus& port);

}  // namespace printer_link
