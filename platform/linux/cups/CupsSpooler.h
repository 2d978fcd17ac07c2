#pragma once
// The print spooler on Linux: CUPS 2.4 through libcups IPP requests, plus the
// spooler's own records (monitors, monitor ports, printer data) in the
// key/value store.
//
//   driver directory  DriverDirectory (default /usr/lib/lumbra/driver; the
//                     installer makes it when missing)
//   AddPrinterDriver  writes "<model dir>/<driver>.ppd" from the data file
//                     (resolution, page sizes) with the driver module as the
//                     raster filter, so `lpinfo -m` lists it
//   AddMonitor        installs the monitor module as the CUPS backend
//                     "<backend dir>/<scheme>", the scheme derived from the
//                     monitor name ("POS USB Printer Monitor" -> pos-usb-printer-monitor);
//                     an installed one answers kErrorMonitorAlreadyInstalled
//   AddPort           records a monitor port with the device URI
//                     "<scheme>:/<port without colon, %-encoded>"; fails for an existing port
//   EnumPorts         serial and parallel devices that CUPS reports (ttyS<n> is
//                     COM<n+1>:, ttyUSB<n> COM<n+33>:, ttyACM<n> COM<n+65>:, lp<n> and
//                     parport<n> LPT<n+1>:), the usblp printers (USB001 ...), the monitor ports
//   AddPrinter        CUPS-Add-Modify-Printer: the queue name is engine::NamesFor's
//                     (blank, "/", "\\", "?", "'", "\"", "#", controls become "_";
//                     a taken queue name gets "_2", "_3"...),
//                     the name as given is the description (printer-info); the
//                     queue accepts jobs and is idle. COM settings recorded for
//                     the port become serial URI options.
//   SetPrinterData    "Spooler\\Printers\\<queue>\\PrinterData" in the store; on a
//                     monitor port, "IP", "PortType", "VidAndPid" and "DevicePath" also
//                     go into the queue's device URI, which is all the port monitor
//                     reads (link/MonitorUri.h): "<scheme>://<address>:<port>/<port name>"
//                     for a network printer, "<scheme>:/<port name>?VidAndPid=..." for USB.
//                     The URI is built once from all the values of the call and
//                     set with one CUPS-Add-Modify-Printer (none when it is unchanged)
//   EnumPrinters      queue names and descriptions
//   SetDefaultPrinter CUPS-Set-Default for the queue of that name or description
//   QueueName         the queue AddPrinter made
//   DeletePrinter     CUPS-Delete-Printer, and the queue's records in the store
//   DeletePrinterDriver  the driver's PPD (a file of ours) and its record; the
//                     model folder goes with its last PPD (only when empty)
//   DeleteMonitor     the backend (a file of ours) and its record; refused
//                     (kErrorMonitorInUse) while a queue's device URI has its scheme
//   DeletePort        the monitor port's record
//
// Errors are platform error numbers of Seams.h; a cupsd that cannot be reached
// gives kErrorSpoolerUnavailable, any other IPP failure its IPP status code
// (for example 1025, client-error-forbidden). Driver, PPD and backend files
// are written as new files renamed into place (SafeFs.h).
#include <filesystem>
#include <map>
#include <string>

#include "installer/engine/Seams.h"

namespace platform_linux {

struct CupsLocations {
    std::filesystem::path driverDirectory;   // <root>/usr/lib/lumbra/driver
    std::filesystem::path systemDirectory;   // <root>/usr/lib/lumbra/system
    std::filesystem::path backendDirectory;  // <root>/usr/lib/cups/backend
    std::filesystem::path modelDirectory;    // <root>/usr/share/cups/model/lumbra
    std::filesystem::path usbRoot;           // $USB_PRINTER_ROOT
};

class CupsSpooler : public engine::PrintSpooler {
public:
    CupsSpooler(CupsLocations locations, engine::KeyValueStore& store)
        : loc_(std::move(locations)), store_(store) {}

    // A CUPS-Get-Printers request: kErrorSpoolerUnavailable when cupsd
    // cannot be reached or answers that it cannot serve.
    std::uint32_t CheckAnswers() override;
    std::uint32_t DriverDirectory(std::filesystem::path& folder) override;
    std::filesystem::path SystemDirectory() override { return loc_.systemDirectory; }
    std::uint32_t AddPrinterDriver(const engine::DriverRecord& driver) override;
    std::uint32_t AddMonitor(const engine::MonitorRecord& monitor) override;
    std::uint32_t AddPort(const std::string& portName, const std::string& monitorName) override;
    std::uint32_t EnumPorts(std::vector<engine::SpoolerPort>& ports) override;
    std::uint32_t EnumPrinters(std::vector<std::string>& names) override;
    std::uint32_t AddPrinter(const engine::PrinterRecord& printer, engine::PrinterHandle& handle) override;
    std::uint32_t SetPrinterData(engine::PrinterHandle handle, const engine::PrinterData& values) override;
    void ClosePrinter(engine::PrinterHandle handle) override;
    bool SetDefaultPrinter(const std::string& printerName) override;
    std::string QueueName(engine::PrinterHandle handle) override { return QueueOf(handle); }
    std::uint32_t DeletePrinter(const std::string& queue) override;
    std::uint32_t DeletePrinterDriver(const std::string& driverName) override;
    std::uint32_t DeleteMonitor(const std::string& monitorName) override;
    std::uint32_t DeletePort(const std::string& portName) override;

    static std::string SchemeFor(const std::string& monitorName);
    static std::string QueueNameFor(const std::string& printerName);
    // "serial:/dev/ttyS0?baud=115200+bits=8+parity=none+flow=hard+stop=1" from
    // the port's serial URI and its recorded "115200,n,8,1,p".
    static std::string SerialUriWithSettings(const std::string& uri, const std::string& settings);
    // The queue an added printer got (after AddPrinter).
    std::string QueueOf(engine::PrinterHandle handle) const;
    const std::string& LastAddedQueue() const { return lastAdded_; }

private:
    struct Port {
        engine::SpoolerPort info;
        std::string uri;
    };
    std::uint32_t ListPorts(std::vector<Port>& ports);
    struct Queue {
        std::string name, info, uri;
    };
    std::uint32_t ListQueues(std::vector<Queue>& queues);
    std::uint32_t UpdateMonitorUri(const std::string& queue);

    CupsLocations loc_;
    engine::KeyValueStore& store_;
    std::map<engine::PrinterHandle, std::string> open_;  // handle -> queue
    std::map<std::string, std::string> seenUris_;        // local port name -> device URI, as last listed
    std::map<std::string, std::string> queueUris_;       // queue -> device URI, as last set
    engine::PrinterHandle next_ = 1;
    std::string lastAdded_;
};

}  // namespace platform_linux
