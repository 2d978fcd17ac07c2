#pragma once
// Settings that the programs take from their environment, read once by the
// command line (or the window's start-up) and handed to the libraries.
#include <cstdint>

#include "protocol/Discovery.h"

namespace cli {

// The discovery defaults, moved by PRINTER_BROADCAST_ADDR (when not empty),
// PRINTER_PROBE_PORT and PRINTER_REPLY_PORT (0..65535; another value keeps the
// default).
protocol::DiscoverySettings DiscoverySettingsFromEnvironment();

// The printers' raw TCP port, moved by PRINTER_TCP_PORT (1..65535; another
// value keeps 9100): tests and demos against printer-sim.
std::uint16_t TcpPortFromEnvironment();

}  // namespace cli
