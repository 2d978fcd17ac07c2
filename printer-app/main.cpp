// receipt-printer-app: every receipt printer as an IPP Everywhere printer.
// PAPPL runs the server, its web interface and the client subcommands;
// this program reads its command line first (help, version, man page and
// bash completion from the shared table), registers our device schemes and
// then hands the command line to PAPPL's main loop.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli-common/Environment.h"
#include "cli-common/ExitCode.h"
#include "cli-common/Program.h"
#include "link/ProductIds.h"
#include "platform/linux/usb/SystemUsbDeviceSource.h"
#include "printer-app/AppSystem.h"
#include "printer-app/Client.h"
#include "printer-app/Devices.h"
#include "printer-app/Drivers.h"

namespace {

// PAPPL's options, as each subcommand takes them; PAPPL reads them again.
struct Options {
    bool all = false;
    std::string printer, job, driver, copies, uri, device;
    std::vector<std::string> options, files;
};

enum Takes : unsigned {
    kAll = 1,
    kPrinter = 2,
    kJob = 4,
    kDriver = 8,
    kCopies = 16,
    kOption = 32,
    kUri = 64,
    kDevice = 128,
    kFiles = 256,
    kServer = 512,  // PAPPL starts a local server for it when none answers
};

struct Entry {
    const char* name;
    const char* summary;
    unsigned takes;
    const char* details = "";
};

const Entry kEntries[] = {
    {"server", "run the printer application's server (IPP, web interface)", kOption,
     "Server options (-o NAME=VALUE):\n"
     "  server-port=N         the TCP port (IPP and the web interface)\n"
     "  listen-hostname=H     localhost (default), * for every address, or one address\n"
     "  spool-directory=DIR   spool files and the state file; nothing is written elsewhere\n"
     "  log-file=FILE         a file, - for stderr (default), syslog\n"
     "  log-level=LEVEL       fatal, error, warn, info (default), debug\n"
     "  dnssd=off             no DNS-SD registration\n"
     "Example:\n"
     "  receipt-printer-app server -o server-port=8631 -o spool-directory=/tmp/rpa\n"},
    {"add", "add a printer", kPrinter | kDriver | kDevice | kOption | kUri | kServer,
     "Example:\n"
     "  receipt-printer-app add -d Kitchen -m receipt_80mm -v receipt-socket://192.168.0.199\n"},
    {"autoadd", "add every supported printer that is not added yet (on the local server)", kServer},
    {"cancel", "cancel one or all jobs", kAll | kPrinter | kJob | kUri | kServer},
    {"default", "make a printer the default one", kPrinter | kUri | kServer},
    {"delete", "delete a printer", kPrinter | kUri | kServer},
    {"devices", "list the printers that can be added", 0},
    {"drivers", "list the drivers", kUri},
    {"identify", "make a printer print a line naming itself", kPrinter | kUri},
    {"jobs", "list the jobs of a printer", kPrinter | kUri | kServer},
    {"modify", "change a printer", kPrinter | kDriver | kDevice | kOption | kUri | kServer},
    {"options", "list the options of a printer", kPrinter | kUri | kServer},
    {"pause", "stop printing on a printer", kPrinter | kUri | kServer},
    {"printers", "list the printers (of the local server)", kServer},
    {"resume", "start printing on a printer again", kPrinter | kUri | kServer},
    {"shutdown", "stop the server", kUri},
    {"status", "show the state of the server or a printer", kPrinter | kUri},
    {"testpage", "print a test page: the printer's name, head width and status", kPrinter | kUri},
    {"submit", "print files", kPrinter | kCopies | kOption | kUri | kFiles | kServer,
     "Job options (-o NAME=VALUE) besides the standard ones:\n"
     "  receipt-cut=none|page|job  receipt-cut-type=partial|full\n"
     "  receipt-drawer=none|before|after  receipt-drawer-pin=2|5\n"
     "  receipt-feed-after=MM  receipt-dithering=auto|error-diffusion|threshold\n"},
};

std::vector<cli::Subcommand> Table(Options& o, int argc, char** argv) {
    std::vector<cli::Subcommand> table;
    for (const Entry& e : kEntries) {
        table.push_back({e.name, e.summary, [&o, e, argc, argv](CLI::App& c) -> cli::Runner {
                             if (e.takes & kAll) c.add_flag("-a", o.all, "every job");
                             if (e.takes & kPrinter) c.add_option("-d", o.printer, "the printer")->type_name("PRINTER");
                             if (e.takes & kJob) c.add_option("-j", o.job, "the job")->type_name("JOB-ID");
                             if (e.takes & kDriver)
                                 c.add_option("-m", o.driver, "the driver (see 'drivers'), or auto")->type_name("DRIVER");
                             if (e.takes & kCopies) c.add_option("-n", o.copies, "copies")->type_name("COPIES");
                             if (e.takes & kDevice)
                                 c.add_option("-v", o.device, "the printer's device URI (see 'devices')")
                                     ->type_name("DEVICE-URI");
                             if (e.takes & kOption)
                                 c.add_option("-o", o.options, "an option")->type_name("NAME=VALUE")->allow_extra_args(false);
                             if (e.takes & kUri)
                                 c.add_option("-u", o.uri, "the server (ipp://HOST:PORT/), else the local one")
                                     ->type_name("URI");
                             if (e.takes & kFiles) c.add_option("FILE", o.files, "the files to print (- for stdin)");
                             const std::string name = e.name;
                             if (name == "identify" || name == "testpage")
                                 return [&o, name, argv] {
                                     const printer_app::ClientTarget target{cli::NameRunAs(argv[0]), o.printer,
                                                                            o.uri};
                                     return name == "identify"
                                                ? printer_app::IdentifyCommand(target, std::cout, std::cerr)
                                                : printer_app::TestPageCommand(target, std::cout, std::cerr);
                                 };
                             const bool serving = name == "server";
                             const bool startsServer = e.takes & kServer;
                             return [&o, argc, argv, serving, startsServer] {
                                 if (startsServer && o.uri.empty() && ::getuid() == 0) {
                                     const int code =
                                         printer_app::RootNeedsRunningServer(cli::NameRunAs(argv[0]), std::cerr);
                                     if (code != cli::kDone) return code;
                                 }
                                 printer_app::SetServing(serving);
                                 return papplMainloop(argc, argv, cli::ProjectVersion(), nullptr,
                                                      printer_app::DriverCount(), printer_app::DriverTable(),
                                                      printer_app::AutoAddCallback, printer_app::DriverCallback,
                                                      nullptr, nullptr, printer_app::CreateSystem, nullptr, nullptr);
                             };
                         },
                         e.details});
    }
    return table;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer build's leak check: PAPPL's client subcommands keep the
// options they parse (cupsAddOption) until the program exits.
extern "C" const char* __lsan_default_suppressions() { return "leak:cupsAddOption\n"; }
#endif
#if defined(__SANITIZE_THREAD__)
// The thread sanitizer build: PAPPL takes its own read locks (system, then
// MIME filters; and the other way round) in both orders. Readers of a
// read-write lock do not block each other, so that is no deadlock of ours.
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libpappl.so\n"; }
#endif

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::string name = cli::NameRunAs(argv[0]);
    printer_app::SetProgramName(name);

    cli::ProgramText text;
    text.name = name;
    text.whatis = "printer application for receipt printers (IPP Everywhere)";
    text.description =
        "Makes every receipt printer an IPP Everywhere printer: the server takes IPP print jobs\n"
        "(PWG raster, Apple raster, PNG, JPEG, and ESC/POS as it is), prints them through the same\n"
        "encoder as the CUPS raster driver and shows its printers in a web interface. The other\n"
        "subcommands talk to a running server.\n";
    text.notes =
        "Drivers: receipt_58mm, receipt_72mm, receipt_80mm, receipt_110mm. Device URIs:\n"
        "receipt-usb://VID/PID[?serial=SN], receipt-socket://HOST[:PORT], receipt-serial:/dev/ttyS0[?baud=N],\n"
        "and PAPPL's own socket:// and usb://. Environment: USB_PRINTER_ROOT (a fake sysfs and /dev tree);\n"
        "for 'devices', PRINTER_BROADCAST_ADDR, PRINTER_PROBE_PORT, PRINTER_REPLY_PORT and PRINTER_TCP_PORT.\n";
    cli::Program program(text);
    Options options;
    program.Add(Table(options, argc, argv));

    auto usb = platform_linux::MakeSystemUsbDeviceSource(platform_linux::UsbRootFromEnvironment());
    printer_app::DeviceSetup setup;
    setup.usb = usb.get();
    setup.productIds = printer_link::ReceiptPrinterProductIds();
    setup.discovery = cli::DiscoverySettingsFromEnvironment();
    setup.tcpPort = cli::TcpPortFromEnvironment();
    printer_app::RegisterDeviceSchemes(setup);
    return program.Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
