#pragma once
// The update tool's subcommands: the window's actions without a window, for
// technicians who set up many printers and for tests. `ferrik --help` lists
// them; the exit codes are those of every program (cli-common/ExitCode.h).
//
// Before a firmware image or font file goes out, the file must be a regular
// file that holds something; its name, size, blocks and checksum are shown,
// and on a terminal ferrik asks before it sends (--yes sends without asking;
// without a terminal and without --yes nothing is sent).
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "link/UsbDeviceSource.h"

namespace ferrik {

// Runs one command line (without the program name) and returns the exit
// code. Without a subcommand it runs `openWindow`, when there is one. The
// question before a download reads its answer from `in` when
// `inIsTerminal`.
struct Terminal {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool inIsTerminal;
    bool errIsTerminal;
};
int RunCli(const std::vector<std::string>& args, printer_link::UsbDeviceSource& usb, const Terminal& terminal,
           const std::function<int()>& openWindow = {});

}  // namespace ferrik
