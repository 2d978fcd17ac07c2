// receiptmonitor: the port monitor of the receipt printer driver, a CUPS
// backend. The installer copies it into CUPS's backend folder under the
// monitor's scheme; CUPS runs it (as user lp) for queues whose device URI has
// that scheme. The URI names the printer (link/MonitorUri.h), so it reads nothing
// else.
//
//   SCHEME                                           lists receipt printers (lpinfo -v)
//   SCHEME job-id user title copies options [file]   prints the job to $DEVICE_URI
//
// How the printer is goes to CUPS as it changes: paper out (STATE:
// +media-empty-error, INFO: paper out), paper near end (+media-low-report; it
// prints), cover open (+cover-open-error), offline (+offline-report), cutter
// and other errors (+media-jam-error, +other-error, +other-warning), each with
// the queue's alert (ATTR: printer-alert-description) and removed again once
// the printer takes data or the job ends. The printer is asked in its stream
// before the job and after it, and aside (a second connection, a port's
// status line) while it takes nothing; the job waits for it without a time
// limit.
//
// Exit status: 0 printed (or cancelled); 6 (retry later) when the printer is
// not reachable or drops the connection during the job, so the job stays
// queued; 4 (stop the queue) when the URI names no printer or the device
// refuses this user, which needs an administrator; 1 when the job's data
// cannot be read.
#include <cups/backend.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "cli-common/Environment.h"
#include "driver/backend/Delivery.h"
#include "driver/backend/JobWatch.h"
#include "driver/backend/Listing.h"
#include "link/MonitorUri.h"
#include "link/ProductIds.h"
#include "link/UsbDeviceSource.h"
#include "platform/linux/usb/SystemUsbDeviceSource.h"

namespace {

constexpr std::chrono::milliseconds kListenForPrinters{2000};

std::mutex g_logMutex;

void Log(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

std::string BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

int ExitStatus(portmon::JobOutcome outcome) {
    switch (outcome) {
        case portmon::JobOutcome::Printed:
        case portmon::JobOutcome::Cancelled:
            return CUPS_BACKEND_OK;
        case portmon::JobOutcome::NotReachable:
        case portmon::JobOutcome::ConnectionLost:
            return CUPS_BACKEND_RETRY;
        case portmon::JobOutcome::NoPermission:
        case portmon::JobOutcome::BadDevice:
            return CUPS_BACKEND_STOP;
        case portmon::JobOutcome::InputFailed:
            return CUPS_BACKEND_FAILED;
    }
    return CUPS_BACKEND_FAILED;
}

int ListDevices(const char* program) {
    const std::string scheme = BaseName(program);
    const auto usb = platform_linux::MakeSystemUsbDeviceSource(platform_linux::UsbRootFromEnvironment());
    for (const std::string& line : portmon::ListPrinters(scheme, usb.get(), printer_link::ReceiptPrinterProductIds(),
                                                         cli::DiscoverySettingsFromEnvironment(),
                                                         kListenForPrinters, Log))
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return CUPS_BACKEND_OK;
}

}  // namespace

int main(int argc, char** argv) {
    // A FIFO or tty whose reader went away raises SIGPIPE; the write reports it instead.
    ::signal(SIGPIPE, SIG_IGN);
    if (argc == 1) return ListDevices(argv[0]);
    if (argc < 6 || argc > 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
        return CUPS_BACKEND_FAILED;
    }
    // Before any thread: SIGTERM goes to the watch.
    portmon::JobWatch watch(Log, portmon::JobWatch::Times{});
    if (!watch.ok()) {
        Log(std::string("ERROR: cannot watch for cancellation: ") + std::strerror(errno));
        return CUPS_BACKEND_FAILED;
    }

    const char* uri = std::getenv("DEVICE_URI");
    if (!uri || !*uri) uri = argv[0];
    std::string why;
    const auto target = printer_link::ParseMonitorUri(uri, &why);
    const printer_link::DeviceChoice device = target ? printer_link::DeviceFor(*target) : printer_link::DeviceChoice{};
    if (!target || device.uri.empty()) {
        Log(std::string("ERROR: the device URI names no printer (") + (target ? "no printer address" : why) + "): " +
            uri);
        return CUPS_BACKEND_STOP;
    }

    portmon::JobInput input;
    if (argc == 7) {
        input.fd = ::open(argv[6], O_RDONLY | O_CLOEXEC);
        if (input.fd < 0) {
            Log(std::string("ERROR: cannot open the print file: ") + std::strerror(errno));
            return CUPS_BACKEND_FAILED;
        }
        input.file = true;
        // Copies are made here only for a file; a filter's output holds them already.
        input.copies = std::max(1, std::atoi(argv[4]));
    }

    std::unique_ptr<printer_link::UsbDeviceSource> usb;
    if (device.uri.rfind("usb", 0) == 0) usb = platform_linux::MakeSystemUsbDeviceSource(platform_linux::UsbRootFromEnvironment());
    const portmon::DeliveryResult result = portmon::DeliverJob(device, usb.get(), printer_link::ReceiptPrinterProductIds(), input, watch, Log);
    if (input.file) ::close(input.fd);
    return ExitStatus(result.outcome);
}
