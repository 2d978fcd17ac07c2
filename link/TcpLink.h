#pragma once
// Delivery to a printer's raw TCP port, and the connection test, through the
// device layer's socket scheme.
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/Device.h"
#include "link/PrinterWindow.h"

namespace printer_link {

struct TcpSettings {
    std::uint16_t port = kPrinterTcpPort;
    int connectTimeoutMs = kConnectTimeoutMs;  // bound on the connection wait
    std::size_t sendChunk = 256;               // at most this many bytes per send call
    int sendTimeoutMs = 5000;                  // bound on each send
    int finishTimeoutMs = kFinishTimeoutMs;    // wait for the printer's close after the last byte
    // PRINTER_TCP_PORT overrides the port (tests and demos against printer-sim).
    static TcpSettings FromEnvironment();
};

// The printer port from PRINTER_TCP_PORT (1..65535), else 9100.
std::uint16_t TcpPortFromEnvironment();

// "socket://a.b.c.d:port"
std::string SocketUri(const Ipv4& address, std::uint16_t port);

// Connects to address:port, sends data[0..remaining) in chunks, half-closes
// and waits for the printer to close. `remaining` drops to 0 only when the
// printer has taken everything; after a failure it is unchanged (what the
// printer took cannot be known). The result says what happened.
Result DeliverOverTcp(const Ipv4& address, const std::uint8_t* data, std::int32_t& remaining,
                      const TcpSettings& settings, const StopEvent* stop = nullptr);

// Connects and closes again; sends nothing.
Result TestPrinterConnection(const Ipv4& address, const TcpSettings& settings);

}  // namespace printer_link
