#pragma once
// The one enumerator of USB printers on Linux, for the device layer, the
// update tool's presence poller and the installer's USB port search, so that
// "the first printer" is the same for all of them.
//
// The live system is read through libudev. USB_PRINTER_ROOT moves the sysfs
// and /dev trees (tests and printer-sim use a fake tree with a FIFO as the
// usblp node); below a moved root the same sysfs attributes are read from
// the files:
//
//   <root>/sys/bus/usb/devices/<dev>/idVendor, idProduct[, serial, busnum, devnum]
//   <root>/sys/bus/usb/devices/<dev>:<config>.<interface>/bInterfaceClass
//   <root>/sys/class/usbmisc/lp<N>/device -> .../<dev>:<config>.<interface>
//   <root>/dev/usb/lp<N>                               the usblp node
//   <root>/dev/bus/usb/<bus>/<device>                  the usbfs node
//
// A printer is a USB device with a usblp node, with a printer-class interface
// (07), or with a vendor-class interface (ff) and a listed product ID (such
// printers are never bound by usblp). They are listed in the natural order
// of their sysfs names (bus, then port path, as numbers), then by lp number.
#include <string>
#include <vector>

namespace platform_linux {

struct UsbPrinterRecord {
    std::string name;      // sysfs device name, e.g. "1-1.4"
    std::string vendor;    // four lower-case hex digits
    std::string product;   // four lower-case hex digits
    std::string serial;    // as reported; may be empty
    int bus = 0;
    int address = 0;
    int lpNumber = -1;     // N of lp<N>; -1 without a usblp node
    std::string node;      // the usblp node; empty without one
    std::string instance;  // the serial, else the sysfs name, lower case
    // \\?\usb#vid_<v>&pid_<p>#<instance>#{a5dcbf10-6530-11d2-901f-00c04fb951ed}, lower case
    std::string identity;
};

// "/" unless USB_PRINTER_ROOT names another root.
std::string UsbRootFromEnvironment();

std::vector<UsbPrinterRecord> ListUsbPrinterRecords(const std::string& root);

// <root>/dev/bus/usb/BBB/DDD; empty when bus or address is unknown (0).
std::string UsbfsNode(const std::string& root, int bus, int address);

}  // namespace platform_linux
