#include "update-tool/core/UpdateTool.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "protocol/SettingsCommands.h"
#include "update-tool/core/NetSocket.h"

namespace ferrik {
namespace {

constexpr std::uint8_t kEnterFirmware[] = {0x1B, 0x2B};
constexpr std::uint8_t kEnterFont[] = {0x1B, 0x1D};
constexpr std::uint8_t kFrameMark = 0x2A;

const char* const kCodePages[kCodePageEntryCount] = {
    "PC437(Std.Europe)", "Katakana", "PC850(Multilingual)", "PC860(Portuguese)",
    "PC863(Canadian)", "PC865(Nordic)", "ISO8859-1,Latin-1 West Europe", "ISO8859-7,Greek",
    "ISO8859-8,Hebrew)", "ISO8859-2,CP1250,East Europe", "Iran", "WPC1252",
    "PC866(cyrillic#2)", "PC852(Latin2)", "PC858", "IranII", "Latvian", "Arabic",
    "CP1251,pt151", "PC747", "wpc1257", "Vietnam", "PC864", "pc1001", "China"};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenForReading(const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    // Blocks are taken 256 bytes at a time; the file is read in larger pieces.
    if (file) std::setvbuf(file.get(), nullptr, _IOFBF, 64 * 1024);
    return file;
}

// Reads up to `length` bytes (a short count only at the end of the file).
// False on a read error.
bool ReadBlock(std::FILE* file, std::uint8_t* into, std::size_t length, std::size_t& got) {
    got = std::fread(into, 1, length, file);
    return std::ferror(file) == 0;
}

// Adds every byte to `sum` (modulo 2^32). Eight bytes at a time: the bytes of a
// word are added pairwise into four 16-bit lanes, which cannot overflow within
// a run of 128 words, then the lanes are folded into the sum.
std::uint32_t Sum(const std::uint8_t* data, std::size_t length, std::uint32_t sum) {
    constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    std::size_t i = 0;
    while (length - i >= 8) {
        std::uint64_t lanes = 0;
        for (int run = 0; run < 128 && length - i >= 8; ++run, i += 8) {
            std::uint64_t word;
            std::memcpy(&word, data + i, sizeof word);
            lanes += (word & kLowBytes) + ((word >> 8) & kLowBytes);
        }
        sum += static_cast<std::uint32_t>((lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) +
                                          (lanes >> 48));
    }
    for (; i < length; ++i) sum += data[i];
    return sum;
}

}  // namespace

int ProgressPosition(std::int64_t done) {
    // 64-bit so that images past 21 MB cannot overflow the product.
    return static_cast<int>(std::min<std::int64_t>(done * 100 / kProgressFullScale, 1 << 30));
}

UpdateSettings UpdateSettings::FromEnvironment() {
    UpdateSettings settings;
    if (const char* text = std::getenv("PRINTER_TCP_PORT"); text && *text) {
        unsigned value = 0;
        const char* last = text + std::strlen(text);
        auto [end, ec] = std::from_chars(text, last, value);
        if (ec == std::errc() && end == last && value > 0 && value <= 65535) {
            settings.tcpPort = static_cast<std::uint16_t>(value);
        }
    }
    settings.discovery = protocol::DiscoverySettings::FromEnvironment();
    return settings;
}

const char* const* CodePageEntries() { return kCodePages; }

std::uint8_t CodePageValue(int position) {
    if (position < 0 || position >= kCodePageEntryCount - 1) return 0xFF;  // nothing, or "China"
    return static_cast<std::uint8_t>(position);
}

UpdateTool::UpdateTool(UpdateWindow& window, printer_link::UsbDeviceSource& usb, protocol::DeviceTable& table,
                       UpdateSettings settings)
    : window_(window), table_(table), settings_(std::move(settings)),
      port_(usb, printer_link::UpdateToolProductIds()) {
    port_.SetStopEvent(&stop_);
    port_.SetOpenedCallback([this](const std::string& path) { window_.ShowDevicePath(path); });
}

std::size_t UpdateTool::WriteInPieces(const std::uint8_t* data, std::size_t length) {
    std::size_t offset = 0;
    while (offset < length) {
        const std::size_t piece = std::min(length - offset, kUsbPieceSize);
        std::size_t written = 0;
        if (!port_.Write(data + offset, piece, &written, settings_.usbPieceTimeoutMs) || written == 0) {
            return 0;
        }
        offset += std::min(written, piece);
    }
    return offset;
}

void UpdateTool::SetProgress(std::int64_t done) { window_.SetProgress(ProgressPosition(done), done); }

Outcome UpdateTool::PrintErrorAndEnd() {
    // Release the device before the message: the program ends after it, and a
    // test window that returns from EndProgram must find nothing half-open.
    port_.Close();
    window_.EndProgram(kPrintErrorText, 1);
    return Outcome::ProgramEnded;
}

Outcome UpdateTool::SendFirmwareOverUsb(const std::string& imagePath) {
    window_.SetButtonEnabled(ActionButton::UsbUpdate, false);
    // The file is opened before the printer is told to expect an image, so
    // that a missing file leaves the printer as it was.
    File image = OpenForReading(imagePath);
    if (!image) {
        window_.ShowMessageBox(kFileErrorPrefix + imagePath);
        return Outcome::Refused;
    }
    port_.Open();
    if (WriteInPieces(kEnterFirmware, sizeof kEnterFirmware) == 0) return PrintErrorAndEnd();

    // Block buffer at the front of the area that later carries the trailer. It
    // starts zeroed; a short last block keeps the previous block's tail.
    std::array<std::uint8_t, 2 * kBlockSize> area{};
    std::uint32_t sum = 0;
    std::int64_t blocks = 0;
    std::int64_t progress = 0;
    for (;;) {
        std::size_t got = 0;
        if (!ReadBlock(image.get(), area.data(), kBlockSize, got)) {
            // No trailer: a checksum over a cut image would let the printer take it.
            port_.Close();
            window_.ShowMessageBox(kFileErrorPrefix + imagePath);
            return Outcome::Failed;
        }
        if (got == 0) break;
        const std::size_t n = WriteInPieces(area.data(), kBlockSize);
        if (n == 0) return PrintErrorAndEnd();
        ++blocks;
        sum = Sum(area.data(), n, sum);
        progress += static_cast<std::int64_t>(kBlockSize);
        SetProgress(progress);
    }

    area.fill(kFillByte);
    if (blocks % 2 == 1) {
        if (WriteInPieces(area.data(), kBlockSize) == 0) return PrintErrorAndEnd();
        sum = Sum(area.data(), kBlockSize, sum);
    }
    sum = Sum(area.data(), 2 * kBlockSize, sum);
    if (WriteInPieces(area.data(), kBlockSize) == 0 || WriteInPieces(area.data(), kBlockSize) == 0) {
        return PrintErrorAndEnd();
    }
    const std::uint8_t checksum[4] = {static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8),
                                      static_cast<std::uint8_t>(sum >> 16),
                                      static_cast<std::uint8_t>(sum >> 24)};
    if (WriteInPieces(checksum, sizeof checksum) == 0) return PrintErrorAndEnd();

    image.reset();
    port_.Close();
    window_.ShowMessageBox(kUsbDoneText);
    return Outcome::Done;
}

Outcome UpdateTool::SendFirmwareOverNetwork(int selected, const std::string& imagePath) {
    if (selected < 0 || selected >= protocol::DeviceTable::kSlots) {
        window_.ShowMessageBox(kSelectDeviceText);
        return Outcome::Refused;
    }
    File image = OpenForReading(imagePath);
    if (!image) {
        window_.ShowMessageBox(kFileErrorPrefix + imagePath);
        return Outcome::Refused;
    }
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

    Socket socket = ConnectTcp(address, settings_.tcpPort, settings_.connectTimeoutMs);
    if (!socket.Valid()) {
        window_.ShowMessageBox(kNetConnectFailText);
        return Outcome::Failed;
    }
    socket.SendOnce(kEnterFirmware, sizeof kEnterFirmware);

    // Sends all of a block, one send call after the other; progress after each call.
    std::int64_t total = 0;
    auto sendBlock = [&](const std::uint8_t* block, bool countProgress) {
        std::size_t sent = 0;
        while (sent < kBlockSize) {
            const long n = socket.SendOnce(block + sent, kBlockSize - sent);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
            if (countProgress) {
                total += n;
                SetProgress(total);
            }
        }
        return true;
    };

    std::array<std::uint8_t, kBlockSize> buffer{};
    for (;;) {
        std::size_t got = 0;
        if (!ReadBlock(image.get(), buffer.data(), kBlockSize, got)) {
            socket.Close();
            window_.ShowMessageBox(kFileErrorPrefix + imagePath);
            return Outcome::Failed;
        }
        if (got == 0) break;
        if (!sendBlock(buffer.data(), true)) {
            socket.Close();
            return PrintErrorAndEnd();
        }
    }
    buffer.fill(kFillByte);
    for (int i = 0; i < 3; ++i) {
        if (!sendBlock(buffer.data(), false)) {
            socket.Close();
            return PrintErrorAndEnd();
        }
    }

    image.reset();
    port_.Close();
    socket.Close();
    window_.SetButtonEnabled(ActionButton::NetworkUpdate, true);
    ClearDevices();
    // Replies that were on their way during the download are dropped too.
    std::this_thread::sleep_for(std::chrono::milliseconds(settings_.tableSettleMs));
    table_.Clear();
    return Outcome::Done;
}

Outcome UpdateTool::SendFontOverUsb(const std::string& fontPath) {
    File font = OpenForReading(fontPath);
    if (!font) {
        window_.ShowMessageBox(kFileErrorPrefix + fontPath);
        return Outcome::Refused;
    }
    port_.Open();
    if (WriteInPieces(kEnterFont, sizeof kEnterFont) == 0) {
        port_.Close();
        window_.ShowMessageBox(kPrintErrorText);
        return Outcome::Failed;
    }
    std::array<std::uint8_t, kFontFrameSize> frame{};
    for (;;) {
        std::size_t got = 0;
        if (!ReadBlock(font.get(), frame.data() + 1, kBlockSize, got)) {
            port_.Close();
            window_.ShowMessageBox(kFileErrorPrefix + fontPath);
            return Outcome::Failed;
        }
        if (got == 0) break;
        frame.front() = kFrameMark;
        frame.back() = kFrameMark;
        if (WriteInPieces(frame.data(), frame.size()) == 0) {
            port_.Close();
            window_.ShowMessageBox(kPrintErrorText);
            return Outcome::Failed;
        }
    }
    port_.Close();
    font.reset();
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
    const std::uint8_t body[] = {CodePageValue(codePage), protocol::ListValue(printWidth),
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
    Socket socket = BroadcastSocket();
    if (!socket.Valid()) {
        window_.ShowMessageBox(kSocketErrorText);
        return Outcome::Failed;
    }
    const auto probe = protocol::DiscoveryProbe();
    SendDatagram(socket, settings_.discovery.broadcastAddress, settings_.discovery.probePort, probe.data(),
                 probe.size());
    return Outcome::Done;
}

bool UpdateTool::SendNetworkSettings(const protocol::Ipv4& ip, const protocol::Ipv4& mask,
                                     const protocol::Mac& mac, const protocol::Ipv4& gateway, bool dhcp,
                                     const protocol::DeviceRecord& chosen) {
    Socket socket = BroadcastSocket();
    if (!socket.Valid()) {
        window_.ShowMessageBox(kSocketErrorText);
        return false;
    }
    const auto message = protocol::AddressSettingMessage(ip, mask, mac, gateway, chosen, dhcp ? 0x01 : 0x00);
    if (!SendDatagram(socket, settings_.discovery.broadcastAddress, settings_.discovery.probePort,
                      message.data(), message.size())) {
        window_.ShowMessageBox(kSendErrorText);
        return false;
    }
    return true;
}

Outcome UpdateTool::TestPrinterConnectionOnce(const protocol::Ipv4& address) {
    Socket socket = ConnectTcp(address, settings_.tcpPort, settings_.connectTimeoutMs);
    if (!socket.Valid()) {
        window_.ShowMessageBox(kConnectFailShortText);
        return Outcome::Failed;
    }
    return Outcome::Done;
}

}  // namespace ferrik
