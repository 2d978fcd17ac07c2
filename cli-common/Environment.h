#pragma once
// Settings that the programs take from their environment, read once by the
// command line (or the window's start-up) and handed to the libraries.
#include "protocol/Discovery.h"

namespace cli {

// The discovery defaults, moved by PRINTER_BROADCAST_ADDR (when not empty),
// PRINTER_PROBE_PORT and PRINTER_REPLY_PORT (0..65535; another value keeps the
// default).
protocol::DiscoverySettings DiscoverySettingsFromEnvironment();

}  // namespace cli
