#pragma once
// The printer application's devices: our device layer's transports registered
// with PAPPL as device schemes, so that the printers the application finds and
// opens are the ones every other program of ours finds and opens.
//
//   receipt-usb://VID/PID[?serial=SN]   usb://VID/PID[?serial=SN]
//   receipt-socket://HOST[:PORT]        socket://HOST[:PORT]
//   receipt-serial:/dev/ttyS0[?baud=N]  serial:/dev/ttyS0[?baud=N]
#include <pappl/pappl.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace printer_link {
class UsbDeviceSource;
}

namespace printer_app {

struct DeviceSetup {
    printer_link::UsbDeviceSource* usb = nullptr;  // the program's USB device source
    std::vector<std::string> productIds;           // the receipt printers' product IDs
};

// Registers the schemes with PAPPL; once, before the main loop.
void RegisterDeviceSchemes(const DeviceSetup& setup);

// The device layer's URI behind one of our PAPPL device URIs; nullopt when the
// URI is not one of ours.
std::optional<std::string> LinkUriOf(std::string_view papplUri);

// What a job tells its open device: where the device shows how the printer is
// while a write waits (reasons to add and to remove on the job's printer), and
// whether the job has been cancelled (a waiting write gives up then). Set when
// a job starts, cleared (empty hooks) when it ends.
struct JobHooks {
    std::function<void(pappl_preason_t add, pappl_preason_t remove)> condition;
    std::function<bool()> cancelled;
};
void SetJobHooks(pappl_device_t* device, JobHooks hooks);

}  // namespace printer_app
