#include "update-tool/core/UpdateTool.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <thread>

#include "cli-common/Environment.h"
#include "link/ProductIds.h"
#include "link/TcpLink.h"
#include "protocol/Firmware.h"
#include "protocol/SettingsCommands.h"
#include "protocol/ValueLists.h"
#include "update-tool/core/ImageFile.h"

namespace ferrik {

namespace {

constexpr std::size_t kBlock = protocol::kFirmwareBlockSize;

}  // namespace

int ProgressPosition(std::int64_t done) {
    // 64-bit so that images past 21 MB cannot overflow the product.
    return static_cast<int>(std::min<std::int64_t>(done * 100 / kProgressFullScale, 1 << 30));
}

UpdateSettings UpdateSettings::FromEnvironment() {
    UpdateSettings settings;
    settings.tcpPort = cli::TcpPortFromEnvironment();
    settings.discovery = cli::DiscoverySettingsFromEnvironment();
    return settings;
}

UpdateTool::UpdateTool(UpdateWindow& window, printer_link::UsbDeviceSource& usb, protocol::DeviceTable& table,
                       UpdateSettings settings)
    : window_(window), table_(table), settings_(std::move(settings)),
      port_(usb, printer_link::UpdatablePrinterProductIds()) {
    port_.SetStopEvent(&stop_);
    port_.SetOpenedCallback([this](const std::string& path) { window_.ShowDevicePath(path); });
}

std::size_t UpdateTool::WriteInPieces(const std::uint8_t* data, std::size_t length) {
    return port_.WriteInPieces(data, length, kUsbPieceSize, settings_.usbPieceTimeoutMs).Ok() ? length : 0;
}

void UpdateTool::SetProgress(std::int64_t done) { window_.SetProgress(ProgressPosition(done), done); }

Outcome UpdateTool::PrintErrorAndEnd() {
    // Release the device before the message: the program ends after it, and a
    // test window that returns from EndProgram must find nothing half-open.
    port_.Close();
    window_.EndProgram(kPrintErrorText, 1);
    return Outcome::ProgramEnded;
}

// The file is opened and checked before the printer is told to expect a
// download, so that a missing or unusable file leaves the printer as it was.
std::unique_ptr<ImageFile> UpdateTool::OpenFile(const std::string& path) {
    std::string why;
    auto file = ImageFile::Open(path, why);
    if (!file) window_.ShowMessageBox(kFileErrorPrefix + path + ": " + why);
    return file;
}

Outcome UpdateTool::SendFirmwareOverUsb(const std::string& imagePath) {
    window_.SetButtonEnabled(ActionButton::UsbUpdate, false);
    const auto image = OpenFile(imagePath);
    if (!image) return Outcome::Refused;
    port_.Open();
    if (WriteInPieces(protocol::kEnterFirmware, sizeof protocol::kEnterFirmware) == 0) return PrintErrorAndEnd();

    // Block buffer at the front of the area that later carries the trailer. It
    // starts zeroed; a short last block keeps the previous block's tail.
    std::array<std::uint8_t, 2 * kBlock> area{};
    std::uint32_t sum = 0;
    std::int64_t blocks = 0;
    std::int64_t progress = 0;
    for (;;) {
        std::size_t got = 0;
        if (!image->Read(area.data(), kBlock, got)) {
            // No trailer: a checksum over a cut image would let the printer take it.
            port_.Close();
            window_.ShowMessageBox(kFileErrorPrefix + imagePath);
            return Outcome::FileFailed;
        }
        if (got == 0) break;
        const std::size_t n = WriteInPieces(area.data(), kBlock);
        if (n == 0) return PrintErrorAndEnd();
        ++blocks;
        sum = protocol::FirmwareChecksum(area.data(), n, sum);
        progress += static_cast<std::int64_t>(kBlock);
        SetProgress(progress);
    }

    area.fill(protocol::kFirmwareFillByte);
    if (blocks % 2 == 1) {
        if (WriteInPieces(area.data(), kBlock) == 0) return PrintErrorAndEnd();
        sum = protocol::FirmwareChecksum(area.data(), kBlock, sum);
    }
    for (int i = 0; i < protocol::kUsbTrailerBlocks; ++i) {
        sum = protocol::FirmwareChecksum(area.data(), kBlock, sum);
        if (WriteInPieces(area.data(), kBlock) == 0) return PrintErrorAndEnd();
    }
    const std::uint8_t checksum[4] = {static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8),
                                      static_cast<std::uint8_t>(sum >> 16),
                                      static_cast<std::uint8_t>(sum >> 24)};
    if (WriteInPieces(checksum, sizeof checksum) == 0) return PrintErrorAndEnd();

    port_.Close();
    window_.ShowMessageBox(kUsbDoneText);
    return Outcome::Done;
}

printer_link::OpenOptions UpdateTool::NetworkOptions() const {
    printer_link::OpenOptions options;
    options.connectTimeoutMs = settings_.connectTimeoutMs;
    options.stop = &stop_;
    return options;
}

Outcome UpdateTool::SendFirmwareOverNetwork(int selected, const std::string& imagePath) {
    if (selected < 0 || selected >= protocol::DeviceTable::kSlots) {
        window_.ShowMessageBox(kSelectDeviceText);
        return Outcome::Refused;
    }
    const auto image = OpenFile(imagePath);
    if (!image) return Outcome::Refused;
    window_.SetButtonEnabled(ActionButton::NetworkUpdate, false);

    const protocol::Ipv4 address = table_.Slot(selected).ip();
    // Every other slot counts, filled or empty: an empty slot reads as 0.0.0.0.
    for (int i = 0; i < protocol::DeviceTable::kSlots; ++i) {
        if (i != selected && table_.Slot(i).ip() == address) {
            window_.ShowMessageBox(kDuplicateIpText);
            return Outcome::Refused;
        }
    }
    if (address[0] == 0) return Outcome::Refused;

    printer_link::Opened connection =
        printer_link::OpenDevice(printer_link::SocketUri(address, settings_.tcpPort), NetworkOptions());
    network_ = connection.failure;
    if (!connection.device) {
        window_.ShowMessageBox(kNetConnectFailText);
        return Outcome::Failed;
    }
    printer_link::Device& printer = *connection.device;
    // Every block in one piece: a send that the printer takes only in part
    // goes on with the rest of the block.
    const printer_link::Pacing pacing{kBlock, settings_.sendTimeoutMs, &stop_};
    // The result of the enter command is not looked at: a dead connection
    // fails the first block.
    printer.Write(protocol::kEnterFirmware, sizeof protocol::kEnterFirmware, pacing);

    auto failed = [&](const printer_link::Result& result) {
        network_ = result;
        printer.Abandon();
        return PrintErrorAndEnd();
    };
    std::array<std::uint8_t, kBlock> buffer{};
    std::int64_t total = 0;
    for (;;) {
        std::size_t got = 0;
        if (!image->Read(buffer.data(), kBlock, got)) {
            printer.Abandon();
            window_.ShowMessageBox(kFileErrorPrefix + imagePath);
            return Outcome::FileFailed;
        }
        if (got == 0) break;
        const printer_link::Result sent = printer.Write(buffer.data(), kBlock, pacing);
        if (!sent.Ok()) return failed(sent);
        total += static_cast<std::int64_t>(kBlock);
        SetProgress(total);
    }
    buffer.fill(protocol::kFirmwareFillByte);
    for (int i = 0; i < protocol::kNetworkTrailerBlocks; ++i) {
        const printer_link::Result sent = printer.Write(buffer.data(), kBlock, pacing);
        if (!sent.Ok()) return failed(sent);
    }
    // The download counts only once the printer has closed the connection
    // with every byte taken; a reset means it did not take the image.
    const printer_link::Result closed = printer.Close(settings_.finishTimeoutMs, &stop_);
    if (!closed.Ok()) return failed(closed);
    network_ = closed;

    port_.Close();
    window_.SetButtonEnabled(ActionButton::NetworkUpdate, true);
    ClearDevices();
    // Replies that were on their way during the download are dropped too.
    std::this_thread::sleep_for(std::chrono::milliseconds(settings_.tableSettleMs));
    table_.Clear();
    return Outcome::Done;
}

Outcome UpdateTool::SendFontOverUsb(const std::string& fontPath) {
    const auto font = OpenFile(fontPath);
    if (!font) return Outcome::Refused;
    port_.Open();
    if (WriteInPieces(protocol::kEnterFont, sizeof protocol::kEnterFont) == 0) {
        port_.Close();
        window_.ShowMessageBox(kPrintErrorText);
        return Outcome::Failed;
    }
    std::array<std::uint8_t, protocol::kFontFrameSize> frame{};
    for (;;) {
        std::size_t got = 0;
        if (!font->Read(frame.data() + 1, kBlock, got)) {
            port_.Close();
            window_.ShowMessageBox(kFileErrorPrefix + fontPath);
            return Outcome::FileFailed;
        }
        if (got == 0) break;
        frame.front() = protocol::kFontFrameMark;
        frame.back() = protocol::kFontFrameMark;
        if (WriteInPieces(frame.data(), frame.size()) == 0) {
            port_.Close();
            window_.ShowMessageBox(kPrintErrorText);
            return Outcome::Failed;
        }
    }
    port_.Close();
    window_.ShowMessageBox(kFinishText);
    return Outcome::Done;
}

Outcome UpdateTool::SendSetting(const std::uint8_t* head, std::size_t headLength, const std::uint8_t* body,
                                std::size_t bodyLength, const char* doneText) {
    port_.Open();
    // The link is released after each setting: usblp lets one program hold the
    // printer at a time, and the printer may be wanted elsewhere meanwhile.
    const bool ok = WriteInPieces(head, headLength) != 0 && WriteInPieces(body, bodyLength) != 0;
    port_.Close();
    if (!ok) {
        window_.ShowMessageBox(kSetErrorText);
        return Outcome::Failed;
    }
    if (doneText != nullptr) window_.ShowMessageBox(doneText);
    return Outcome::Done;
}

Outcome UpdateTool::SendCodePageWidthBeep(int codePage, int printWidth, int buzzer) {
    const std::uint8_t head[] = {0x1F, 0x1B, 0x05};
    const std::uint8_t body[] = {protocol::UpdateToolCodePageValue(codePage), protocol::ListValue(printWidth),
                                 protocol::ListValue(buzzer), 0x00};
    return SendSetting(head, sizeof head, body, sizeof body, nullptr);
}

Outcome UpdateTool::SendDarkness(int darkness) {
    const std::uint8_t head[] = {0x1F, 0x1B, 0x01};
    const std::uint8_t body[] = {0x00, 0x00, 0x00, protocol::ListValue(darkness), 0x00, 0x00, 0x00, 0x00};
    return SendSetting(head, sizeof head, body, sizeof body, kDarknessDoneText);
}

Outcome UpdateTool::SendQuietly(const std::vector<std::uint8_t>& message) {
    port_.Open();
    const bool ok = WriteInPieces(message.data(), message.size()) != 0;
    port_.Close();
    return ok ? Outcome::Done : Outcome::Failed;  // nothing is shown either way
}

Outcome UpdateTool::SendUsbIdentityX() { return SendQuietly(protocol::UsbIdentityX()); }

Outcome UpdateTool::SendUsbIdentityG() { return SendQuietly(protocol::UsbIdentityG()); }

void UpdateTool::ClearDevices() {
    table_.Clear();
    window_.ClearDeviceList();
}

void UpdateTool::StartNetworkSearch() {
    ClearDevices();
    searchFlag_ = true;
}

Outcome UpdateTool::SendNetworkSearch() {
    if (!searchFlag_) return Outcome::Refused;
    // A socket of its own for every probe, closed right after it.
    protocol::DiscoverySockets sockets(settings_.discovery);
    if (!sockets.OpenBroadcast()) {
        window_.ShowMessageBox(kSocketErrorText);
        return Outcome::Failed;
    }
    sockets.SendDiscoveryProbe();
    return Outcome::Done;
}

bool UpdateTool::SendNetworkSettings(const protocol::Ipv4& ip, const protocol::Ipv4& mask,
                                     const protocol::Mac& mac, const protocol::Ipv4& gateway, bool dhcp,
                                     const protocol::DeviceRecord& chosen) {
    protocol::DiscoverySockets sockets(settings_.discovery);
    if (!sockets.OpenBroadcast()) {
        window_.ShowMessageBox(kSocketErrorText);
        return false;
    }
    if (!sockets.SendAddressSetting(ip, mask, mac, gateway, chosen, dhcp ? 0x01 : 0x00)) {
        window_.ShowMessageBox(kSendErrorText);
        return false;
    }
    return true;
}

Outcome UpdateTool::TestPrinterConnectionOnce(const protocol::Ipv4& address) {
    printer_link::TcpSettings tcp;
    tcp.port = settings_.tcpPort;
    tcp.connectTimeoutMs = settings_.connectTimeoutMs;
    network_ = printer_link::TestPrinterConnection(address, tcp);
    if (!network_.Ok()) {
        window_.ShowMessageBox(kConnectFailShortText);
        return Outcome::Failed;
    }
    return Outcome::Done;
}

}  // namespace ferrik
