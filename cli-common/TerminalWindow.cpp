#include "cli-common/TerminalWindow.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/Text.h"
#include "cli-common/EnglishLines.h"
#include "cli-common/ExitCode.h"
#include "platform/linux/usb/AccessHint.h"

namespace cli {

namespace {

constexpr int kBarWidth = 40;

std::string WithoutLineEnd(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) --end;
    if (end == text.size()) return text;
    while (end > 0 && text[end - 1] == ' ') --end;
    return text.substr(0, end);
}

}  // namespace

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

TerminalWindow::TerminalWindow(std::string program, std::ostream& out, std::ostream& err, bool errIsTerminal)
    : program_(std::move(program)), out_(out), err_(err), errIsTerminal_(errIsTerminal), english_(!ChineseLocale()) {}

TerminalWindow::~TerminalWindow() { EndProgress(); }

void TerminalWindow::Print(std::ostream& stream, const std::string& text) {
    EndProgressLocked();
    stream << WithoutLineEnd(text) << '\n';
    stream.flush();
}

void TerminalWindow::PrintWindowText(std::ostream& stream, const std::string& text) {
    Print(stream, text);
    if (!english_) return;
    if (const std::string_view english = EnglishLineFor(WithoutLineEnd(text)); !english.empty())
        Print(stream, std::string(english));
}

void TerminalWindow::Show(const std::string& text) {
    std::lock_guard lock(mutex_);
    PrintWindowText(out_, text);
}

void TerminalWindow::ShowFailure(const std::string& text, int code) {
    std::lock_guard lock(mutex_);
    if (status_ == kDone) status_ = code;
    PrintWindowText(err_, text);
}

void TerminalWindow::Note(const std::string& text) {
    std::lock_guard lock(mutex_);
    Print(err_, program_ + ": " + text);
}

void TerminalWindow::Fail(int code) {
    std::lock_guard lock(mutex_);
    if (status_ == kDone) status_ = code;
}

int TerminalWindow::Status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void TerminalWindow::ShowDevicePath(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (path == devicePath_) return;
    devicePath_ = path;
    Print(err_, "device: " + path);
}

void TerminalWindow::Progress(std::int64_t done, std::int64_t total) {
    std::lock_guard lock(mutex_);
    const std::int64_t whole = std::max<std::int64_t>(total, 1);
    const int percent = static_cast<int>(std::clamp<std::int64_t>(done * 100 / whole, 0, 100));
    const std::string figures =
        std::to_string(percent) + "% (" + std::to_string(done) + " of " + std::to_string(total) + " bytes)";
    if (!errIsTerminal_) {
        // A line at each quarter reached; nothing is redrawn in a log.
        if (percent / 25 > lastPercent_ / 25 || lastPercent_ < 0) {
            if (percent / 25 > 0) err_ << "progress " << figures << '\n' << std::flush;
            lastPercent_ = percent;
        }
        return;
    }
    if (barDrawn_ && percent == lastPercent_ && done - lastBytes_ < 65536) return;
    lastPercent_ = percent;
    lastBytes_ = done;
    const int filled = percent * kBarWidth / 100;
    err_ << '\r' << '[' << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(kBarWidth - filled), '.') << "] " << figures << std::flush;
    barDrawn_ = true;
}

void TerminalWindow::EndProgress() {
    std::lock_guard lock(mutex_);
    EndProgressLocked();
}

void TerminalWindow::EndProgressLocked() {
    if (barDrawn_) err_ << '\n' << std::flush;
    barDrawn_ = false;
}

bool TerminalWindow::Confirm(const std::string& question, std::istream& in) {
    {
        std::lock_guard lock(mutex_);
        EndProgressLocked();
        err_ << question << " [y/N] " << std::flush;
    }
    std::string answer;
    if (!std::getline(in, answer)) {
        std::lock_guard lock(mutex_);
        err_ << '\n' << std::flush;
        return false;
    }
    const std::string lower = base::Lower(answer);
    return lower == "y" || lower == "yes";
}

std::string FailureDetail(const printer_link::Result& result, bool network) {
    using printer_link::Outcome;
    const std::string where = result.node.empty() ? std::string() : result.node + ": ";
    const std::string why = result.error != 0 ? std::strerror(result.error) : "";
    switch (result.outcome) {
        case Outcome::OpenFailed:
        case Outcome::BadUri:
        case Outcome::NotFound:
        case Outcome::NoPermission:
        case Outcome::Busy:
        case Outcome::Unsupported:
            if (!network) return platform_linux::OpenFailureLine(result);
            if (result.node.empty()) return {};
            return "cannot connect to " + result.node + (why.empty() ? "" : ": " + why);
        case Outcome::TimedOut:
            return where + "the printer took nothing more within its time-out; it did not take everything sent";
        case Outcome::Reset:
            return where + "the printer dropped the connection" + (why.empty() ? "" : " (" + why + ")") +
                   "; it did not take everything sent";
        case Outcome::Sent:
        case Outcome::Stopped:
            break;
    }
    return {};
}

int OpenFailureCode(const printer_link::Result& result) {
    return result.outcome == printer_link::Outcome::NoPermission ? kLocalFailure : kUnreachable;
}

}  // namespace cli
