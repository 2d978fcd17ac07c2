#include "platform/linux/usb/AccessHint.h"

#include <cerrno>
#include <cstring>

namespace platform_linux {

std::string OpenFailureLine(const printer_link::Result& failure) {
    // Nothing was opened where no printer was found or the port has no transport.
    if (!failure.OpenFailed() || failure.outcome == printer_link::Outcome::NotFound || failure.outcome == printer_link::Outcome::Unsupported ||
        failure.node.empty())
        return {};
    std::string line = "cannot open " + failure.node;
    if (failure.error != 0) line += std::string(": ") + std::strerror(failure.error);
    if (failure.outcome == printer_link::Outcome::NoPermission) {
        // The usblp node is the lp group's; the USB device node is root's alone.
        const bool usblp = failure.node.find("/usb/lp") != std::string::npos;
        line += usblp ? " (install the udev rule 70-receipt-printers.rules and re-plug the printer, "
                        "or add your user to the lp group)"
                      : " (install the udev rule 70-receipt-printers.rules and re-plug the printer)";
    }
    return line;
}

}  // namespace platform_linux
