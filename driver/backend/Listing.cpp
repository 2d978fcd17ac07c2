#include "driver/backend/Listing.h"

#include <cstdio>

#include "link/MonitorUri.h"
#include "link/Device.h"
#include "link/UsbDeviceSource.h"

namespace portmon {
namespace {

constexpr const char* kMakeAndModel = "Receipt printer";

// A device line; the texts are quoted, so a quote in them becomes an apostrophe.
std::string Line(const char* deviceClass, const std::string& uri, const std::string& info) {
    std::string quoted = info;
    for (char& c : quoted)
        if (c == '"' || static_cast<unsigned char>(c) < 0x20) c = '\'';
    return std::string(deviceClass) + " " + uri + " \"" + kMakeAndModel + "\" \"" + quoted + "\" \"\" \"\"";
}

void ListUsb(std::string_view scheme, printer_link::UsbDeviceSource& usb, const std::vector<std::string>& productIds,
             std::vector<std::string>& lines) {
    printer_link::FirstUsbCandidate(usb, productIds, {},
                                    [&](const printer_link::UsbDeviceInfo& device) {
                                        printer_link::MonitorTarget target;
                                        target.portName = "usb";
                                        target.vidAndPid = "vid_" + device.vendor + "&pid_" + device.product;
                                        target.serial = device.serial;
                                        std::string info = std::string(kMakeAndModel) + " USB " + device.vendor +
                                                           ":" + device.product;
                                        if (!device.serial.empty()) info += " " + device.serial;
                                        lines.push_back(Line("direct", printer_link::FormatMonitorUri(scheme, target), info));
                                        return false;  // every candidate is listed
                                    });
}

std::string MacText(const protocol::Mac& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

void ListNetwork(std::string_view scheme, const protocol::DiscoverySettings& settings, std::chrono::milliseconds listen,
                 const LogLine& log, std::vector<std::string>& lines) {
    std::string error;
    const auto found = protocol::SearchPrinters(settings, listen, &error);
    if (!found) {
        log("DEBUG: no network search: " + error);
        return;
    }
    for (const protocol::DeviceRecord& record : *found) {
        if (record.ip() == protocol::Ipv4{}) continue;  // a printer without an address yet
        printer_link::MonitorTarget target;
        target.kind = printer_link::MonitorTarget::Kind::Network;
        target.host = protocol::Ipv4Text(record.ip());
        lines.push_back(Line("network", printer_link::FormatMonitorUri(scheme, target),
                             std::string(kMakeAndModel) + " " + target.host + " (" + MacText(record.mac()) + ")"));
    }
}

}  // namespace

std::vector<std::string> ListPrinters(std::string_view scheme, printer_link::UsbDeviceSource* usb,
                                      const std::vector<std::string>& productIds,
                                      const protocol::DiscoverySettings& discovery, std::chrono::milliseconds listen,
                                      const LogLine& log) {
    std::vector<std::string> lines;
    if (usb) ListUsb(scheme, *usb, productIds, lines);
    ListNetwork(scheme, discovery, listen, log, lines);
    return lines;
}

}  // namespace portmon
