#pragma once
// The update tool's actions: the three downloads, the setting actions and the
// network group. They run to their end in the caller's thread and reach the
// user only through UpdateWindow.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/Device.h"
#include "link/StopEvent.h"
#include "link/UsbDeviceSource.h"
#include "link/UsbPrinterPort.h"
#include "protocol/Discovery.h"
#include "update-tool/core/Texts.h"
#include "update-tool/core/UpdateWindow.h"

namespace ferrik {

class ImageFile;

// The progress bar's full scale in bytes, whatever the size of the file.
inline constexpr std::int64_t kProgressFullScale = 40960;
inline constexpr std::size_t kUsbPieceSize = 64;

// Position of the bar for `done` bytes: done * 100 / 40960, truncated.
int ProgressPosition(std::int64_t done);

struct UpdateSettings {
    int usbPieceTimeoutMs = 1000;
    std::uint16_t tcpPort = printer_link::kPrinterTcpPort;
    int connectTimeoutMs = printer_link::kConnectTimeoutMs;
    int sendTimeoutMs = 5000;    // bound on each send of the network download
    int finishTimeoutMs = printer_link::kFinishTimeoutMs;  // wait for the printer's close after the last block
    // The pause between the two clearings of the device table after a network download.
    int tableSettleMs = 1000;
    protocol::DiscoverySettings discovery;
    // PRINTER_TCP_PORT and the discovery variables override the defaults.
    static UpdateSettings FromEnvironment();
};

// What an action came to, for the subcommands' exit status. The window ignores it.
enum class Outcome {
    Done,          // everything was sent (or the setting was written)
    Refused,       // a check stopped it before anything was sent
    Failed,        // a failure was reported and the action ended
    FileFailed,    // the file could not be read to its end; the action ended
    ProgramEnded,  // "Print error": the program ends with status 1
};

class UpdateTool {
public:
    UpdateTool(UpdateWindow& window, printer_link::UsbDeviceSource& usb, protocol::DeviceTable& table,
               UpdateSettings settings = UpdateSettings::FromEnvironment());
    UpdateTool(const UpdateTool&) = delete;
    UpdateTool& operator=(const UpdateTool&) = delete;

    // Writes through the program-wide link in pieces of at most 64 bytes, each
    // confirmed within the piece time-out. Returns `length`, or 0 on any failure.
    std::size_t WriteInPieces(const std::uint8_t* data, std::size_t length);
    void SetProgress(std::int64_t done);

    Outcome SendFirmwareOverUsb(const std::string& imagePath = kImageFileName);
    // `selected` is the device list's selected line (-1: none), which is the slot
    // of the chosen printer in the device table.
    Outcome SendFirmwareOverNetwork(int selected, const std::string& imagePath = kImageFileName);
    Outcome SendFontOverUsb(const std::string& fontPath = kFontFileName);

    // List positions, -1 when nothing is chosen.
    Outcome SendCodePageWidthBeep(int codePage, int printWidth, int buzzer);
    Outcome SendDarkness(int darkness);
    Outcome SendUsbIdentityX();
    Outcome SendUsbIdentityG();

    // Network group.
    void StartNetworkSearch();           // empties list and table, sets the search flag
    bool SearchFlag() const { return searchFlag_; }
    Outcome SendNetworkSearch();         // one probe if the search flag is set
    // The settings of NetworkSetDialog. True when the message left (the dialog closes).
    bool SendNetworkSettings(const protocol::Ipv4& ip, const protocol::Ipv4& mask,
                             const protocol::Mac& mac, const protocol::Ipv4& gateway, bool dhcp,
                             const protocol::DeviceRecord& chosen);
    Outcome TestPrinterConnectionOnce(const protocol::Ipv4& address);
    // Empties the device list and the table together.
    void ClearDevices();

    printer_link::CUsbPrinterPort& Port() { return port_; }
    // Why the last USB open failed (node and errno for a command line).
    const printer_link::Result& LastUsbOpen() const { return port_.LastOpen(); }
    // What the last network connection or send came to (node and errno for a command line).
    const printer_link::Result& LastNetworkResult() const { return network_; }
    protocol::DeviceTable& Table() { return table_; }
    const UpdateSettings& Settings() const { return settings_; }

private:
    Outcome PrintErrorAndEnd();
    std::unique_ptr<ImageFile> OpenFile(const std::string& path);
    Outcome SendSetting(const std::uint8_t* head, std::size_t headLength,
                        const std::uint8_t* body, std::size_t bodyLength,
                        const char* doneText);
    Outcome SendQuietly(const std::vector<std::uint8_t>& message);
    printer_link::OpenOptions NetworkOptions() const;

    UpdateWindow& window_;
    protocol::DeviceTable& table_;
    UpdateSettings settings_;
    printer_link::StopEvent stop_;
    printer_link::CUsbPrinterPort port_;
    printer_link::Result network_;
    bool searchFlag_ = false;
};

}  // namespace ferrik
