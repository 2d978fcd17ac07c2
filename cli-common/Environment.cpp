#include "cli-common/Environment.h"

#include <cstdlib>
#include <optional>

#include "protocol/Port.h"

namespace cli {
namespace {

std::optional<std::uint16_t> PortVariable(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) return std::nullopt;
    return protocol::ParsePort(text, protocol::ZeroPort::Allowed);
}

}  // namespace

protocol::DiscoverySettings DiscoverySettingsFromEnvironment() {
    protocol::DiscoverySettings settings;
    if (const char* address = std::getenv("PRINTER_BROADCAST_ADDR"); address && *address) {
        settings.broadcastAddress = address;
    }
    if (auto port = PortVariable("PRINTER_PROBE_PORT")) settings.probePort = *port;
    if (auto port = PortVariable("PRINTER_REPLY_PORT")) settings.replyPort = *port;
    return settings;
}

std::uint16_t TcpPortFromEnvironment() {
    const char* text = std::getenv("PRINTER_TCP_PORT");
    if (text == nullptr) return protocol::kRawTcpPort;
    return protocol::ParsePort(text).value_or(protocol::kRawTcpPort);
}

}  // namespace cli
