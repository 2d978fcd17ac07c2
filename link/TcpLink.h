#pragma once
// A printer's raw TCP port: its settings, its socket URI, and the connection
// test, through the device layer's socket scheme.
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/Device.h"
#include "protocol/SettingsCommands.h"

namespace printer_link {

struct TcpSettings {
    std::uint16_t port = kPrinterTcpPort;
    int connectTimeoutMs = kConnectTimeoutMs;  // bound on the connection wait
    std::size_t sendChunk = 256;               // at most this many bytes per send call
    int sendTimeoutMs = 5000;                  // bound on each send
    int finishTimeoutMs = kFinishTimeoutMs;    // wait for the printer's close after the last byte
};

// "socket://a.b.c.d:port"
std::string SocketUri(const protocol::Ipv4& address, std::uint16_t port);

// Connects and closes again; sends nothing.
Result TestPrinterConnection(const protocol::Ipv4& address, const TcpSettings& settings);

}  // namespace printer_link
