// The printer service of the receipt printer driver ("RcptSpoolSvc.exe" in
// the program folder; the unit "MavoPrinter Service" runs it). It keeps the
// queues of the installed printers printing: when a printer that was away is
// back, its queue is enabled again and the jobs that waited for it are
// released (Service.h, Recovery.h). One line on stderr per change, which
// the journal keeps.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli-common/Program.h"
#include "driver/service/Service.h"
#include "link/ProductIds.h"
#include "platform/linux/usb/UsbEnumerator.h"

namespace {

void Log(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

int Serve(const std::string& name, int intervalSeconds) {
    // SIGTERM and SIGINT end the loop through a signalfd; a scheduler that
    // drops the connection must not end the service.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    const int stopFd = ::signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        Log(name + ": signalfd: " + std::strerror(errno));
        return cli::kLocalFailure;
    }
    service::ServiceOptions options;
    options.interval = std::chrono::seconds(intervalSeconds);
    options.usbRoot = platform_linux::UsbRootFromEnvironment();
    options.productIds = printer_link::ReceiptPrinterProductIds();
    std::string why;
    const bool ran = service::RunService(options, stopFd, Log, &why);
    ::close(stopFd);
    if (!ran) {
        Log(name + ": " + why);
        return cli::kLocalFailure;
    }
    return cli::kDone;
}

}  // namespace

int main(int argc, char** argv) {
    // Installed as "RcptSpoolSvc.exe"; help and version say the name it runs under.
    cli::ProgramText text;
    text.name = cli::NameRunAs(argv[0]);
    text.whatis = "keeps the receipt printer queues printing";
    text.description =
        "Watches the printers of the installed receipt printer queues (USB printers through hot-plug\n"
        "events, network printers with a TCP probe every interval) and, when a printer that was away\n"
        "is back, enables its queue again and releases the jobs that waited for it. The queues served\n"
        "are those on a printer's monitor port; their device URI names the printer. One line on stderr\n"
        "per change. It runs until SIGTERM or SIGINT.\n";
    text.notes =
        "Environment: CUPS_SERVER (the scheduler's socket), USB_PRINTER_ROOT (a fake sysfs and /dev tree).\n"
        "The scheduler grants enabling queues and releasing other users' jobs to root and to members of\n"
        "its system group (lpadmin); the unit the installer writes runs it as root without capabilities.\n";
    cli::Program program(text);
    int interval = 2;
    program.App()
        .add_option("--interval", interval, "seconds between probes of network printers and reads of the queues (default 2)")
        ->check(cli::Between(1, 60))
        ->type_name("SECONDS");
    program.SetDefault([&] { return Serve(text.name, interval); });
    return program.Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
