#include "settings-tool/cli/TerminalWindow.h"

#include <cstring>

#include "platform/linux/usb/AccessHint.h"
#include "settings-tool/LinkTexts.h"

namespace cadmon {

namespace {

// The line beside the window's text: the USB printer that refused and why,
// or how the printer stopped taking data. Empty when the window's text says
// it all (no USB printer at all, a refused network connection, "LPT").
std::string DetailOf(const printer_link::AttemptReport& report) {
    using printer_link::Outcome;
    const printer_link::Result& result = report.result;
    const std::string where = result.node.empty() ? std::string() : result.node + ": ";
    switch (result.outcome) {
        case Outcome::OpenFailed:
            return report.port == printer_link::PortChoice::Usb ? printer_link::OpenFailureLine(result) : "";
        case Outcome::TimedOut:
            return where + "the printer took nothing more within its time-out; the message did not go through";
        case Outcome::Reset: {
            std::string why = result.error != 0 ? std::string(" (") + std::strerror(result.error) + ")" : "";
            return where + "the printer dropped the connection" + why + "; the message did not go through";
        }
        case Outcome::Sent:
        case Outcome::Stopped:
            break;
    }
    return {};
}

}  // namespace

std::string TrimLineEnd(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ')) {
        --end;
    }
    return text.substr(0, end);
}

TerminalWindow::TerminalWindow(printer_link::PortChoice port, printer_link::Ipv4 printerIp, std::ostream& out,
                               std::ostream& err)
    : port_(port), printerIp_(printerIp), out_(out), err_(err) {}

printer_link::PortChoice TerminalWindow::ReadPortChoice() { return port_; }

printer_link::Ipv4 TerminalWindow::ReadPrinterIp() { return printerIp_; }

void TerminalWindow::AttemptFailed(const printer_link::AttemptReport& report) {
    const ShownTexts shown = TextsFor(report);
    const int status =
        report.result.outcome == printer_link::Outcome::OpenFailed ? kExitUnreachable : kExitNotTaken;
    std::lock_guard lock(mutex_);
    if (status_ == kExitOk) status_ = status;
    for (const std::string& text : {shown.status, shown.box})
        if (!text.empty()) Print(err_, text);
    if (const std::string detail = DetailOf(report); !detail.empty()) Print(err_, "cadmon: " + detail);
}

void TerminalWindow::ShowStatus(const std::string& text) {
    std::lock_guard lock(mutex_);
    Print(out_, text);
}

void TerminalWindow::ShowMessageBox(const std::string& text) { ShowStatus(text); }

void TerminalWindow::ShowFailure(const std::string& text, int status) {
    std::lock_guard lock(mutex_);
    if (status_ == kExitOk) status_ = status;
    Print(err_, text);
}

void TerminalWindow::Print(std::ostream& stream, const std::string& text) {
    stream << TrimLineEnd(text) << '\n';
    stream.flush();
}

int TerminalWindow::Status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void TerminalWindow::Fail(int status) {
    std::lock_guard lock(mutex_);
    if (status_ == kExitOk) status_ = status;
}

}  // namespace cadmon
