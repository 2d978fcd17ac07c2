#pragma once
// The subcommands of cadmon: every action of the window without a window.
// Each one builds its messages, hands them to the command sender, waits until
// they are delivered and prints what the window would show.
#include <ostream>
#include <string>
#include <vector>

namespace cadmon {

// Runs one command line (without the program name). Returns the exit status
// (see ExitStatus in TerminalWindow.h).
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The program's help text.
void PrintProgramHelp(std::ostream& out);

}  // namespace cadmon
