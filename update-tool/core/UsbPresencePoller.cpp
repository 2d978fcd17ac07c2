#include "update-tool/core/UsbPresencePoller.h"

#include <algorithm>

#include "link/ProductIds.h"
#include "update-tool/core/Texts.h"

namespace ferrik {

namespace {
// With hot-plug events, a check also runs this often, in case an event was missed.
constexpr std::chrono::seconds kCheckBesideEvents{5};
}  // namespace

UsbPresencePoller::UsbPresencePoller(UpdateWindow& window, printer_link::UsbDeviceSource& usb,
                                     std::chrono::milliseconds interval)
    : window_(window), usb_(usb), interval_(interval) {}

UsbPresencePoller::~UsbPresencePoller() { Stop(); }

void UsbPresencePoller::Start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable() || stop_.IsSet()) return;
    thread_ = std::thread([this] { Run(); });
}

void UsbPresencePoller::Stop() {
    stop_.Set();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

int UsbPresencePoller::Attempts() const {
    std::lock_guard lock(mutex_);
    return attempts_;
}

bool UsbPresencePoller::PollOnce() {
    {
        std::lock_guard lock(mutex_);
        ++attempts_;
    }
    // The printer a download would open: the same choice, without the open.
    const auto found = printer_link::FirstUsbCandidate(usb_, printer_link::UpdatablePrinterProductIds(), {},
                                                       [](const printer_link::UsbDeviceInfo&) { return true; });
    // Once connected, the status line stays as it is when the printer goes away.
    if (!found) return false;
    if (found->path != reported_) {
        reported_ = found->path;
        window_.ShowDevicePath(found->path);
        window_.ShowStatus(kUsbConnectText);
    }
    return true;
}

void UsbPresencePoller::Run() {
    const auto wait = usb_.HasChangeEvents() ? std::max<std::chrono::milliseconds>(interval_, kCheckBesideEvents)
                                             : interval_;
    while (!stop_.IsSet()) {
        PollOnce();
        usb_.WaitForChange(wait, &stop_);
    }
}

}  // namespace ferrik
