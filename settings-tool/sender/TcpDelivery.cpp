#include "settings-tool/sender/TcpDelivery.h"

#include <cstddef>

namespace sender {

printer_link::Result DeliverOverTcp(const protocol::Ipv4& address, const std::uint8_t* data,
                                    std::int32_t& remaining, const printer_link::TcpSettings& settings,
                                    const printer_link::StopEvent* stop) {
    printer_link::OpenOptions options;
    options.connectTimeoutMs = settings.connectTimeoutMs;
    options.stop = stop;
    const printer_link::Pacing pacing{settings.sendChunk, settings.sendTimeoutMs, stop};
    const printer_link::Result result =
        printer_link::Deliver(printer_link::SocketUri(address, settings.port), data,
                              static_cast<std::size_t>(remaining > 0 ? remaining : 0), options, pacing,
                              settings.finishTimeoutMs);
    if (result.Ok()) remaining = 0;
    return result;
}

}  // namespace sender
