#pragma once
// The OS seam of the USB printer link: which USB devices are present, and
// opening one of them. Linux reads sysfs and opens the usblp node
// (platform/linux/usb); tests use platform/fake/usb or a fake sysfs tree.
#include <string>
#include <vector>

namespace link {

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
};

}  // namespace link
