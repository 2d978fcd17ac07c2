#include "platform/linux/usb/LinuxUsbDeviceSource.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/linux/usb/LibusbBulk.h"
#include "platform/linux/usb/UsbEnumerator.h"

namespace printer_link {

LinuxUsbDeviceSource::LinuxUsbDeviceSource(std::string root) : root_(root.empty() ? "/" : std::move(root)) {
    if (root_ != "/") return;
    // Hot-plug events: USB devices come and go, usblp nodes appear and vanish.
    udev_ = udev_new();
    if (udev_) monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
                     udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usbmisc", nullptr) < 0 ||
                     udev_monitor_enable_receiving(monitor_) < 0)) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
    }
}

LinuxUsbDeviceSource::~LinuxUsbDeviceSource() {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
}

std::vector<UsbDeviceInfo> LinuxUsbDeviceSource::Enumerate() {
    std::vector<UsbDeviceInfo> devices;
    for (UsbPrinterRecord& r : ListUsbPrinterRecords(root_)) {
        UsbDeviceInfo info;
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

bool LinuxUsbDeviceSource::Probe(const UsbDeviceInfo& device) {
    const std::string node = device.node.empty() ? UsbfsNode(root_, device.bus, device.address) : device.node;
    if (node.empty()) return false;
    const int fd = ::open(node.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

OpenedTransport LinuxUsbDeviceSource::OpenBulk(const UsbDeviceInfo& device) {
    const std::string node = UsbfsNode(root_, device.bus, device.address);
    // libusb reaches the live system only.
    if (root_ != "/" || node.empty()) return OpenFailure(ENODEV, node.empty() ? device.path : node);
    return OpenLibusbBulk(device.bus, device.address, node);
}

bool LinuxUsbDeviceSource::HasChangeEvents() const { return monitor_ != nullptr; }

bool LinuxUsbDeviceSource::WaitForChange(std::chrono::milliseconds limit, const StopEvent* stop) {
    if (!monitor_) return UsbDeviceSource::WaitForChange(limit, stop);
    const int ms = limit.count() > INT_MAX ? INT_MAX : static_cast<int>(limit.count());
    if (WaitFor(udev_monitor_get_fd(monitor_), POLLIN, Deadline::After(ms), stop) != Ready::Yes) return false;
    // Take every queued event; one look at the devices covers them all.
    while (udev_device* event = udev_monitor_receive_device(monitor_)) udev_device_unref(event);
    return true;
}

std::unique_ptr<UsbDeviceSource> MakeSystemUsbDeviceSource() {
    return std::make_unique<LinuxUsbDeviceSource>(UsbRootFromEnvironment());
}

}  // namespace printer_link
