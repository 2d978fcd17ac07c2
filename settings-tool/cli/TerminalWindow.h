#pragma once
// The main window as seen from a terminal: the port choice and printer IP are
// fixed by the command line, status lines and message boxes are printed, and
// a failure text is remembered so that the program's exit status reports it.
#include <mutex>
#include <ostream>
#include <string>

#include "link/PrinterWindow.h"

namespace cadmon {

// Exit statuses of the subcommands.
enum ExitStatus : int {
    kExitOk = 0,
    kExitPrintError = 1,   // "Print error": the printer took no bytes; the program ended
    kExitUsage = 2,        // unknown subcommand or option, malformed argument
    kExitUnreachable = 3,  // "USB OPEN FAIL", connection failure, "NOT Selet USB OR NET", no printer chosen
    kExitRefused = 4,      // input refused before sending (MAC box, WIFI too long, text too long)
    kExitLocalFailure = 5, // local sockets ("Error 0", "Error 1"), delivery not finished in time
};

class TerminalWindow : public printer_link::PrinterWindow {
public:
    // `exitProgram` ends the process; tests pass a function that records the call.
    using ExitFunction = void (*)(int status);
    TerminalWindow(printer_link::PortChoice port, printer_link::Ipv4 printerIp, std::ostream& out,
                   std::ostream& err, ExitFunction exitProgram = nullptr);

    printer_link::PortChoice ReadPortChoice() override;
    printer_link::Ipv4 ReadPrinterIp() override;
    void ShowStatus(const std::string& text) override;
    void ShowMessageBox(const std::string& text) override;
    void EndProgram(int status) override;

    // The exit status earned by what was shown so far (kExitOk when nothing failed).
    int Status() const;
    // Records a failure found by the program itself (not shown through the window).
    void Fail(int status);

private:
    void Print(const std::string& text);

    printer_link::PortChoice port_;
    printer_link::Ipv4 printerIp_;
    std::ostream& out_;
    std::ostream& err_;
    ExitFunction exitProgram_;
    mutable std::mutex mutex_;
    int status_ = kExitOk;
};

// A status text without the line end some texts carry ("send finish count 1 \r\n").
std::string TrimLineEnd(const std::string& text);

}  // namespace cadmon
