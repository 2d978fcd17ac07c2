#include "link/TcpLink.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "protocol/SettingsCommands.h"

namespace printer_link {

std::uint16_t TcpPortFromEnvironment() {
    const char* text = std::getenv("PRINTER_TCP_PORT");
    if (!text || !*text) return kPrinterTcpPort;
    unsigned value = 0;
    const char* last = text + std::strlen(text);
    const auto [end, ec] = std::from_chars(text, last, value);
    if (ec != std::errc() || end != last || value == 0 || value > 65535) return kPrinterTcpPort;
    return static_cast<std::uint16_t>(value);
}

TcpSettings TcpSettings::FromEnvironment() {
    TcpSettings settings;
    settings.port = TcpPortFromEnvironment();
    return settings;
}

std::string SocketUri(const protocol::Ipv4& address, std::uint16_t port) {
    return "socket://" + protocol::Ipv4Text(address) + ":" + std::to_string(port);
}

Result TestPrinterConnection(const protocol::Ipv4& address, const TcpSettings& settings) {
    OpenOptions options;
    options.connectTimeoutMs = settings.connectTimeoutMs;
    Opened opened = OpenDevice(SocketUri(address, settings.port), options);
    if (!opened.device) return opened.failure;
    Result connected;
    connected.node = opened.device->Node();
    return connected;  // the device closes without a byte sent
}

}  // namespace printer_link
