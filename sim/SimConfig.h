#pragma once
// Command line of printer-sim.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli-common/Program.h"
#include "protocol/Discovery.h"

namespace sim {

// One simulated network printer: the 18-byte record it answers probes with.
struct SimPrinter {
    protocol::DeviceRecord record;
    // "mac=00:1a:0b:ff:07:c0,ip=192.168.0.199,id=1.0,extra=00:00:00:00:00:00"
    // (every key optional; id is two hex bytes as shown in the device list).
    static std::optional<SimPrinter> Parse(const std::string& text, std::string* error);
    static SimPrinter Default();
};

// One fake USB printer under a root directory (see UsbTree.h).
struct UsbDeviceSpec {
    std::string root;
    std::uint16_t vendor = 0x0418;
    std::uint16_t product = 0x5011;
    std::string serial;  // empty: no serial file
};

struct SimConfig {
    bool tcpEnabled = true;          // false with --refuse
    std::uint16_t tcpPort = 9100;    // 0: any free port (shown in the ready line)
    bool udpEnabled = true;
    std::uint16_t probePort = 9000;  // 0: any free port
    std::uint16_t replyPort = 8999;
    std::string replyAddress = "255.255.255.255";
    std::vector<SimPrinter> printers;
    std::vector<UsbDeviceSpec> usb;

    bool stall = false;                      // accept / open, but never read
    std::optional<std::uint64_t> closeAfter; // close a TCP connection after N bytes
    bool resetOnClose = false;               // ... with a reset (--reset-after)
    int delayMs = 0;                         // pause after every read of a stream
    std::size_t readSize = 4096;             // bytes per read at most

    std::string rawFile;   // every byte received, appended per read
    std::string rawDir;    // one file per stream
    std::string logFile;   // copy of the stdout lines
    std::string receiptDir;     // each receipt as a PNG here, and a line per receipt (empty: off)
    unsigned headDots = 576;    // print head width: the width of a receipt
    bool quietProbes = false;

    bool usbFifo = false;                 // the USB nodes are FIFOs (no way back) instead of pseudo-terminals
    std::size_t bufferSize = 131072;      // receive buffer of a stream: held print data at most
    std::string controlPath;              // the control channel's unix socket (empty: none)
    std::string startState;               // --state: "paper-out,cover-open"
};

// printer-sim's options on its command line (cli-common's Program); after
// parsing, Config() checks their values and gives the configuration, or throws
// cli::UsageError naming what is wrong.
class SimCommandLine {
public:
    void Define(CLI::App& app);
    SimConfig Config(const CLI::App& app) const;
    // --tell PATH LINE: the socket and the line (empty when not given).
    const std::vector<std::string>& Tell() const { return tell; }

private:
    std::string tcpPort = "9100", probePort = "9000", replyPort = "8999", replyAddress = "255.255.255.255";
    std::vector<std::string> printers, usb, usbVendors, usbSerials;
    std::optional<std::string> closeAfter, resetAfter, delay, readSize, headDots, buffer;
    bool noUdp = false, stall = false, refuse = false, quietProbes = false, usbFifo = false;
    std::string controlPath, startState;
    std::vector<std::string> tell;
    std::string rawFile, rawDir, logFile, receiptDir;
    const CLI::Option* usbOption_ = nullptr;
    const CLI::Option* vendorOption_ = nullptr;
    const CLI::Option* serialOption_ = nullptr;
};

}  // namespace sim
