// cadmon: with a subcommand, the settings actions for scripts; without
// arguments, the settings window (when built with it).
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "settings-tool/cli/CadmonCli.h"
#include "settings-tool/cli/TerminalWindow.h"

#ifdef CADMON_HAVE_GUI
#if __has_include("settings-tool/gui/CadmonWindow.h")
#include "settings-tool/gui/CadmonWindow.h"
#else
int RunCadmonWindow(int argc, char** argv);
#endif
#endif

int main(int argc, char** argv) {
    if (argc <= 1) {
#ifdef CADMON_HAVE_GUI
        return RunCadmonWindow(argc, argv);
#else
        cadmon::PrintProgramHelp(std::cout);
        return cadmon::kExitUsage;
#endif
    }
    // A printer whose node has no reader any more (a FIFO of a fake tree)
    // must give an error, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    return cadmon::RunCli(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
