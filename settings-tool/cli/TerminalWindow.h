#pragma once
// The main window as seen from a terminal: the port choice and printer IP are
// fixed by the command line, status lines and message boxes are printed, and
// failed deliveries set the program's exit status by their outcome.
#include <mutex>
#include <ostream>
#include <string>

#include "link/PrinterWindow.h"

namespace cadmon {

// Exit statuses of the subcommands.
enum ExitStatus : int {
    kExitOk = 0,
    kExitNotTaken = 1,     // the printer was reached but did not take the data (reset, time-out)
    kExitUsage = 2,        // unknown subcommand or option, malformed argument
    kExitUnreachable = 3,  // "USB OPEN FAIL", connection failure, "NOT Selet USB OR NET", no printer chosen
    kExitRefused = 4,      // input refused before sending (MAC box, WIFI too long, text too long)
    kExitLocalFailure = 5, // local sockets ("Error 0", "Error 1"), delivery not finished in time
};

class TerminalWindow : public printer_link::PrinterWindow {
public:
    TerminalWindow(printer_link::PortChoice port, printer_link::Ipv4 printerIp, std::ostream& out,
                   std::ostream& err);

    printer_link::PortChoice ReadPortChoice() override;
    printer_link::Ipv4 ReadPrinterIp() override;
    // The window's text for the failure (on stderr), then one line that says
    // more than the window does: which device refused and why, or how the
    // printer stopped taking data.
    void AttemptFailed(const printer_link::AttemptReport& report) override;

    // What the actions show: on stdout.
    void ShowStatus(const std::string& text);
    void ShowMessageBox(const std::string& text);
    // A failure text of the window: on stderr, and the exit status it earns.
    void ShowFailure(const std::string& text, int status);

    // The exit status earned by what was shown so far (kExitOk when nothing failed).
    int Status() const;
    // Records a failure found by the program itself (not shown through the window).
    void Fail(int status);

private:
    void Print(std::ostream& stream, const std::string& text);

    printer_link::PortChoice port_;
    printer_link::Ipv4 printerIp_;
    std::ostream& out_;
    std::ostream& err_;
    mutable std::mutex mutex_;
    int status_ = kExitOk;
};

// A status text without the line end some texts carry ("send finish count 1 \r\n").
std::string TrimLineEnd(const std::string& text);

}  // namespace cadmon
