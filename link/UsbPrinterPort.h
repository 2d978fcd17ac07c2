#pragma once
// One USB printer connection: the first present printer whose identity names
// a listed product ID, opened through the device layer, written with a
// time-out and a stop event, and closed again.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/Device.h"
#include "link/StopEvent.h"
#include "link/UsbDeviceSource.h"

namespace printer_link {

class CUsbPrinterPort {
public:
    CUsbPrinterPort(UsbDeviceSource& source, const std::vector<std::string>& productIds);
    virtual ~CUsbPrinterPort();
    CUsbPrinterPort(const CUsbPrinterPort&) = delete;
    CUsbPrinterPort& operator=(const CUsbPrinterPort&) = delete;

    // The stop event that aborts a waiting write. Owned by the caller; may be null.
    void SetStopEvent(StopEvent* stop) { stop_ = stop; }
    // Called with the device path after every successful Open, on the opening thread.
    void SetOpenedCallback(std::function<void(const std::string&)> callback);

    // Closes anything still open, then opens the first printer that the USB
    // choice offers (see FirstUsbCandidate) and that opens for writing.
    bool Open();
    // Why the last Open failed: no printer (empty node), or the node and errno
    // of the first one that refused.
    const Result& LastOpen() const { return lastOpen_; }
    // One write of up to `length` bytes; true when it completed within `timeoutMs`.
    // `written` (may be null) holds the count on success and 0 on failure,
    // time-out or stop.
    bool Write(const std::uint8_t* data, std::size_t length, std::size_t* written, int timeoutMs);
    // The bytes in pieces of at most pieceSize, each taken within its time-out.
    Result WriteInPieces(const std::uint8_t* data, std::size_t length, std::size_t pieceSize, int pieceTimeoutMs);
    // Releases the device. Safe when nothing is open.
    void Close();

    bool IsOpen() const { return device_ != nullptr; }
    const std::string& DevicePath() const { return path_; }
    DeviceStatus Status() const { return device_ ? device_->Status() : DeviceStatus{}; }

private:
    UsbDeviceSource& source_;
    std::vector<std::string> productIds_;
    StopEvent* stop_ = nullptr;
    std::function<void(const std::string&)> opened_;
    std::unique_ptr<Device> device_;
    std::string path_;
    Result lastOpen_;
};

}  // namespace printer_link
