#pragma once
// One submission of the command sender delivered over the printer's raw TCP
// port: a connection of its own for every attempt.
#include <cstdint>

#include "link/Device.h"
#include "link/StopEvent.h"
#include "link/TcpLink.h"
#include "protocol/SettingsCommands.h"

namespace sender {

// Connects to address:port, sends data[0..remaining) in chunks, half-closes
// and waits for the printer to close. `remaining` drops to 0 only when the
// printer has taken everything; after a failure it is unchanged (what the
// printer took cannot be known). The result says what happened.
printer_link::Result DeliverOverTcp(const protocol::Ipv4& address, const std::uint8_t* data,
                                    std::int32_t& remaining, const printer_link::TcpSettings& settings,
                                    const printer_link::StopEvent* stop = nullptr);

}  // namespace sender
