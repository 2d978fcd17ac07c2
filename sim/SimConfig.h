#pragma once
// Command line of printer-sim.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
};

// Parses argv; on failure returns nothing and sets `error`. `help` is set for -h/--help.
std::optional<SimConfig> ParseCommandLine(int argc, char** argv, std::string* error, bool* help);
const char* UsageText();

}  // namespace sim
