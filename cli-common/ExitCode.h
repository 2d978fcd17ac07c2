#pragma once
// One exit-code table for every program: what a script that ran one of them
// should do next. Each --help and man page shows the table.
#include <string>
#include <vector>

namespace cli {

enum ExitCode : int {
    kDone = 0,           // done
    kPrinterFailed = 1,  // the printer was reached and failed mid-way (it stopped taking data, reset, timed out),
                         // or answered a status query that it cannot print now
    kUsage = 2,          // the command line is wrong: unknown subcommand or option, malformed value
    kUnreachable = 3,    // no printer: none found, the connection was refused, nothing answered
    kRefused = 4,        // input refused before anything was sent
    kLocalFailure = 5,   // a failure on this machine: socket, file, permission
    kInstallFailed = 6,  // lumbra only: the install ran and failed (the install log says why)
};

struct ExitCodeRow {
    int code;
    const char* meaning;
};
// The codes with what they mean; the install code only where `withInstall` says so.
std::vector<ExitCodeRow> ExitCodes(bool withInstall);
// The table as --help shows it: "Exit status:" and one line per code.
std::string ExitCodeTable(bool withInstall);

}  // namespace cli
