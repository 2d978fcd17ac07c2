#include "link/UsbPrinterPort.h"

#include <utility>

namespace printer_link {

CUsbPrinterPort::CUsbPrinterPort(UsbDeviceSource& source, const std::vector<std::string>& productIds)
    : source_(source), productIds_(productIds) {}

CUsbPrinterPort::~CUsbPrinterPort() { Close(); }

void CUsbPrinterPort::SetOpenedCallback(std::function<void(const std::string&)> callback) {
    opened_ = std::move(callback);
}

bool CUsbPrinterPort::Open() {
    Close();
    OpenOptions options;
    options.usb = &source_;
    options.productIds = &productIds_;
    options.stop = stop_;
    Opened opened = OpenDevice("usb:", options);
    lastOpen_ = std::move(opened.failure);
    if (!opened.device) return false;
    device_ = std::move(opened.device);
    path_ = device_->Identity();
    if (opened_) opened_(path_);
    return true;
}

bool CUsbPrinterPort::Write(const std::uint8_t* data, std::size_t length, std::size_t* written, int timeoutMs) {
    if (written) *written = 0;
    if (!device_) return false;
    const Result result = WriteInPieces(data, length, length, timeoutMs);
    if (!result.Ok()) return false;
    if (written) *written = result.sent;
    return true;
}

Result CUsbPrinterPort::WriteInPieces(const std::uint8_t* data, std::size_t length, std::size_t pieceSize,
                                      int pieceTimeoutMs) {
    if (!device_) {
        Result none = lastOpen_;
        if (none.Ok()) none.outcome = Outcome::OpenFailed;
        return none;
    }
    return device_->Write(data, length, Pacing{pieceSize, pieceTimeoutMs, stop_});
}

void CUsbPrinterPort::Close() {
    // Closing the node cancels what the device has not taken yet.
    device_.reset();
    path_.clear();
}

}  // namespace printer_link
