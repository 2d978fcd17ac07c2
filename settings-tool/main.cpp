// cadmon: with a subcommand, the settings actions for scripts; without one,
// the settings window (when built with it).
#include <csignal>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "settings-tool/cli/CadmonCli.h"

#ifdef CADMON_HAVE_GUI
#include "settings-tool/gui/CadmonWindow.h"
#endif

int main(int argc, char** argv) {
    // A printer whose node has no reader any more (a FIFO of a fake tree)
    // must give an error, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    std::function<int()> openWindow;
#ifdef CADMON_HAVE_GUI
    openWindow = [argc, argv] { return RunCadmonWindow(argc, argv); };
#endif
    return cadmon::RunCli(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr, openWindow);
}
