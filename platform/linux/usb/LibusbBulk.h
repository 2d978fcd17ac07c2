#pragma once
// The bulk OUT endpoint of a USB printer that no usblp driver serves (usblp
// not built or unbound, or a vendor-class interface), written through libusb,
// and read at the same interface's bulk IN endpoint where it has one.
// A kernel driver bound to the interface is detached for the write and
// re-attached when the transport closes.
#include "link/Transport.h"

namespace platform_linux {

// Opens the printer at bus/address: its printer-class interface, else a
// vendor-class one, with a bulk OUT endpoint. `node` names it in results.
printer_link::OpenedTransport OpenLibusbBulk(int bus, int address, const std::string& node);

}  // namespace platform_linux
