#pragma once
// The fake sysfs and /dev tree of a USB printer, under a root directory:
//   sys/bus/usb/devices/<dev>/idVendor, idProduct (4 lower-case hex digits + "\n"), serial
//   sys/bus/usb/devices/<dev>:1.0/
//   sys/class/usbmisc/lp<N>/device -> ../../../bus/usb/devices/<dev>:1.0
//   dev/usb/lp<N>    a FIFO; the simulator reads what a program writes to it
#include <string>
#include <vector>

#include "sim/SimConfig.h"

namespace sim {

struct UsbDevice {
    UsbDeviceSpec wanted;
    std::string device;  // "1-1"
    std::string lp;      // "lp0"
    std::string node;    // ROOT/dev/usb/lp0
    std::vector<std::string> created;  // paths to remove, deepest first
};

// Creates the entries of one device, choosing the first free device and lp
// names under the root. Returns false with `error` set when it cannot.
bool CreateUsbDevice(const UsbDeviceSpec& wanted, UsbDevice& device, std::string* error);
// Removes what CreateUsbDevice made (the folders only when empty).
void RemoveUsbDevice(const UsbDevice& device);

}  // namespace sim
