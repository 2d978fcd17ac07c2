#pragma once
// USB printers as Linux shows them: sysfs for the present devices, the usblp
// node (/dev/usb/lpN) for I/O. USB_PRINTER_ROOT moves both trees (default "/"),
// so that tests and printer-sim can use a fake tree with a FIFO as the node.
#include <memory>
#include <string>
#include <vector>

#include "link/UsbDeviceSource.h"

namespace printer_link {

class SysfsUsbDeviceSource : public UsbDeviceSource {
public:
    // root: prefix of the sys/ and dev/ trees.
    explicit SysfsUsbDeviceSource(std::string root);
    // Root taken from USB_PRINTER_ROOT, "/" when unset or empty.
    static std::string RootFromEnvironment();

    // Every usblp node whose USB device can be read from sysfs, sorted by the
    // device's sysfs name (then by node). The identity is
    // \\?\usb#vid_<idVendor>&pid_<idProduct>#<serial or device name>#{a5dcbf10-...}, lower case.
    std::vector<UsbDeviceInfo> Enumerate() override;
    // An O_PATH open of the node, closed at once: reaches the node without
    // opening it for I/O, so it never competes with another open of the printer.
    bool Probe(const UsbDeviceInfo& device) override;
    // open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY).
    int OpenReadWrite(const UsbDeviceInfo& device) override;
    // True for a FIFO node (a fake tree); a usblp node completes by poll().
    bool CompletesOnWrite(int fd) override;

    const std::string& Root() const { return root_; }

private:
    std::string root_;
};

// The source the programs use: sysfs under USB_PRINTER_ROOT.
std::unique_ptr<UsbDeviceSource> MakeSystemUsbDeviceSource();

}  // namespace printer_link
