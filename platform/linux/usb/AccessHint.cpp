#include "platform/linux/usb/AccessHint.h"

#include <cerrno>
#include <cstring>

namespace printer_link {

std::string OpenFailureLine(const Result& failure) {
    if (failure.outcome != Outcome::OpenFailed || failure.node.empty()) return {};
    std::string line = "cannot open " + failure.node;
    if (failure.error != 0) line += std::string(": ") + std::strerror(failure.error);
    if (failure.error == EACCES || failure.error == EPERM) {
        // The usblp node is the lp group's; the USB device node is root's alone.
        const bool usblp = failure.node.find("/usb/lp") != std::string::npos;
        line += usblp ? " (install the udev rule 70-receipt-printers.rules and re-plug the printer, "
                        "or add your user to the lp group)"
                      : " (install the udev rule 70-receipt-printers.rules and re-plug the printer)";
    }
    return line;
}

}  // namespace printer_link
