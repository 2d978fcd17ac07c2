#pragma once
// The scheme table of the device layer (see Schemes.cpp).
#include <span>
#include <string_view>

#include "link/Transport.h"

namespace printer_link {

struct UsbDeviceInfo;

// What an entry is asked to open: the URI after "<scheme>:", and for usb the
// printer the enumeration chose.
struct Target {
    std::string_view rest;
    const UsbDeviceInfo* usb = nullptr;
};

struct Scheme {
    std::string_view name;
    std::string_view what;                 // the transport, for readers of the table
    bool (*serves)(const Target& target);  // null: every target of the scheme
    OpenedTransport (*open)(const Target& target, const OpenOptions& options);
};

std::span<const Scheme> Schemes();

}  // namespace printer_link
