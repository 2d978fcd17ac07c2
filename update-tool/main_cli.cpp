// ferrik built without Qt: the subcommands only.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "platform/linux/usb/SystemUsbDeviceSource.h"
#include "update-tool/cli/FerrikCommand.h"

int main(int argc, char** argv) {
    // A printer whose node has no reader any more (a FIFO of a fake tree)
    // must give an error, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    auto usb = platform_linux::MakeSystemUsbDeviceSource(platform_linux::UsbRootFromEnvironment());
    const ferrik::Terminal terminal{std::cin, std::cout, std::cerr, ::isatty(0) == 1, ::isatty(2) == 1};
    return ferrik::RunCli(std::vector<std::string>(argv + 1, argv + argc), *usb, terminal);
}
