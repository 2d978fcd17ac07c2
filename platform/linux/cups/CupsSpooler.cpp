#include "platform/linux/cups/CupsSpooler.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "installer/engine/Engine.h"
#include "installer/engine/PcdFile.h"
#include "base/SafeFs.h"
#include "base/TextCodec.h"
#include "link/MonitorUri.h"
#include "platform/linux/cups/Ppd.h"
#include "platform/linux/usbreg/SysfsUsbRegistry.h"

namespace platform_linux {
namespace fs = std::filesystem;
using engine::kOk;

namespace {

constexpr const char* kMonitorsKey = "Spooler\\Monitors";
constexpr const char* kPortsKey = "Spooler\\Ports";
constexpr const char* kPrintersKey = "Spooler\\Printers";
constexpr const char* kDriversKey = "Spooler\\Drivers";

// The outcome of the last libcups request as a platform error number.
std::uint32_t LastError() {
    const ipp_status_t status = cupsLastError();
    if (status <= IPP_STATUS_OK_EVENTS_COMPLETE) return kOk;
    if (status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE || status == IPP_STATUS_ERROR_INTERNAL)
        return engine::kErrorSpoolerUnavailable;
    return static_cast<std::uint32_t>(status);
}

std::string PrinterUri(const std::string& queue) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                     "/printers/%s", queue.c_str());
    return uri;
}

// The Windows-style name of a serial or parallel device path, or "".
std::string LocalPortName(const std::string& scheme, const std::string& path) {
    const std::string base = fs::path(path).filename().string();
    auto number = [&](const char* prefix) -> int {
        const std::size_t n = std::char_traits<char>::length(prefix);
        if (base.rfind(prefix, 0) != 0 || base.size() == n) return -1;
        if (!std::all_of(base.begin() + static_cast<std::ptrdiff_t>(n), base.end(), ::isdigit)) return -1;
        return std::atoi(base.c_str() + n);
    };
    if (scheme == "serial") {
        if (int n = number("ttyS"); n >= 0) return "COM" + std::to_string(n + 1) + ":";
        if (int n = number("ttyUSB"); n >= 0) return "COM" + std::to_string(n + 33) + ":";
        if (int n = number("ttyACM"); n >= 0) return "COM" + std::to_string(n + 65) + ":";
    } else if (scheme == "parallel") {
        if (int n = number("lp"); n >= 0) return "LPT" + std::to_string(n + 1) + ":";
        if (int n = number("parport"); n >= 0) return "LPT" + std::to_string(n + 1) + ":";
    }
    return "";
}

const char* AttrText(ipp_t* response, ipp_attribute_t* attr) {
    (void)response;
    return attr ? ippGetString(attr, 0, nullptr) : nullptr;
}


}  // namespace

std::string CupsSpooler::SchemeFor(const std::string& monitorName) {
    std::string out;
    bool dash = false;
    for (unsigned char c : monitorName) {
        if (std::isalnum(c) && c < 128) {
            if (dash && !out.empty()) out += '-';
            out += static_cast<char>(std::tolower(c));
            dash = false;
        } else {
            dash = true;
        }
    }
    if (out.empty()) return "lumbra-monitor";
    if (!std::isalpha(static_cast<unsigned char>(out[0]))) out = "m-" + out;
    return out;
}

std::string CupsSpooler::QueueNameFor(const std::string& printerName) {
    return engine::NamesFor(printerName).queue;
}

std::string CupsSpooler::SerialUriWithSettings(const std::string& uri, const std::string& settings) {
    std::vector<std::string> f;
    std::string part;
    for (char c : settings + ",") {
        if (c == ',') {
            f.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (f.size() < 5) return uri;
    const std::string base = uri.substr(0, uri.find('?'));
    const std::string parity = f[1] == "e" ? "even" : f[1] == "o" ? "odd" : "none";
    const std::string flow = f[4] == "x" ? "soft" : f[4] == "p" ? "hard" : "none";
    // The serial backend knows one and two stop bits; 1.5 is sent as 2.
    const std::string stop = f[3] == "1" ? "1" : "2";
    return base + "?baud=" + f[0] + "+bits=" + f[2] + "+parity=" + parity + "+flow=" + flow + "+stop=" + stop;
}

std::uint32_t CupsSpooler::CheckAnswers() {
    std::vector<Queue> queues;
    return ListQueues(queues) == engine::kErrorSpoolerUnavailable ? engine::kErrorSpoolerUnavailable : kOk;
}

std::uint32_t CupsSpooler::DriverDirectory(fs::path& folder) {
    // The installer makes the folder itself (and records that it did).
    if (!loc_.driverDirectory.is_absolute()) return engine::kErrorFileNotFound;
    folder = loc_.driverDirectory;
    return kOk;
}

std::uint32_t CupsSpooler::AddPrinterDriver(const engine::DriverRecord& driver) {
    const fs::path dd = loc_.driverDirectory;
    for (const std::string& file : {driver.driverPath, driver.dataFile, driver.configFile}) {
        std::error_code ec;
        if (file.empty() || !fs::is_regular_file(dd / file, ec)) return engine::kErrorFileNotFound;
    }
    const auto data = engine::ReadPcdFile(dd / driver.dataFile);
    if (!data) return engine::kErrorInvalidParameter;
    // The driver module is what CUPS runs as the filter.
    if (base::ChmodFile(dd / driver.driverPath, 0755) != 0) return engine::kErrorAccessDenied;
    // The PPD is replaced only by a complete new one.
    const fs::path ppd = loc_.modelDirectory / PpdFileName(driver.name);
    if (base::WriteFile(ppd, BuildPpd(driver.name, *data, dd / driver.driverPath), 0644) != 0)
        return engine::kErrorAccessDenied;
    const std::string key = std::string(kDriversKey) + "\\" + driver.name;
    if (store_.CreateKey(key)) {
        store_.SetText(key, "Environment", driver.environment);
        store_.SetText(key, "Driver", driver.driverPath);
        store_.SetText(key, "Data File", driver.dataFile);
        store_.SetText(key, "Configuration File", driver.configFile);
        store_.SetText(key, "PPD", ppd.string());
    }
    return kOk;
}

std::uint32_t CupsSpooler::AddMonitor(const engine::MonitorRecord& monitor) {
    const std::string scheme = SchemeFor(monitor.name);
    const fs::path backend = loc_.backendDirectory / scheme;
    const std::string key = std::string(kMonitorsKey) + "\\" + monitor.name;
    std::error_code ec;
    if (store_.KeyExists(key) || fs::exists(fs::symlink_status(backend, ec)))
        return engine::kErrorMonitorAlreadyInstalled;
    if (!fs::is_regular_file(fs::symlink_status(monitor.module, ec))) return engine::kErrorFileNotFound;
    if (base::CopyFile(monitor.module, backend, 0755) != 0) return engine::kErrorAccessDenied;
    if (!store_.CreateKey(key)) return engine::kErrorAccessDenied;
    store_.SetText(key, "Backend", scheme);
    store_.SetText(key, "Driver", monitor.module.string());
    store_.SetText(key, "Environment", monitor.environment);
    return kOk;
}

std::uint32_t CupsSpooler::AddPort(const std::string& portName, const std::string& monitorName) {
    const auto scheme = store_.GetText(std::string(kMonitorsKey) + "\\" + monitorName, "Backend");
    if (!scheme) return engine::kErrorUnknownMonitor;
    std::vector<Port> ports;
    if (const auto e = ListPorts(ports); e != kOk) return e;
    for (const Port& p : ports)
        if (p.info.name == portName) return engine::kErrorAlreadyExists;
    const std::string key = std::string(kPortsKey) + "\\" + portName;
    if (!store_.CreateKey(key)) return engine::kErrorAccessDenied;
    store_.SetText(key, "Monitor", monitorName);
    // Until printer data name a printer: the port's name only.
    store_.SetText(key, "DeviceURI", printer_link::FormatMonitorUri(*scheme, printer_link::TargetFromPrinterData(portName, {})));
    return kOk;
}

std::uint32_t CupsSpooler::ListPorts(std::vector<Port>& ports) {
    ports.clear();
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_DEVICES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    const char* schemes[] = {"serial", "parallel"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "include-schemes", 2, nullptr, schemes);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "timeout", 5);
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    if (!response) return engine::kErrorSpoolerUnavailable;
    if (const auto e = LastError(); e != kOk) {
        ippDelete(response);
        return e;
    }
    std::string uri, info;
    auto flush = [&] {
        if (uri.empty()) return;
        const std::string scheme = uri.substr(0, uri.find(':'));
        std::string path = uri.substr(uri.find(':') + 1);
        path = path.substr(0, path.find('?'));
        const std::string name = LocalPortName(scheme, path);
        if (!name.empty()) ports.push_back({{name, info.empty() ? path : info, "Local Port"}, uri});
        uri.clear();
        info.clear();
    };
    for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
        const char* n = ippGetName(a);
        if (!n) {
            flush();
            continue;
        }
        if (!strcmp(n, "device-uri")) uri = AttrText(response, a);
        else if (!strcmp(n, "device-info")) info = AttrText(response, a);
    }
    flush();
    ippDelete(response);
    // Several devices can claim one name; the first is kept.
    std::vector<Port> unique;
    for (Port& p : ports) {
        if (std::none_of(unique.begin(), unique.end(), [&](const Port& u) { return u.info.name == p.info.name; }))
            unique.push_back(std::move(p));
    }
    ports = std::move(unique);
    for (const Port& p : ports) seenUris_[p.info.name] = p.uri;

    for (const UsbPrinterNode& usb : ListUsbPrinters(loc_.usbRoot)) {
        ports.push_back({{UsbPortName(usb.index), "USB printer " + usb.vidPid, "USB Monitor"},
                         "parallel:" + usb.node.string()});
    }
    if (const auto names = store_.SubKeys(kPortsKey)) {
        for (const std::string& name : *names) {
            const std::string key = std::string(kPortsKey) + "\\" + name;
            const std::string monitor = store_.GetText(key, "Monitor").value_or("");
            ports.push_back({{name, monitor + " port", monitor}, store_.GetText(key, "DeviceURI").value_or("")});
        }
    }
    return kOk;
}

std::uint32_t CupsSpooler::EnumPorts(std::vector<engine::SpoolerPort>& out) {
    std::vector<Port> ports;
    if (const auto e = ListPorts(ports); e != kOk) return e;
    out.clear();
    for (const Port& p : ports) out.push_back(p.info);
    return kOk;
}

std::uint32_t CupsSpooler::ListQueues(std::vector<Queue>& queues) {
    queues.clear();
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    const char* attrs[] = {"printer-name", "printer-info", "device-uri"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr, attrs);
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    if (!response) return engine::kErrorSpoolerUnavailable;
    const ipp_status_t status = cupsLastError();
    if (status > IPP_STATUS_OK_EVENTS_COMPLETE && status != IPP_STATUS_ERROR_NOT_FOUND) {
        ippDelete(response);
        return LastError();
    }
    Queue q;
    auto flush = [&] {
        if (!q.name.empty()) queues.push_back(q);
        q = Queue{};
    };
    for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
        const char* n = ippGetName(a);
        if (!n) {
            flush();
            continue;
        }
        if (!strcmp(n, "printer-name")) q.name = AttrText(response, a);
        else if (!strcmp(n, "printer-info")) q.info = AttrText(response, a);
        else if (!strcmp(n, "device-uri")) q.uri = AttrText(response, a);
    }
    flush();
    ippDelete(response);
    return kOk;
}

std::uint32_t CupsSpooler::EnumPrinters(std::vector<std::string>& names) {
    std::vector<Queue> queues;
    if (const auto e = ListQueues(queues); e != kOk) return e;
    names.clear();
    for (const Queue& q : queues) {
        names.push_back(q.name);
        if (!q.info.empty() && q.info != q.name) names.push_back(q.info);
    }
    return kOk;
}

std::uint32_t CupsSpooler::AddPrinter(const engine::PrinterRecord& printer, engine::PrinterHandle& handle) {
    if (printer.printerName.empty()) return engine::kErrorInvalidPrinterName;
    std::vector<Queue> queues;
    if (const auto e = ListQueues(queues); e != kOk) return e;
    for (const Queue& q : queues) {
        // Names compare exactly, as printer names do; a queue name that differs
        // only in case is taken care of by the queue name derivation below.
        if (q.name == printer.printerName || q.info == printer.printerName)
            return engine::kErrorPrinterAlreadyExists;
    }
    const fs::path ppd = loc_.modelDirectory / PpdFileName(printer.driverName);
    std::error_code ec;
    if (!fs::is_regular_file(ppd, ec)) return engine::kErrorUnknownPrinterDriver;

    std::vector<Port> ports;
    if (const auto e = ListPorts(ports); e != kOk) return e;
    std::string uri;
    for (const Port& p : ports) {
        if (p.info.name == printer.portName) {
            uri = p.uri;
            break;
        }
    }
    // CUPS lists a serial or parallel port only when its probe of the device
    // answers in time; a port this spooler listed a moment ago is still known.
    if (const auto known = seenUris_.find(printer.portName); uri.empty() && known != seenUris_.end())
        uri = known->second;
    if (uri.empty()) return engine::kErrorUnknownPort;
    if (uri.rfind("serial:", 0) == 0) {
        if (const auto settings = store_.GetText(engine::kComPortsKey, printer.portName))
            uri = SerialUriWithSettings(uri, *settings);
    }

    const std::string base = QueueNameFor(printer.printerName);
    std::string queue = base;
    for (int k = 2; std::any_of(queues.begin(), queues.end(),
                                [&](const Queue& q) { return base::EqualsIgnoreCase(q.name, queue); });
         ++k) {
        queue = base + "_" + std::to_string(k);
    }

    ipp_t* request = ippNewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(queue).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-info", nullptr, printer.printerName.c_str());
    ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
    ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-shared", 0);
    ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
    // Portrait unless a job asks otherwise: CUPS's image filters would turn a
    // picture wider than tall sideways to fit the page, and a receipt is read
    // along the roll.
    ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "orientation-requested-default", IPP_ORIENT_PORTRAIT);
    ippDelete(cupsDoFileRequest(CUPS_HTTP_DEFAULT, request, "/admin/", ppd.c_str()));
    if (const auto e = LastError(); e != kOk) return e;

    const std::string key = std::string(kPrintersKey) + "\\" + queue;
    if (store_.CreateKey(key)) {
        store_.SetText(key, "Name", printer.printerName);
        store_.SetText(key, "Port", printer.portName);
        store_.SetText(key, "Driver", printer.driverName);
    }
    handle = next_++;
    open_[handle] = queue;
    queueUris_[queue] = uri;
    lastAdded_ = queue;
    return kOk;
}

std::string CupsSpooler::QueueOf(engine::PrinterHandle handle) const {
    const auto it = open_.find(handle);
    return it == open_.end() ? std::string() : it->second;
}

std::uint32_t CupsSpooler::SetPrinterData(engine::PrinterHandle handle, const engine::PrinterData& values) {
    const auto it = open_.find(handle);
    if (it == open_.end()) return engine::kErrorInvalidHandle;
    const std::string& queue = it->second;
    const std::string key = std::string(kPrintersKey) + "\\" + queue + "\\PrinterData";
    if (!store_.CreateKey(key)) return engine::kErrorAccessDenied;
    std::uint32_t result = kOk;
    bool monitorData = false;
    for (const auto& [name, value] : values) {
        const std::string text =
            value.kind == engine::PrinterValue::Kind::Number ? std::to_string(value.number) : value.text;
        if (!store_.SetText(key, name, text)) {
            if (result == kOk) result = engine::kErrorAccessDenied;
            continue;
        }
        monitorData = monitorData || name == "IP" || name == "PortType" || name == "VidAndPid" || name == "DevicePath";
    }
    // The device URI is built once, from all the values of the set-up.
    if (monitorData) {
        if (const auto e = UpdateMonitorUri(queue); e != kOk && result == kOk) result = e;
    }
    return result;
}

std::uint32_t CupsSpooler::UpdateMonitorUri(const std::string& queue) {
    // Only a queue on a monitor port: its device URI carries what the port
    // monitor needs, since it runs as user lp and cannot read the store.
    const std::string printerKey = std::string(kPrintersKey) + "\\" + queue;
    const auto port = store_.GetText(printerKey, "Port");
    const auto portUri = port ? store_.GetText(std::string(kPortsKey) + "\\" + *port, "DeviceURI") : std::nullopt;
    if (!portUri) return kOk;
    const std::string dataKey = printerKey + "\\PrinterData";
    auto text = [&](const char* value) { return store_.GetText(dataKey, value).value_or(""); };
    printer_link::PrinterData data;
    if (const auto type = store_.GetText(dataKey, "PortType"))
        data.portType = static_cast<std::uint32_t>(std::strtoul(type->c_str(), nullptr, 10));
    data.ip = text("IP");
    data.vidAndPid = text("VidAndPid");
    data.devicePath = text("DevicePath");
    const std::string uri =
        printer_link::FormatMonitorUri(portUri->substr(0, portUri->find(':')), printer_link::TargetFromPrinterData(*port, data));
    if (queueUris_[queue] == uri) return kOk;
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(queue).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, uri.c_str());
    ippDelete(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/admin/"));
    if (const auto e = LastError(); e != kOk) return e;
    queueUris_[queue] = uri;
    return kOk;
}

void CupsSpooler::ClosePrinter(engine::PrinterHandle handle) { open_.erase(handle); }

bool CupsSpooler::SetDefaultPrinter(const std::string& printerName) {
    std::vector<Queue> queues;
    if (ListQueues(queues) != kOk) return false;
    std::string queue;
    for (const Queue& q : queues)
        if (q.name == printerName) queue = q.name;
    if (queue.empty()) {
        for (const Queue& q : queues)
            if (q.info == printerName) queue = q.name;  // the latest of equal descriptions
    }
    if (queue.empty()) return false;
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_SET_DEFAULT);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(queue).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippDelete(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/admin/"));
    return LastError() == kOk;
}

std::uint32_t CupsSpooler::DeletePrinter(const std::string& queue) {
    std::vector<Queue> queues;
    if (const auto e = ListQueues(queues); e != kOk) return e;
    const auto q = std::find_if(queues.begin(), queues.end(),
                                [&](const Queue& x) { return base::EqualsIgnoreCase(x.name, queue); });
    if (q != queues.end()) {
        ipp_t* request = ippNewRequest(IPP_OP_CUPS_DELETE_PRINTER);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(q->name).c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
        ippDelete(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/admin/"));
        if (const auto e = LastError(); e != kOk) return e;
    }
    const bool recorded = store_.DeleteKey(std::string(kPrintersKey) + "\\" + queue);
    return q != queues.end() || recorded ? kOk : engine::kErrorInvalidPrinterName;
}

namespace {

// Deletes a file of ours in `folder`; true when one was there.
bool RemoveOurs(const fs::path& folder, const std::string& name) {
    base::Dir dir;
    return base::OpenFolder(folder, false, dir) == 0 && base::IsOurFile(dir, name) &&
           ::unlinkat(dir.Get(), name.c_str(), 0) == 0;
}

}  // namespace

std::uint32_t CupsSpooler::DeletePrinterDriver(const std::string& driverName) {
    const bool ppd = RemoveOurs(loc_.modelDirectory, PpdFileName(driverName));
    // The model folder is ours alone: it goes once its last PPD has (rmdir
    // leaves a folder that is not empty, and a link, alone).
    if (base::Dir models; ppd && base::OpenFolder(loc_.modelDirectory.parent_path(), false, models) == 0)
        ::unlinkat(models.Get(), loc_.modelDirectory.filename().c_str(), AT_REMOVEDIR);
    const bool recorded = store_.DeleteKey(std::string(kDriversKey) + "\\" + driverName);
    return ppd || recorded ? kOk : engine::kErrorUnknownPrinterDriver;
}

std::uint32_t CupsSpooler::DeleteMonitor(const std::string& monitorName) {
    const std::string key = std::string(kMonitorsKey) + "\\" + monitorName;
    const std::string scheme = store_.GetText(key, "Backend").value_or(SchemeFor(monitorName));
    std::vector<Queue> queues;
    if (const auto e = ListQueues(queues); e != kOk) return e;
    for (const Queue& q : queues)
        if (q.uri.rfind(scheme + ":", 0) == 0) return engine::kErrorMonitorInUse;
    const bool backend = RemoveOurs(loc_.backendDirectory, scheme);
    const bool recorded = store_.DeleteKey(key);
    return backend || recorded ? kOk : engine::kErrorUnknownMonitor;
}

std::uint32_t CupsSpooler::DeletePort(const std::string& portName) {
    return store_.DeleteKey(std::string(kPortsKey) + "\\" + portName) ? kOk : engine::kErrorUnknownPort;
}

}  // namespace platform_linux
