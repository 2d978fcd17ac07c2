#pragma once
// The fake sysfs and /dev tree of a USB printer, under a root directory:
//   sys/bus/usb/devices/<dev>/idVendor, idProduct (4 lower-case hex digits + "\n"), serial
//   sys/bus/usb/devices/<dev>:1.0/
//   sys/class/usbmisc/lp<N>/device -> ../../../bus/usb/devices/<dev>:1.0
//   dev/usb/lp<N>    a link to the slave of a pseudo-terminal in raw mode whose
//                    master the simulator holds: what a program writes there the
//                    simulator reads, and its answers come back (a bidirectional
//                    printer); or, with `fifo`, a FIFO (the one-way printer of old)
#include <string>
#include <vector>

#include "sim/SimConfig.h"

namespace sim {

struct UsbDevice {
    UsbDeviceSpec wanted;
    std::string device;  // "1-1"
    std::string lp;      // "lp0"
    std::string node;    // ROOT/dev/usb/lp0
    int master = -1;     // the pseudo-terminal's master (-1 for a FIFO node); the simulator closes it
    std::string slave;   // "/dev/pts/3" (empty for a FIFO node)
    std::vector<std::string> created;  // paths to remove, deepest first
};

// Creates the entries of one device, choosing the first free device and lp
// names under the root. Returns false with `error` set when it cannot.
bool CreateUsbDevice(const UsbDeviceSpec& wanted, bool fifo, UsbDevice& device, std::string* error);
// Puts the pseudo-terminal's slave of `device` in raw mode (no echo, no line
// editing or signals, no output processing, eight clean bits) and drops the
// answers nobody read, so that the next writer starts afresh.
bool ResetPtySlave(const UsbDevice& device);
// Removes what CreateUsbDevice made (the folders only when empty).
void RemoveUsbDevice(const UsbDevice& device);

}  // namespace sim
