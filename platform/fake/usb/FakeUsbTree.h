#pragma once
// Builds the fake sysfs and /dev tree that the Linux USB device source reads
// when USB_PRINTER_ROOT points at it:
//   sys/bus/usb/devices/<dev>/idVendor, idProduct[, serial]
//   sys/bus/usb/devices/<dev>:1.0/bInterfaceClass    (07, a printer)
//   sys/class/usbmisc/lp<N>/device -> ../../../bus/usb/devices/<dev>:1.0
//   dev/usb/lp<N>  (a FIFO standing in for the usblp node)
#include <string>

namespace platform_fake {

class FakeUsbTree {
public:
    // Creates a fresh directory under $TMPDIR (or /tmp); removed again by the destructor.
    FakeUsbTree();
    // Uses (and creates) `root`; the tree is left in place afterwards.
    explicit FakeUsbTree(std::string root);
    ~FakeUsbTree();
    FakeUsbTree(const FakeUsbTree&) = delete;
    FakeUsbTree& operator=(const FakeUsbTree&) = delete;

    const std::string& Root() const { return root_; }
    // Adds a printer; vendor and product are four hex digits. Returns the
    // FIFO's path; lpNumber < 0 adds a printer without a usblp node ("").
    std::string AddPrinter(const std::string& device, const std::string& vendor, const std::string& product,
                           int lpNumber, const std::string& serial = "");

private:
    std::string root_;
    bool owned_ = false;
};

}  // namespace platform_fake
