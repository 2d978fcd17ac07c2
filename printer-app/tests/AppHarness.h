#pragma once
// Test support for receipt-printer-app: the server on a free loopback port
// with its own spool folder, run through a uniquely named link so that its
// client socket (/run/NAME.sock as root) is its own; its client subcommands;
// ipptool jobs; PWG raster pages made here.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/raster/tests/FilterHarness.h"

namespace apptest {

using Bytes = std::vector<std::uint8_t>;

// The pages as a PWG raster stream (1-bit black or 8-bit sGray pages).
Bytes MakePwgRaster(const std::vector<drivertest::TestPage>& pages);

class AppServer {
public:
    // Starts the server; ok() tells whether it answers on Port().
    explicit AppServer(const std::vector<std::string>& serverOptions = {"dnssd=off"});
    ~AppServer();
    AppServer(const AppServer&) = delete;
    AppServer& operator=(const AppServer&) = delete;

    bool ok() const { return port_ != 0 && pid_ > 0; }
    const std::string& error() const { return error_; }
    std::uint16_t Port() const { return port_; }
    const std::string& Dir() const { return dir_; }      // temp folder: spool/, log
    const std::string& Program() const { return link_; }  // the uniquely named link
    std::string Log() const;                              // the tail of the log
    std::string PrinterUri(const std::string& printer) const;

    // Runs `Program() ARGS...`; its output (stdout and stderr), *status its exit status.
    std::string Run(const std::string& args, int* status) const;
    // Adds a printer (add -d NAME -m DRIVER -v URI); false with the output in *said.
    bool AddPrinter(const std::string& name, const std::string& driver, const std::string& uri,
                    std::string* said) const;
    // The shutdown subcommand, then waits for the exit; its exit status (-1: killed).
    int Shutdown();

private:
    std::string dir_, link_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
    std::string error_;
};

// A Print-Job through ipptool: the file with its format and job attributes
// ("receipt-cut keyword page", "receipt-drawer-pin integer 5"). ipptool's
// output, *status its exit status. A raster document goes to an idle printer
// as it arrives, and the answer comes once it has printed: `timeoutSeconds`
// (0: ipptool's own) bounds the wait for it.
std::string IppPrint(const std::string& printerUri, const std::string& file, const std::string& format,
                     const std::vector<std::string>& attributes, int* status, int timeoutSeconds = 0);

// Get-Printer-Attributes (jobId 0) or Get-Job-Attributes through ipptool:
// each attribute of the answer by name, its value as ipptool prints it
// ("media-empty-error,media-low-warning"); empty when the request failed.
std::map<std::string, std::string> IppAttributes(const std::string& printerUri, int jobId = 0);

// Any ipptool test file of CUPS's (identify-printer-display.test, ...).
std::string IppTool(const std::string& uri, const std::string& test, int* status);

// The bytes of printer-sim's stream `n` (counting from 1) that carried print data
// (not only status requests),
// waiting up to 60 s for it to end.
std::optional<Bytes> DataStream(const simtest::SimProcess& printer, std::size_t n);

}  // namespace apptest
