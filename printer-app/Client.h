#pragma once
// Subcommands of our own that talk to a running server over IPP: `identify`
// (Identify-Printer: the printer prints a line naming itself) and `testpage`
// (a test page with the printer's name, head width and status, printed as a
// job in the printers' own command language). PAPPL's client subcommands have
// neither.
#include <ostream>
#include <string>

namespace printer_app {

struct ClientTarget {
    std::string program;  // the name the program runs under: the local server's socket
    std::string printer;  // -d; empty: the default printer
    std::string uri;      // -u ipp://HOST:PORT/; empty: the local server
};

// The local server's socket, as PAPPL's client subcommands find it: for root
// /run/NAME.sock, for anybody else NAME followed by the user ID in the
// temporary folder.
std::string LocalServerSocket(const std::string& program, unsigned uid);

// PAPPL's client subcommands start a server of their own when none answers.
// Root's would run outside the service's sandbox and user, and make its
// folders root's; so for root the local server must already answer. Returns
// cli::kDone when it does, else says so and returns cli::kUnreachable.
int RootNeedsRunningServer(const std::string& program, std::ostream& err);

// Both write one line on success ("R80: identify sent", "R80: test page is
// job 3") and say what went wrong otherwise; they return a cli::ExitCode.
int IdentifyCommand(const ClientTarget& target, std::ostream& out, std::ostream& err);
int TestPageCommand(const ClientTarget& target, std::ostream& out, std::ostream& err);

}  // namespace printer_app
