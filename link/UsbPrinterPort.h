#pragma once
// One USB printer connection: find the first present device whose identity
// names a listed product ID, open it, write with a time-out and a stop event,
// close it again.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "link/StopEvent.h"
#include "link/UsbDeviceSource.h"

namespace printer_link {

// Product IDs searched as case-sensitive substrings of the identity string, in order.
const std::vector<std::string>& SettingsToolProductIds();  // seven entries, ends with "pid_0600"
const std::vector<std::string>& UpdateToolProductIds();    // the first six of them

// True when the identity contains one of the product IDs (plain substring, case-sensitive).
bool MatchesProductId(std::string_view identity, const std::vector<std::string>& productIds);

// The identity's path buffer holds 260 bytes including the terminating zero;
// a longer identity is skipped during enumeration.
inline constexpr std::size_t kDevicePathBufferSize = 260;

class CUsbPrinterPort {
public:
    CUsbPrinterPort(UsbDeviceSource& source, const std::vector<std::string>& productIds);
    virtual ~CUsbPrinterPort();
    CUsbPrinterPort(const CUsbPrinterPort&) = delete;
    CUsbPrinterPort& operator=(const CUsbPrinterPort&) = delete;

    // The stop event that aborts a waiting Write. Owned by the caller; may be null.
    void SetStopEvent(StopEvent* stop) { stop_ = stop; }
    // Called with the device path after every successful Open, on the opening thread.
    void SetOpenedCallback(std::function<void(const std::string&)> callback);

    // Closes anything still open, then opens the first device in enumeration
    // order whose identity fits the path buffer, names a listed product ID,
    // passes the access-free probe and opens for I/O; a device failing any
    // step is passed over.
    bool Open();
    // Writes up to `length` bytes; true when a write completed within `timeoutMs`.
    // `written` (may be null) holds the count on success and 0 on failure,
    // time-out or stop.
    bool Write(const std::uint8_t* data, std::size_t length, std::size_t* written, int timeoutMs);
    // Releases the device. Safe when nothing is open.
    void Close();

    bool IsOpen() const { return fd_ >= 0; }
    const std::string& DevicePath() const { return path_; }

private:
    UsbDeviceSource& source_;
    std::vector<std::string> productIds_;
    StopEvent* stop_ = nullptr;
    std::function<void(const std::string&)> opened_;
    int fd_ = -1;  // read and write handle share one descriptor (usblp allows one open)
    bool completesOnWrite_ = false;  // see UsbDeviceSource::CompletesOnWrite
    std::string path_;
};

}  // namespace printer_link
