#include "cli-common/ExitCode.h"

namespace cli {

std::vector<ExitCodeRow> ExitCodes(bool withInstall) {
    std::vector<ExitCodeRow> rows = {
        {kDone, "done"},
        {kPrinterFailed,
         "the printer failed mid-way or is not ready: it was reached, then stopped taking data, reset or timed out; "
         "or it answered that it cannot print now (status)"},
        {kUsage, "usage: unknown subcommand or option, a malformed or missing value"},
        {kUnreachable, "printer not reachable: none found, the connection refused, nothing answered"},
        {kRefused, "input refused, nothing sent"},
        {kLocalFailure, "local failure: socket, file or permission on this machine"},
    };
    if (withInstall) rows.push_back({kInstallFailed, "the install failed (the install log says why)"});
    return rows;
}

std::string ExitCodeTable(bool withInstall) {
    std::string table = "Exit status:\n";
    for (const ExitCodeRow& row : ExitCodes(withInstall))
        table += "  " + std::to_string(row.code) + "  " + row.meaning + "\n";
    return table;
}

}  // namespace cli
