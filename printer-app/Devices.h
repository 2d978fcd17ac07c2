#pragma once
// The printer application's devices: our device layer's transports registered
// with PAPPL as device schemes, so that the printers the application finds and
// opens are the ones every other program of ours finds and opens.
//
//   receipt-usb://VID/PID[?serial=SN]   usb://VID/PID[?serial=SN]
//   receipt-socket://HOST[:PORT]        socket://HOST[:PORT]
//   receipt-serial:/dev/ttyS0[?baud=N]  serial:/dev/ttyS0[?baud=N]
#include <pappl/pappl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Discovery.h"
#include "protocol/Port.h"

namespace printer_link {
class UsbDeviceSource;
}

namespace printer_app {

struct DeviceSetup {
    printer_link::UsbDeviceSource* usb = nullptr;  // the program's USB device source
    std::vector<std::string> productIds;           // the receipt printers' product IDs
    // The network search of the device list: where the probe goes
    // (cli::DiscoverySettingsFromEnvironment), how long replies are taken,
    // and the raw TCP port of the printers found (cli::TcpPortFromEnvironment).
    protocol::DiscoverySettings discovery;
    std::chrono::milliseconds listen{2000};
    std::uint16_t tcpPort = protocol::kRawTcpPort;
    // A write that has taken nothing this long asks the printer aside how it
    // is, and again as often while it lasts; one that has taken nothing for
    // `notTakingData` with no cause known shows the printer offline.
    std::chrono::milliseconds askAside{1000};
    std::chrono::milliseconds notTakingData{10000};
};

// The IEEE-1284 device ID of every printer of ours (the device layer reads
// none from the printers): a receipt printer that speaks ESC/POS.
inline constexpr const char* kReceiptPrinterDeviceId =
    "MFG:Receipt;MDL:Thermal Receipt Printer;CMD:ESC/POS;CLS:PRINTER;DES:Thermal receipt printer;";

// Registers the schemes with PAPPL, before the main loop. Called again (tests)
// it only replaces the setup that later opens and lists use.
void RegisterDeviceSchemes(const DeviceSetup& setup);

// The device layer's URI behind one of our PAPPL device URIs; nullopt when the
// URI is not one of ours.
std::optional<std::string> LinkUriOf(std::string_view papplUri);

// What a job tells its open device: where the device shows how the printer is
// while a write waits (reasons to add and to remove on the job's printer), and
// whether the job has been cancelled (a waiting write gives up then). Set when
// a job starts, cleared (empty hooks) when it ends. Both are called from the
// job's thread and from the device's watch thread (never at once).
struct JobHooks {
    std::function<void(pappl_preason_t add, pappl_preason_t remove)> condition;
    std::function<bool()> cancelled;
};
// Setting hooks starts a job on the device: its first write asks the printer
// how it is (in its stream, before the job's first byte) and waits, showing
// why, while it cannot print. Clearing them ends the job: what PAPPL still
// buffers is written, and a printer that answered before the job is asked
// again after its last byte and waited for in the same way (paper that ran
// out with the end of the job in the printer's buffer), unless the job was
// cancelled; then whatever the device showed is removed. A device that is
// not one of ours is left alone.
void SetJobHooks(pappl_device_t* device, JobHooks hooks);

}  // namespace printer_app
