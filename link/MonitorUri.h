#pragma once
// The device URI of a monitor port: everything the port monitor needs to find
// its printer, so that it reads no store of its own (CUPS runs it as user lp).
// The spooler writes it from the printer data ("PortType", "IP", "VidAndPid",
// "DevicePath") as they are set; the port monitor reads it back.
//
//   SCHEME://HOST:PORT[/PORTNAME]                                 a network printer (raw TCP)
//   SCHEME:/PORTNAME[?VidAndPid=V][&DevicePath=D][&serial=S]       a USB printer
//   SCHEME:/PORTNAME?PortType=1                                    a network port without an address
//
// PORTNAME is the spooler's port name without its colon ("POS80-Port");
// values are percent-encoded ("vid_0418%26pid_5011"). HOST is an IPv4
// address or a host name (letters, digits, '.', '-', '_'), or an IPv6 address
// in brackets ("[::1]"); a URI whose decoded HOST is anything else (a '/',
// ':' or '@' in it) names no printer. A USB printer is the
// first present one whose identity holds DevicePath, else VidAndPid, else one
// of the listed product IDs; serial narrows VidAndPid to one device.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Port.h"

namespace printer_link {

struct MonitorTarget {
    enum class Kind { Usb, Network, NetworkWithoutAddress };
    Kind kind = Kind::Usb;
    std::string portName;  // without the colon; may be empty
    std::string host;      // Network: an IPv4 address, a name, or an IPv6 address without brackets
    std::uint16_t tcpPort = protocol::kRawTcpPort;
    std::string vidAndPid;   // Usb: "vid_0418&pid_5011"
    std::string devicePath;  // Usb: an identity "\\?\usb#vid_0418&pid_5011#..."
    std::string serial;      // Usb: with VidAndPid, the one device of that serial number
};

// The printer data as stored with a printer (texts; PortType as its number).
struct PrinterData {
    std::optional<std::uint32_t> portType;  // 1: network
    std::string ip;                         // "<address> <port>"
    std::string vidAndPid;
    std::string devicePath;
};

// What the printer data name. A network printer needs PortType 1 (or no
// PortType yet) and an address; a port number that is missing or not one
// (0, > 65535, not a number) is 9100.
MonitorTarget TargetFromPrinterData(std::string_view portName, const PrinterData& data);

std::string FormatMonitorUri(std::string_view scheme, const MonitorTarget& target);

// Nullopt (with the reason) for a URI that is not of the forms above.
std::optional<MonitorTarget> ParseMonitorUri(std::string_view uri, std::string* error = nullptr);

// The device layer's name of the target's printer, and the identity
// substrings that pick it among the present USB printers (empty for a
// network printer, and where the URI names no USB printer: the device
// layer's own list of product IDs then applies).
struct DeviceChoice {
    std::string uri;  // empty for a network port without an address
    std::vector<std::string> productIds;
};
DeviceChoice DeviceFor(const MonitorTarget& target);

}  // namespace printer_link
