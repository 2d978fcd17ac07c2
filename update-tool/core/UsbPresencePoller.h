#pragma once
// Watches for an attached USB printer of the update tool's product IDs and
// reports it in the window ("USB Connect" and the device path).
//
// It never opens the printer for I/O: usblp lets one descriptor be open at a
// time, so a poller holding the node would make every download fail. Each
// attempt makes the USB choice of the device layer (enumeration and the
// access-free probe), which holds nothing. Where the system reports hot-plug
// events, an attempt follows each event (and a slow check runs beside them);
// otherwise attempts are `interval` apart.
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "link/StopEvent.h"
#include "link/UsbDeviceSource.h"
#include "update-tool/core/UpdateWindow.h"

namespace ferrik {

class UsbPresencePoller {
public:
    // `usb` is the poller's own source: the window thread uses another one.
    UsbPresencePoller(UpdateWindow& window, printer_link::UsbDeviceSource& usb,
                      std::chrono::milliseconds interval = std::chrono::milliseconds(500));
    ~UsbPresencePoller();  // Stop()
    UsbPresencePoller(const UsbPresencePoller&) = delete;
    UsbPresencePoller& operator=(const UsbPresencePoller&) = delete;

    void Start();
    // Ends the thread promptly and joins it; the window is not called afterwards.
    void Stop();

    // One attempt: true when a listed printer is present and answers the probe.
    // Reports it to the window when its path differs from the last one reported.
    bool PollOnce();
    int Attempts() const;

private:
    void Run();

    UpdateWindow& window_;
    printer_link::UsbDeviceSource& usb_;
    std::chrono::milliseconds interval_;
    printer_link::StopEvent stop_;
    mutable std::mutex mutex_;
    int attempts_ = 0;
    std::string reported_;
    std::thread thread_;
};

}  // namespace ferrik
