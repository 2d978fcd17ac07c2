#include "cli-common/ExitCode.h"

namespace cli {

std::string ExitCodeTable(bool withInstall) {
    std::string table =
        "Exit status:\n"
        "  0  done\n"
        "  1  the printer failed mid-way: it was reached, then stopped taking data, reset or timed out\n"
        "  2  usage: unknown subcommand or option, a malformed or missing value\n"
        "  3  printer not reachable: none found, the connection refused, nothing answered\n"
        "  4  input refused, nothing sent\n"
        "  5  local failure: socket, file or permission on this machine\n";
    if (withInstall) table += "  6  the install failed (the install log says why)\n";
    return table;
}

}  // namespace cli
