#pragma once
// The line a command line adds when a printer was found but could not be
// opened: the node, the system's reason and, for a refused access, what
// grants it on Linux.
#include <string>

#include "link/Device.h"

namespace platform_linux {

// "cannot open /dev/usb/lp0: Permission denied (...)"; empty when no device
// was found (the failure names no node).
std::string OpenFailureLine(const printer_link::Result& failure);

}  // namespace platform_linux
