#pragma once
// The subcommands of cadmon: every action of the window without a window.
// Each one builds its messages, hands them to the command sender, waits until
// they are delivered and prints what the window would show.
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace cadmon {

// Runs one command line (without the program name) and returns the exit
// code. Without a subcommand it runs `openWindow`, when there is one.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const std::function<int()>& openWindow = {});

}  // namespace cadmon
