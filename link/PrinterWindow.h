#pragma once
// What the printer link needs from the settings utility's main window.
// The Qt window implements it with blocking cross-thread calls (direct calls
// when already on the window thread); the subcommands and tests implement it
// without Qt. Texts are UTF-8.
#include <array>
#include <cstdint>
#include <string>

namespace printer_link {

enum class PortChoice { Lpt, Usb, Net };

using Ipv4 = std::array<std::uint8_t, 4>;  // most significant octet first

class PrinterWindow {
public:
    virtual ~PrinterWindow() = default;
    // The port choice at this moment ("USB", "NET" or "LPT").
    virtual PortChoice ReadPortChoice() = 0;
    // The printer-IP field at this moment; a blank field reads as 0.0.0.0.
    virtual Ipv4 ReadPrinterIp() = 0;
    // Replaces the status line.
    virtual void ShowStatus(const std::string& text) = 0;
    // Shows a message box owned by the main window; returns once it is dismissed.
    virtual void ShowMessageBox(const std::string& text) = 0;
    // Ends the whole program with `status` (after "Print error"). The real
    // program does not return from it; test windows record the call.
    virtual void EndProgram(int status) = 0;
};

}  // namespace printer_link
