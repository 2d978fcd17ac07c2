#include "update-tool/core/UsbPresencePoller.h"

#include "link/UsbPrinterPort.h"
#include "update-tool/core/Texts.h"

namespace ferrik {

UsbPresencePoller::UsbPresencePoller(UpdateWindow& window, printer_link::UsbDeviceSource& usb,
                                     std::chrono::milliseconds interval)
    : window_(window), usb_(usb), interval_(interval) {}

UsbPresencePoller::~UsbPresencePoller() { Stop(); }

void UsbPresencePoller::Start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable() || stopping_) return;
    thread_ = std::thread([this] { Run(); });
}

void UsbPresencePoller::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
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
    for (const printer_link::UsbDeviceInfo& device : usb_.Enumerate()) {
        if (device.path.size() >= printer_link::kDevicePathBufferSize) continue;
        if (!printer_link::MatchesProductId(device.path, printer_link::UpdateToolProductIds())) continue;
        if (!usb_.Probe(device)) continue;
        // The first listed, reachable device is the one a download would open.
        if (device.path != reported_) {
            reported_ = device.path;
            window_.ShowDevicePath(device.path);
            window_.ShowStatus(kUsbConnectText);
        }
        return true;
    }
    // Once connected, the status line stays as it is when the printer goes away.
    return false;
}

void UsbPresencePoller::Run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        PollOnce();
        lock.lock();
        wake_.wait_for(lock, interval_, [this] { return stopping_; });
    }
}

}  // namespace ferrik
