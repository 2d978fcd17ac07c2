#include "link/TcpLink.h"

#include "protocol/SettingsCommands.h"

namespace printer_link {

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
