#pragma once
// What the command sender needs from the settings utility's main window: the
// port choice and the printer address at the moment of each attempt, and a
// place to report an attempt that did not deliver its submission. The Qt
// window implements it with blocking cross-thread calls (direct calls when
// already on the window thread); the subcommands and tests without Qt. The
// window decides what an outcome shows.
#include <cstddef>

#include "link/Device.h"
#include "protocol/SettingsCommands.h"

namespace sender {

enum class PortChoice { Lpt, Usb, Net };

// One delivery attempt that ended before the printer had taken the whole
// submission.
struct AttemptReport {
    PortChoice port = PortChoice::Usb;
    // An open failure: no device, or it could not be opened (for "LPT":
    // Unsupported, there is no transport); TimedOut, Reset: the printer
    // stopped taking data; Stopped is never reported.
    printer_link::Result result;
    std::size_t remaining = 0;  // bytes of the submission still pending
    std::size_t size = 0;       // bytes of the whole submission
    std::size_t taken = 0;      // of them, taken by the printer as far as the port can tell
    bool dropped = false;       // the submission was given up (else it is tried again)
};

class PrinterWindow {
public:
    virtual ~PrinterWindow() = default;
    // The port choice at this moment ("USB", "NET" or "LPT").
    virtual PortChoice ReadPortChoice() = 0;
    // The printer-IP field at this moment; a blank field reads as 0.0.0.0.
    virtual protocol::Ipv4 ReadPrinterIp() = 0;
    // Called on the sender thread after an attempt that failed.
    virtual void AttemptFailed(const AttemptReport& report) = 0;
};

}  // namespace sender
