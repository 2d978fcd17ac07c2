#pragma once
// The OS seam of the USB printer link: which USB devices are present, and
// opening one of them. Linux reads sysfs and opens the usblp node
// (platform/linux/usb); tests use platform/fake/usb or a fake sysfs tree.
#include <string>
#include <vector>

namespace printer_link {

struct UsbDeviceInfo {
    // Identity string in the device-interface path form, lower case:
    // \\?\usb#vid_0418&pid_5011#<instance>#{a5dcbf10-6530-11d2-901f-00c04fb951ed}
    std::string path;
    // Where the source finds the device again (the usblp node on Linux).
    std::string node;
};

class UsbDeviceSource {
public:
    virtual ~UsbDeviceSource() = default;
    // Present USB devices, in enumeration order.
    virtual std::vector<UsbDeviceInfo> Enumerate() = 0;
    // Access-free probe (no read or write rights): true when the device can be reached.
    // Never holds the device open afterwards.
    virtual bool Probe(const UsbDeviceInfo& device) = 0;
    // Opens the device for I/O: one O_RDWR | O_NONBLOCK descriptor, or -1.
    virtual int OpenReadWrite(const UsbDeviceInfo& device) = 0;
    // How a write on a descriptor from OpenReadWrite completes. False (a USB
    // printer node): write() only starts the transfer, and the descriptor
    // turns writable again once the printer has taken it. True (a FIFO
    // standing in for the printer): the bytes are with the reader as soon as
    // write() returns; waiting for writability afterwards would only wait for
    // room for the next piece, and a piece already in the FIFO could be
    // reported as failed and then sent twice.
    virtual bool CompletesOnWrite(int fd) {
        (void)fd;
        return false;
    }
};

}  // namespace printer_link
