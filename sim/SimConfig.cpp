#include "sim/SimConfig.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <sstream>

#include "cli-common/Values.h"
#include "protocol/Port.h"
#include "protocol/SettingsCommands.h"
#include "sim/Condition.h"

namespace sim {
namespace {

template <typename T>
bool Number(std::string_view text, T& value, int base = 10) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

// 0 is a port here: "any free port".
bool Port(std::string_view text, std::uint16_t& port) {
    const auto value = protocol::ParsePort(text, protocol::ZeroPort::Allowed);
    if (value) port = *value;
    return value.has_value();
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

// Six bytes written as MAC boxes, or four as an address, into a record.
template <typename Bytes>
bool CopyTo(const std::optional<Bytes>& bytes, std::uint8_t* out) {
    if (!bytes) return false;
    std::copy(bytes->begin(), bytes->end(), out);
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
        if (key == "mac") ok = CopyTo(cli::ParseMac(value), &b[2]);
        else if (key == "ip") ok = CopyTo(cli::ParseIpv4(value), &b[14]);
        else if (key == "id") ok = Id(value, &b[0]);
        else if (key == "extra") ok = CopyTo(cli::ParseMac(value), &b[8]);
        if (!ok) {
            if (error) *error = "bad printer field '" + item + "' (mac=.., ip=.., id=X.Y, extra=..)";
            return std::nullopt;
        }
    }
    return p;
}

void SimCommandLine::Define(CLI::App& app) {
    app.add_option("--tcp-port", tcpPort, "TCP raw port (default 9100; 0 = any free port)")->type_name("N");
    app.add_option("--probe-port", probePort, "UDP port for discovery probes (default 9000; 0 = any free port)")
        ->type_name("N");
    app.add_option("--reply-port", replyPort, "UDP port that replies go to (default 8999)")->type_name("N");
    app.add_option("--reply-addr", replyAddress, "address that replies go to (default 255.255.255.255)")
        ->type_name("A")
        ->check(cli::Ipv4Value());
    app.add_flag("--no-udp", noUdp, "do not answer discovery");
    app.add_option("--printer", printers,
                   "a network printer: mac=00:1a:0b:ff:07:c0,ip=192.168.0.199,id=1.0,\n"
                   "extra=00:00:00:00:00:00 (repeat for several; default one printer)")
        ->type_name("FIELDS")
        ->allow_extra_args(false);
    usbOption_ = app.add_option("--usb", usb,
                                "a fake USB printer under ROOT (product PID in hex, default 5011,\n"
                                "vendor 0418); repeat for several devices")
                     ->type_name("ROOT[:PID]")
                     ->allow_extra_args(false);
    vendorOption_ = app.add_option("--usb-vendor", usbVendors, "vendor ID (hex) of the preceding --usb device")
                        ->type_name("VID")
                        ->allow_extra_args(false);
    serialOption_ = app.add_option("--usb-serial", usbSerials, "serial number of the preceding --usb device")
                        ->type_name("S")
                        ->allow_extra_args(false);
    app.add_flag("--stall", stall, "accept connections and open the USB node, but never read");
    app.add_flag("--refuse", refuse, "do not listen on TCP (connections are refused)");
    app.add_option("--close-after", closeAfter, "close each TCP connection after N bytes")->type_name("N");
    app.add_option("--reset-after", resetAfter, "reset each TCP connection after N bytes (what is unread is dropped)")
        ->type_name("N");
    app.add_option("--delay", delay, "pause MS milliseconds after every read")->type_name("MS");
    app.add_option("--read-size", readSize, "read at most N bytes at a time (default 4096)")->type_name("N");
    app.add_option("--raw", rawFile, "append every byte received (TCP and USB) to FILE")->type_name("FILE");
    app.add_option("--raw-dir", rawDir, "also write each stream to its own file in DIR")->type_name("DIR");
    app.add_option("--log", logFile, "copy every output line to FILE")->type_name("FILE");
    app.add_option("--receipts", receiptDir,
                   "render what is printed: one PNG per receipt in DIR (receipt-0001.png\n"
                   "...; a receipt ends at a cut, an ESC @ after printing, or the end of\n"
                   "the stream) and a line per receipt: \"receipt 1: 576 x 1240 dots, partial cut\"")
        ->type_name("DIR");
    app.add_option("--head-dots", headDots, "width of the print head in dots (default 576; 384 for 58 mm paper)")
        ->type_name("N");
    app.add_flag("--quiet-probes", quietProbes, "do not print a line for each probe");
    app.add_flag("--usb-fifo", usbFifo,
                 "make the USB nodes FIFOs (a printer with no way back) instead of\n"
                 "pseudo-terminals that answer status requests");
    app.add_option("--buffer", buffer,
                   "receive buffer of a stream in bytes (default 131072): what is held while\n"
                   "the printer cannot print; when it is full, the printer stops reading")
        ->type_name("BYTES");
    app.add_option("--control", controlPath,
                   "take control lines on a unix socket at PATH (\"paper-out on\", \"state\", ...;\n"
                   "see --tell)")
        ->type_name("PATH");
    app.add_option("--state", startState,
                   "start in this state: a comma-separated list of paper-near-end, paper-out,\n"
                   "cover-open, drawer-open, offline, status-silent")
        ->type_name("LIST");
    app.add_option("--tell", tell,
                   "send LINE to the printer-sim whose --control is PATH, print its reply and\n"
                   "exit (0 when it starts \"ok\"). Lines: paper-near-end|paper-out|cover-open|\n"
                   "drawer-open|offline|status-silent on|off, paper-out after N, state")
        ->type_name("PATH LINE")
        ->expected(2);
}

SimConfig SimCommandLine::Config(const CLI::App& app) const {
    using cli::UsageError;
    SimConfig config;
    if (!Port(tcpPort, config.tcpPort)) throw UsageError("--tcp-port needs a port number");
    if (!Port(probePort, config.probePort)) throw UsageError("--probe-port needs a port number");
    if (!Port(replyPort, config.replyPort) || config.replyPort == 0) throw UsageError("--reply-port needs a port number");
    config.replyAddress = replyAddress;
    config.udpEnabled = !noUdp;
    config.tcpEnabled = !refuse;
    config.stall = stall;
    config.quietProbes = quietProbes;
    config.rawFile = rawFile;
    config.rawDir = rawDir;
    config.logFile = logFile;
    config.receiptDir = receiptDir;
    config.usbFifo = usbFifo;
    config.controlPath = controlPath;
    if (app.count("--control") > 0 && controlPath.empty()) throw UsageError("--control needs a socket path");
    config.startState = startState;
    if (std::string why; !Condition().Set(startState, &why)) throw UsageError("--state: " + why);
    if (buffer && (!Number(std::string_view(*buffer), config.bufferSize) || config.bufferSize == 0))
        throw UsageError("--buffer needs a positive byte count");
    for (const std::string& text : printers) {
        std::string why;
        auto printer = SimPrinter::Parse(text, &why);
        if (!printer) throw UsageError(why);
        config.printers.push_back(*printer);
    }
    if (config.printers.empty()) config.printers.push_back(SimPrinter::Default());

    // --usb-vendor and --usb-serial belong to the --usb device given before them.
    std::size_t nextUsb = 0, nextVendor = 0, nextSerial = 0;
    for (const CLI::Option* option : app.parse_order()) {
        if (option == usbOption_) {
            const std::string& v = usb[nextUsb++];
            if (v.empty()) throw UsageError("--usb needs ROOT[:PID]");
            UsbDeviceSpec device;
            const auto colon = v.rfind(':');
            device.root = v;
            if (colon != std::string::npos && colon > 0) {
                if (!Number(std::string_view(v).substr(colon + 1), device.product, 16))
                    throw UsageError("--usb ROOT:PID needs a hex product ID");
                device.root = v.substr(0, colon);
            }
            config.usb.push_back(device);
        } else if (option == vendorOption_) {
            if (config.usb.empty()) throw UsageError("--usb-vendor follows a --usb option");
            if (!Number(std::string_view(usbVendors[nextVendor++]), config.usb.back().vendor, 16))
                throw UsageError("--usb-vendor needs a hex vendor ID");
        } else if (option == serialOption_) {
            if (config.usb.empty()) throw UsageError("--usb-serial follows a --usb option");
            const std::string& v = usbSerials[nextSerial++];
            if (v.empty() || v.find('/') != std::string::npos || v.find('#') != std::string::npos)
                throw UsageError("--usb-serial needs a serial number (no '/' or '#')");
            config.usb.back().serial = v;
        }
    }

    std::uint64_t n = 0;
    if (closeAfter) {
        if (!Number(std::string_view(*closeAfter), n)) throw UsageError("--close-after needs a byte count");
        config.closeAfter = n;
    }
    if (resetAfter) {
        if (!Number(std::string_view(*resetAfter), n)) throw UsageError("--reset-after needs a byte count");
        config.closeAfter = n;
        config.resetOnClose = true;
    }
    if (delay && (!Number(std::string_view(*delay), config.delayMs) || config.delayMs < 0))
        throw UsageError("--delay needs milliseconds");
    if (readSize && (!Number(std::string_view(*readSize), config.readSize) || config.readSize == 0))
        throw UsageError("--read-size needs a positive byte count");
    if (app.count("--receipts") > 0 && config.receiptDir.empty()) throw UsageError("--receipts needs a folder");
    if (headDots && (!Number(std::string_view(*headDots), config.headDots) || config.headDots < 8 ||
                     config.headDots > 4096))
        throw UsageError("--head-dots needs a width of 8 to 4096 dots");
    return config;
}

}  // namespace sim
