#pragma once
// USB printers as Linux shows them: the enumerator (libudev, or the files of
// a tree below USB_PRINTER_ROOT), an O_PATH probe, libusb for printers
// without a usblp node, and udev's hot-plug events.
#include <memory>
#include <string>
#include <vector>

#include "link/UsbDeviceSource.h"
#include "platform/linux/usb/UsbHotplug.h"

namespace platform_linux {

class LinuxUsbDeviceSource : public printer_link::UsbDeviceSource {
public:
    // root: prefix of the sys/ and dev/ trees ("/" for the live system).
    explicit LinuxUsbDeviceSource(std::string root);
    ~LinuxUsbDeviceSource() override = default;
    LinuxUsbDeviceSource(const LinuxUsbDeviceSource&) = delete;
    LinuxUsbDeviceSource& operator=(const LinuxUsbDeviceSource&) = delete;

    std::vector<printer_link::UsbDeviceInfo> Enumerate() override;
    // An O_PATH open of the usblp node (else of the usbfs node), closed at
    // once: reaches the device without opening it for I/O, so it never
    // competes with another open of the printer.
    bool Probe(const printer_link::UsbDeviceInfo& device) override;
    printer_link::OpenedTransport OpenBulk(const printer_link::UsbDeviceInfo& device) override;
    // udev's events for USB devices and usblp nodes (live system only; the
    // monitor is opened by the first call, so a source that never waits for
    // changes keeps no events queued).
    bool WaitForChange(std::chrono::milliseconds limit, const printer_link::StopEvent* stop) override;
    bool HasChangeEvents() const override;

    const std::string& Root() const { return root_; }

private:
    UsbHotplug* Events() const;

    std::string root_;
    mutable std::unique_ptr<UsbHotplug> events_;
    mutable bool eventsTried_ = false;
};

// The source the programs use: the live system ("/"), or the tree below
// `root` (what UsbRootFromEnvironment() reads from USB_PRINTER_ROOT).
std::unique_ptr<printer_link::UsbDeviceSource> MakeSystemUsbDeviceSource(const std::string& root);

}  // namespace platform_linux
