#pragma once
// A program's window as a terminal shows it, shared by every command line:
// status texts and message boxes are lines on stdout; a window's failure
// texts, the lines a terminal adds to them and the progress go to stderr.
// The first failure shown decides the exit code (ExitCode.h). Progress is a
// bar redrawn in place only when stderr is a terminal; into a log or a pipe
// it is a plain line at each quarter. A window's text that is Chinese only
// is followed by its English line (EnglishLines.h) unless the locale is
// Chinese. Safe to call from several threads.
#include <cstdint>
#include <istream>
#include <mutex>
#include <ostream>
#include <string>

#include "link/Device.h"

namespace cli {

bool IsTerminal(int fd);

class TerminalWindow {
public:
    // `program` starts the lines the terminal adds ("ferrik: ...").
    TerminalWindow(std::string program, std::ostream& out, std::ostream& err, bool errIsTerminal);
    ~TerminalWindow();
    TerminalWindow(const TerminalWindow&) = delete;
    TerminalWindow& operator=(const TerminalWindow&) = delete;

    // A status text or message box. A text that ends in a line end ("send
    // finish count 1 \r\n") is shown without it and the blanks before it.
    void Show(const std::string& text);
    // A window's failure text, and the exit code it earns.
    void ShowFailure(const std::string& text, int code);
    // A line of the terminal's own: "program: text" on stderr.
    void Note(const std::string& text);
    // Records a failure that shows no window text.
    void Fail(int code);
    // The code of the first failure, kDone when nothing failed.
    int Status() const;

    // "device: PATH" once for each device path opened.
    void ShowDevicePath(const std::string& path);
    // `done` of `total` bytes sent.
    void Progress(std::int64_t done, std::int64_t total);
    // Ends a bar drawn in place with its line end.
    void EndProgress();

    // Asks `question` on stderr and reads the answer from `in`: true for "y" or "yes".
    bool Confirm(const std::string& question, std::istream& in);

private:
    void Print(std::ostream& stream, const std::string& text);
    void PrintWindowText(std::ostream& stream, const std::string& text);
    void EndProgressLocked();

    std::string program_;
    std::ostream& out_;
    std::ostream& err_;
    bool errIsTerminal_;
    bool english_;
    mutable std::mutex mutex_;
    int status_ = 0;
    std::string devicePath_;
    bool barDrawn_ = false;
    int lastPercent_ = -1;
    std::int64_t lastBytes_ = 0;
};

// The line a terminal adds to a window's failure text: which device or
// address, and what became of the bytes ("cannot open /dev/usb/lp0:
// Permission denied (...)", "127.0.0.1:9100: the printer dropped the
// connection ..."). Empty where nothing more is known (no device found).
std::string FailureDetail(const printer_link::Result& result, bool network);

// The exit code of a failed open: a refused permission on this machine is a
// local failure (5), anything else means the printer was not reached (3).
int OpenFailureCode(const printer_link::Result& result);

}  // namespace cli
