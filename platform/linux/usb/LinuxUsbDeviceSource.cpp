#include "platform/linux/usb/LinuxUsbDeviceSource.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/linux/usb/LibusbBulk.h"
#include "platform/linux/usb/UsbEnumerator.h"

namespace platform_linux {

LinuxUsbDeviceSource::LinuxUsbDeviceSource(std::string root) : root_(root.empty() ? "/" : std::move(root)) {}

UsbHotplug* LinuxUsbDeviceSource::Events() const {
    if (!eventsTried_ && root_ == "/") {
        events_ = std::make_unique<UsbHotplug>(root_);
        if (!events_->Watching()) events_.reset();
    }
    eventsTried_ = true;
    return events_.get();
}

std::vector<printer_link::UsbDeviceInfo> LinuxUsbDeviceSource::Enumerate() {
    std::vector<printer_link::UsbDeviceInfo> devices;
    for (UsbPrinterRecord& r : ListUsbPrinterRecords(root_)) {
        printer_link::UsbDeviceInfo info;
        info.path = std::move(r.identity);
        info.node = std::move(r.node);
        info.vendor = std::move(r.vendor);
        info.product = std::move(r.product);
        info.serial = std::move(r.serial);
        info.bus = r.bus;
        info.address = r.address;
        devices.push_back(std::move(info));
    }
    return devices;
}

bool LinuxUsbDeviceSource::Probe(const printer_link::UsbDeviceInfo& device) {
    const std::string node = device.node.empty() ? UsbfsNode(root_, device.bus, device.address) : device.node;
    if (node.empty()) return false;
    const int fd = ::open(node.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

printer_link::OpenedTransport LinuxUsbDeviceSource::OpenBulk(const printer_link::UsbDeviceInfo& device) {
    const std::string node = UsbfsNode(root_, device.bus, device.address);
    // libusb reaches the live system only.
    if (root_ != "/" || node.empty()) return printer_link::OpenFailure(ENODEV, node.empty() ? device.path : node);
    return OpenLibusbBulk(device.bus, device.address, node);
}

bool LinuxUsbDeviceSource::HasChangeEvents() const { return Events() != nullptr; }

bool LinuxUsbDeviceSource::WaitForChange(std::chrono::milliseconds limit, const printer_link::StopEvent* stop) {
    UsbHotplug* events = Events();
    if (!events) return printer_link::UsbDeviceSource::WaitForChange(limit, stop);
    const int ms = limit.count() > INT_MAX ? INT_MAX : static_cast<int>(limit.count());
    if (printer_link::WaitFor(events->Fd(), POLLIN, printer_link::Deadline::After(ms), stop) != printer_link::Ready::Yes) return false;
    // Take every queued event; one look at the devices covers them all.
    events->Take();
    return true;
}

std::unique_ptr<printer_link::UsbDeviceSource> MakeSystemUsbDeviceSource(const std::string& root) {
    return std::make_unique<LinuxUsbDeviceSource>(root);
}

}  // namespace platform_linux
