#include "driver/service/WatchedPrinter.h"

#include <arpa/inet.h>

#include "link/MonitorUri.h"

namespace service {
namespace {

// The installer names a printer's monitor port "<printer>-Port:"; the
// device URI carries it without the colon.
constexpr std::string_view kMonitorPortSuffix = "-Port";

bool IsNumericAddress(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() > tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

std::string WatchedPrinter::Where() const {
    if (kind == Kind::Usb) {
        std::string ids;
        for (const std::string& id : productIds) ids += (ids.empty() ? "" : ", ") + id;
        return "USB " + (ids.empty() ? std::string("printer") : ids);
    }
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<WatchedPrinter> WatchedPrinterFor(std::string_view deviceUri, std::string* why) {
    if (why) why->clear();
    const auto target = printer_link::ParseMonitorUri(deviceUri);
    if (!target || !EndsWith(target->portName, kMonitorPortSuffix)) return std::nullopt;
    WatchedPrinter printer;
    switch (target->kind) {
        case printer_link::MonitorTarget::Kind::NetworkWithoutAddress:
            if (why) *why = "the port names no printer address";
            return std::nullopt;
        case printer_link::MonitorTarget::Kind::Network: {
            std::string host = target->host;
            if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
            if (!IsNumericAddress(host)) {
                if (why) *why = "the printer's address \"" + target->host + "\" is not numeric";
                return std::nullopt;
            }
            printer.kind = WatchedPrinter::Kind::Network;
            printer.host = host;
            printer.port = target->tcpPort;
            return printer;
        }
        case printer_link::MonitorTarget::Kind::Usb: {
            const printer_link::DeviceChoice choice = printer_link::DeviceFor(*target);
            printer.kind = WatchedPrinter::Kind::Usb;
            printer.usbUri = choice.uri;
            printer.productIds = choice.productIds;
            return printer;
        }
    }
    return std::nullopt;
}

}  // namespace service
