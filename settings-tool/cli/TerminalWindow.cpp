#include "settings-tool/cli/TerminalWindow.h"

#include <cstdio>
#include <cstdlib>

#include "link/CommandSender.h"
#include "link/TcpLink.h"

namespace cadmon {

namespace {

void ExitNow(int status) {
    std::fflush(nullptr);
    // The sender thread calls this while the main thread waits for it: leave
    // at once, without running destructors of objects other threads still use.
    std::_Exit(status);
}

bool IsFailureText(const std::string& text) {
    return text == printer_link::kUsbOpenFailText || text == printer_link::kNetConnectFailText ||
           text == printer_link::kNoPortText;
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
                               std::ostream& err, ExitFunction exitProgram)
    : port_(port), printerIp_(printerIp), out_(out), err_(err),
      exitProgram_(exitProgram != nullptr ? exitProgram : &ExitNow) {}

printer_link::PortChoice TerminalWindow::ReadPortChoice() { return port_; }

printer_link::Ipv4 TerminalWindow::ReadPrinterIp() { return printerIp_; }

void TerminalWindow::ShowStatus(const std::string& text) { Print(text); }

void TerminalWindow::ShowMessageBox(const std::string& text) { Print(text); }

void TerminalWindow::Print(const std::string& text) {
    std::lock_guard lock(mutex_);
    const bool failure = IsFailureText(text) || text == printer_link::kPrintErrorText;
    if (IsFailureText(text) && status_ == kExitOk) status_ = kExitUnreachable;
    std::ostream& stream = failure ? err_ : out_;
    stream << TrimLineEnd(text) << '\n';
    stream.flush();
}

void TerminalWindow::EndProgram(int status) {
    {
        std::lock_guard lock(mutex_);
        status_ = status;
        out_.flush();
        err_.flush();
    }
    exitProgram_(status);
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
