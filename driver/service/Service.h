#pragma once
// The service's loop: one thread that sleeps in poll() on the stop signal, a
// timer, the USB hot-plug events and the network probes in flight.
//
//   every interval   the queues are read again from CUPS (installs and
//                    uninstalls show up), each network printer is probed
//                    (a bounded TCP connect; not while its queue prints)
//   hot-plug event   the USB printers are looked for at once; without
//                    events (no udev, no tree yet) on every interval instead,
//                    and beside events now and then in case one was missed
//
// A printer that is back after being away gets its queue going again
// (Recovery.h). Every change is one line through `log`.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace service {

using LogLine = std::function<void(const std::string&)>;

struct ServiceOptions {
    std::chrono::milliseconds interval{2000};  // probes and queue reads
    std::string usbRoot = "/";                 // USB_PRINTER_ROOT
    // The USB printers watched for a queue whose URI names no product ID.
    std::vector<std::string> productIds;
};

// Runs until `stopFd` (a signalfd) turns readable: true. False when the
// loop cannot be set up or poll() fails; `why` says why.
bool RunService(const ServiceOptions& options, int stopFd, const LogLine& log, std::string* why);

}  // namespace service
