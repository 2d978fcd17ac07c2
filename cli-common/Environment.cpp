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

}  // namespace cli
