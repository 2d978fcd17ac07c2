// ferrik built without Qt: the subcommands only.
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
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!ferrik::IsSubcommand(args)) {
        std::cerr << "ferrik: this build has no window; see 'ferrik help'\n";
        return 2;
    }
    auto usb = printer_link::MakeSystemUsbDeviceSource();
    return ferrik::RunSubcommand(args, *usb, std::cout, std::cerr);
}
