#pragma once
// The scheme table of the device layer: each entry opens one kind of printer
// connection and hands back a small transport (write a piece, finish,
// status, and read where the transport has a way back). Pieces, deadlines,
// the stop event and byte accounting belong to Device::Write and Device::Read.
// One file per transport family holds each entry's open:
//   UsbScheme.cpp     usb       the USB printer chosen, at its usblp node (read too; a fake
//                               tree's pty is read, its FIFO is not) or its bulk OUT endpoint
//                               (read at the bulk IN endpoint where the interface has one)
//   SocketScheme.cpp  socket    a printer's raw TCP port, read and written
//   TtyScheme.cpp     serial (read and written), parallel (written only)
//   FileScheme.cpp    file      a file or a FIFO (tests), written only
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "link/Transport.h"

namespace printer_link {

struct Scheme {
    std::string_view name;
    std::string_view what;  // the transport, for readers of the table
    // `rest` is the URI after "<scheme>:".
    OpenedTransport (*open)(std::string_view rest, const OpenOptions& options);
};

std::span<const Scheme> Schemes();

OpenedTransport OpenUsb(std::string_view rest, const OpenOptions& options);
OpenedTransport OpenSocket(std::string_view rest, const OpenOptions& options);
OpenedTransport OpenSerial(std::string_view rest, const OpenOptions& options);
OpenedTransport OpenParallel(std::string_view rest, const OpenOptions& options);
OpenedTransport OpenFile(std::string_view rest, const OpenOptions& options);

// Helpers the entries share.

// The rest of a URI without a leading "//".
std::string_view WithoutSlashes(std::string_view rest);
// Splits "path?name=value" and returns value for `name` (empty when absent).
std::string_view QueryValue(std::string_view rest, std::string_view name);
// "path" of "path?query".
std::string PathOf(std::string_view rest);
// Opens `path` non-blocking and wraps the descriptor with `make`.
OpenedTransport OpenFd(const std::string& path, int flags, std::unique_ptr<Transport> (*make)(int, std::string));

}  // namespace printer_link
