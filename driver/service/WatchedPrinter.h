#pragma once
// Which queues the service keeps printing, and the printer it watches for
// each. The record is the queue's device URI, which every user may read from
// CUPS (the installer's store stays root's): an install puts its printer on a
// monitor port named "<printer>-Port", and the port's device URI names the
// printer for the port monitor (link/MonitorUri.h):
//
//   SCHEME://ADDRESS:PORT/NAME-Port                  a network printer, probed at ADDRESS:PORT
//   SCHEME:/NAME-Port[?VidAndPid=..][&serial=..]      a USB printer, looked for among the present ones
//
// Any other device URI (CUPS's own backends, a port of another name) is not
// ours. A network printer named by a host name is not watched either: a probe
// would have to resolve the name, which may wait on a name server; the
// installer always writes the address.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace service {

struct WatchedPrinter {
    enum class Kind { Network, Usb };
    Kind kind = Kind::Network;
    std::string host;             // Network: a numeric IPv4 or IPv6 address
    std::uint16_t port = 0;
    std::string usbUri;           // Usb: the device layer's "usb:" or "usb://0418/5011?serial=SN"
    std::vector<std::string> productIds;  // Usb: identity substrings; empty: the listed product IDs

    // For log lines: "127.0.0.1:9100", "[::1]:9100", "USB vid_0418&pid_5011".
    std::string Where() const;
    bool operator==(const WatchedPrinter&) const = default;
};

// The printer a queue's device URI names, when the queue is ours to serve.
// Nullopt otherwise; `why` then says why when the URI is a monitor port's
// that cannot be watched ("" for a queue that is simply not ours).
std::optional<WatchedPrinter> WatchedPrinterFor(std::string_view deviceUri, std::string* why = nullptr);

}  // namespace service
