#include "sim/SimConfig.h"

#include <charconv>
#include <cstring>
#include <sstream>

#include "protocol/SettingsCommands.h"

namespace sim {
namespace {

template <typename T>
bool Number(std::string_view text, T& value, int base = 10) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

bool Port(std::string_view text, std::uint16_t& port) {
    unsigned value = 0;
    if (!Number(text, value) || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

// n bytes written as hex, separated by ':' or '-' ("00:1a:b:ff:7:c0").
bool HexBytes(const std::string& text, std::uint8_t* out, std::size_t n) {
    std::string normal = text;
    for (char& c : normal) {
        if (c == '-') c = ':';
    }
    const auto parts = Split(normal, ':');
    if (parts.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        auto byte = protocol::HexBoxToByte(parts[i]);
        if (!byte) return false;
        out[i] = *byte;
    }
    return true;
}

bool Ipv4(const std::string& text, std::uint8_t* out) {
    const auto parts = Split(text, '.');
    if (parts.size() != 4) return false;
    for (std::size_t i = 0; i < 4; ++i) {
        unsigned value = 0;
        if (!Number(parts[i], value) || value > 255) return false;
        out[i] = static_cast<std::uint8_t>(value);
    }
    return true;
}

bool Id(const std::string& text, std::uint8_t* out) {
    const auto parts = Split(text, '.');
    if (parts.size() != 2) return false;
    for (std::size_t i = 0; i < 2; ++i) {
        unsigned value = 0;
        if (!Number(parts[i], value, 16) || value > 255) return false;
        out[i] = static_cast<std::uint8_t>(value);
    }
    return true;
}

}  // namespace

SimPrinter SimPrinter::Default() {
    SimPrinter p;
    const std::uint8_t bytes[18] = {0x01, 0x00, 0x00, 0x1A, 0x0B, 0xFF, 0x07, 0xC0, 0, 0, 0, 0, 0, 0,
                                    192,  168,  0,    199};
    std::copy(std::begin(bytes), std::end(bytes), p.record.bytes.begin());
    return p;
}

std::optional<SimPrinter> SimPrinter::Parse(const std::string& text, std::string* error) {
    SimPrinter p = Default();
    auto& b = p.record.bytes;
    for (const auto& item : Split(text, ',')) {
        if (item.empty()) continue;
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        bool ok = false;
        if (key == "mac") ok = HexBytes(value, &b[2], 6);
        else if (key == "ip") ok = Ipv4(value, &b[14]);
        else if (key == "id") ok = Id(value, &b[0]);
        else if (key == "extra") ok = HexBytes(value, &b[8], 6);
        if (!ok) {
            if (error) *error = "bad printer field '" + item + "' (mac=.., ip=.., id=X.Y, extra=..)";
            return std::nullopt;
        }
    }
    return p;
}

const char* UsageText() {
    return R"(usage: printer-sim [options]
A receipt printer in software: TCP raw port, UDP discovery, fake USB printers.
Every message received is printed as one line; lines starting "# " are events.

  --tcp-port N        TCP raw port (default 9100; 0 = any free port)
  --probe-port N      UDP port for discovery probes (default 9000; 0 = any free port)
  --reply-port N      UDP port that replies go to (default 8999)
  --reply-addr A      address that replies go to (default 255.255.255.255)
  --no-udp            do not answer discovery
  --printer FIELDS    a network printer: mac=00:1a:0b:ff:07:c0,ip=192.168.0.199,id=1.0,
                      extra=00:00:00:00:00:00 (repeat for several; default one printer)
  --usb ROOT[:PID]    a fake USB printer under ROOT (product PID in hex, default 5011,
                      vendor 0418); repeat for several devices
  --usb-vendor VID    vendor ID (hex) of the preceding --usb device
  --usb-serial S      serial number of the preceding --usb device
  --stall             accept connections and open the USB node, but never read
  --refuse            do not listen on TCP (connections are refused)
  --close-after N     close each TCP connection after N bytes
  --reset-after N     reset each TCP connection after N bytes (what is unread is dropped)
  --delay MS          pause MS milliseconds after every read
  --read-size N       read at most N bytes at a time (default 4096)
  --raw FILE          append every byte received (TCP and USB) to FILE
  --raw-dir DIR       also write each stream to its own file in DIR
  --log FILE          copy every output line to FILE
  --receipts DIR      render what is printed: one PNG per receipt in DIR (receipt-0001.png
                      ...; a receipt ends at a cut, an ESC @ after printing, or the end of
                      the stream) and a line per receipt: "receipt 1: 576 x 1240 dots, partial cut"
  --head-dots N       width of the print head in dots (default 576; 384 for 58 mm paper)
  --quiet-probes      do not print a line for each probe
  -h, --help          this text
)";
}

std::optional<SimConfig> ParseCommandLine(int argc, char** argv, std::string* error, bool* help) {
    SimConfig config;
    bool printersGiven = false;
    auto fail = [&](const std::string& text) -> std::optional<SimConfig> {
        if (error) *error = text;
        return std::nullopt;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            if (help) *help = true;
            return std::nullopt;
        } else if (arg == "--tcp-port") {
            if (!value(v) || !Port(v, config.tcpPort)) return fail("--tcp-port needs a port number");
        } else if (arg == "--probe-port") {
            if (!value(v) || !Port(v, config.probePort)) return fail("--probe-port needs a port number");
        } else if (arg == "--reply-port") {
            if (!value(v) || !Port(v, config.replyPort) || config.replyPort == 0)
                return fail("--reply-port needs a port number");
        } else if (arg == "--reply-addr") {
            std::uint8_t address[4];
            if (!value(v) || !Ipv4(v, address)) return fail("--reply-addr needs an IPv4 address");
            config.replyAddress = v;
        } else if (arg == "--no-udp") {
            config.udpEnabled = false;
        } else if (arg == "--printer") {
            if (!value(v)) return fail("--printer needs a description");
            std::string why;
            auto printer = SimPrinter::Parse(v, &why);
            if (!printer) return fail(why);
            config.printers.push_back(*printer);
            printersGiven = true;
        } else if (arg == "--usb") {
            if (!value(v) || v.empty()) return fail("--usb needs ROOT[:PID]");
            UsbDeviceSpec device;
            const auto colon = v.rfind(':');
            device.root = v;
            if (colon != std::string::npos && colon > 0) {
                if (!Number(std::string_view(v).substr(colon + 1), device.product, 16))
                    return fail("--usb ROOT:PID needs a hex product ID");
                device.root = v.substr(0, colon);
            }
            config.usb.push_back(device);
        } else if (arg == "--usb-vendor") {
            if (config.usb.empty()) return fail("--usb-vendor follows a --usb option");
            if (!value(v) || !Number(std::string_view(v), config.usb.back().vendor, 16))
                return fail("--usb-vendor needs a hex vendor ID");
        } else if (arg == "--usb-serial") {
            if (config.usb.empty()) return fail("--usb-serial follows a --usb option");
            if (!value(v) || v.empty() || v.find('/') != std::string::npos || v.find('#') != std::string::npos)
                return fail("--usb-serial needs a serial number (no '/' or '#')");
            config.usb.back().serial = v;
        } else if (arg == "--stall") {
            config.stall = true;
        } else if (arg == "--refuse") {
            config.tcpEnabled = false;
        } else if (arg == "--close-after") {
            std::uint64_t n = 0;
            if (!value(v) || !Number(std::string_view(v), n)) return fail("--close-after needs a byte count");
            config.closeAfter = n;
        } else if (arg == "--reset-after") {
            std::uint64_t n = 0;
            if (!value(v) || !Number(std::string_view(v), n)) return fail("--reset-after needs a byte count");
            config.closeAfter = n;
            config.resetOnClose = true;
        } else if (arg == "--delay") {
            if (!value(v) || !Number(std::string_view(v), config.delayMs) || config.delayMs < 0)
                return fail("--delay needs milliseconds");
        } else if (arg == "--read-size") {
            if (!value(v) || !Number(std::string_view(v), config.readSize) || config.readSize == 0)
                return fail("--read-size needs a positive byte count");
        } else if (arg == "--raw") {
            if (!value(config.rawFile)) return fail("--raw needs a file name");
        } else if (arg == "--raw-dir") {
            if (!value(config.rawDir)) return fail("--raw-dir needs a folder");
        } else if (arg == "--log") {
            if (!value(config.logFile)) return fail("--log needs a file name");
        } else if (arg == "--receipts") {
            if (!value(config.receiptDir) || config.receiptDir.empty()) return fail("--receipts needs a folder");
        } else if (arg == "--head-dots") {
            if (!value(v) || !Number(std::string_view(v), config.headDots) || config.headDots < 8 ||
                config.headDots > 4096)
                return fail("--head-dots needs a width of 8 to 4096 dots");
        } else if (arg == "--quiet-probes") {
            config.quietProbes = true;
        } else {
            return fail("unknown option '" + arg + "'");
        }
    }
    if (!printersGiven) config.printers.push_back(SimPrinter::Default());
    return config;
}

}  // namespace sim
