#pragma once
// One print job through the device layer: connect, send the input (every
// copy of a file; a filter's output once), wait until the printer has taken
// it, close. No time limit on the printer while it prints: a printer that
// stops taking data is reported and waited for (JobWatch), so that a job
// resumes where it stopped once paper is back, instead of printing twice.
#include <cstdint>
#include <string>
#include <vector>

#include "driver/backend/JobWatch.h"
#include "link/MonitorUri.h"

namespace printer_link {
class UsbDeviceSource;
}

namespace portmon {

// The device a job goes to, as its monitor URI names it.
using printer_link::DeviceChoice;

enum class JobOutcome {
    Printed,         // the printer took every byte
    Cancelled,       // SIGTERM; what went out ended at a command boundary
    NotReachable,    // no connection, or no such USB printer present (or it is busy)
    NoPermission,    // the device refuses this user
    BadDevice,       // the device URI names nothing that can be opened
    ConnectionLost,  // the printer dropped the connection or went away during the job
    InputFailed,     // the job's data could not be read
};

struct JobInput {
    int fd = 0;
    bool file = false;  // a file (read once per copy; a FIFO once in all), else the filter's output
    int copies = 1;
};

struct DeliveryResult {
    JobOutcome outcome = JobOutcome::Printed;
    std::uint64_t bytes = 0;  // bytes the printer confirmed
};

// `usb` may be null when the device is not a USB printer; a usb device that
// names no product ID is one of `listedProductIds`. Writes the job's
// STATE:, ATTR:, INFO:, ERROR: and DEBUG: lines through `log`.
DeliveryResult DeliverJob(const DeviceChoice& device, printer_link::UsbDeviceSource* usb,
                          const std::vector<std::string>& listedProductIds, const JobInput& input, JobWatch& watch,
                          const LogLine& log);

}  // namespace portmon
