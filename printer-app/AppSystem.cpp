#include "printer-app/AppSystem.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "printer-app/Drivers.h"
#include "printer-app/Printing.h"

namespace printer_app {
namespace {

constexpr const char* kStateFileName = "receipt-printer-app.state";
constexpr const char* kSystemName = "Receipt Printer Application";

std::string& ProgramName() {
    static std::string name = "receipt-printer-app";
    return name;
}

std::optional<pappl_loglevel_t> LogLevelOf(const std::string& text) {
    if (text == "fatal") return PAPPL_LOGLEVEL_FATAL;
    if (text == "error") return PAPPL_LOGLEVEL_ERROR;
    if (text == "warn" || text == "warning") return PAPPL_LOGLEVEL_WARN;
    if (text == "info") return PAPPL_LOGLEVEL_INFO;
    if (text == "debug") return PAPPL_LOGLEVEL_DEBUG;
    return std::nullopt;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : "";
}

// Creates `dir` and its missing parents (mode 0700 for a user's, 0755 for the system's).
bool MakeDirectories(const std::string& dir, mode_t mode) {
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool SaveState(pappl_system_t* system, void* data) {
    return papplSystemSaveState(system, static_cast<const std::string*>(data)->c_str());
}

// A new printer's DNS-SD registration, off with dnssd=off.
bool g_dnssd = true;
void PrinterCreated(pappl_printer_t* printer, void*) {
    if (!g_dnssd) papplPrinterSetDNSSDName(printer, nullptr);
}

}  // namespace

static bool g_serving = true;

void SetProgramName(const std::string& name) { ProgramName() = name; }
void SetServing(bool serving) { g_serving = serving; }

std::optional<SystemSettings> SettingsOf(const std::string& name, int count, const cups_option_t* options,
                                         unsigned uid, std::string* why) {
    SystemSettings s;
    s.name = name;
    auto option = [&](const char* key) -> std::optional<std::string> {
        const char* value = cupsGetOption(key, count, const_cast<cups_option_t*>(options));
        if (!value) return std::nullopt;
        return std::string(value);
    };
    if (const auto port = option("server-port")) {
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(port->c_str(), &end, 10);
        if (port->empty() || *end != '\0' || errno != 0 || n < 1 || n > 65535) {
            *why = "server-port takes a TCP port from 1 to 65535, not \"" + *port + "\"";
            return std::nullopt;
        }
        s.port = static_cast<int>(n);
    }
    if (const auto host = option("listen-hostname")) {
        if (host->empty()) {
            *why = "listen-hostname takes a host name, an address or \"*\"";
            return std::nullopt;
        }
        s.listen = *host;
    }
    if (const auto level = option("log-level")) {
        const auto parsed = LogLevelOf(*level);
        if (!parsed) {
            *why = "log-level takes fatal, error, warn, info or debug, not \"" + *level + "\"";
            return std::nullopt;
        }
        s.logLevel = *parsed;
    }
    if (const auto dnssd = option("dnssd")) {
        if (*dnssd == "off" || *dnssd == "no" || *dnssd == "false") {
            s.dnssd = false;
        } else if (*dnssd == "on" || *dnssd == "yes" || *dnssd == "true") {
            s.dnssd = true;
        } else {
            *why = "dnssd takes on or off, not \"" + *dnssd + "\"";
            return std::nullopt;
        }
    }
    if (const auto log = option("log-file")) {
        if (log->empty()) {
            *why = "log-file takes a file, \"-\" (stderr) or \"syslog\"";
            return std::nullopt;
        }
        s.logFile = *log;
    }
    if (const auto spool = option("spool-directory")) {
        if (spool->empty() || (*spool)[0] != '/') {
            *why = "spool-directory takes an absolute directory, not \"" + *spool + "\"";
            return std::nullopt;
        }
        s.spoolDir = *spool;
        s.stateFile = s.spoolDir + "/" + kStateFileName;
    } else if (uid == 0) {
        s.spoolDir = "/var/spool/receipt-printer-app";
        s.stateFile = std::string("/var/lib/receipt-printer-app/") + kStateFileName;
    } else {
        const std::string runtime = Env("XDG_RUNTIME_DIR");
        s.spoolDir = !runtime.empty() ? runtime + "/receipt-printer-app"
                                      : "/tmp/receipt-printer-app-" + std::to_string(uid);
        std::string config = Env("XDG_CONFIG_HOME");
        if (config.empty() && !Env("HOME").empty()) config = Env("HOME") + "/.config";
        s.stateFile = (config.empty() ? s.spoolDir : config + "/receipt-printer-app") + "/" + kStateFileName;
    }
    return s;
}

pappl_system_t* CreateSystem(int count, cups_option_t* options, void*) {
    std::string why;
    const auto settings = SettingsOf(ProgramName(), count, options, ::getuid(), &why);
    if (!settings) {
        std::fprintf(stderr, "%s: %s\n", ProgramName().c_str(), why.c_str());
        return nullptr;
    }
    if (!g_serving) {
        pappl_system_t* local = papplSystemCreate(PAPPL_SOPTIONS_MULTI_QUEUE, kSystemName, 0, nullptr,
                                                  papplGetTempDir(), "-", PAPPL_LOGLEVEL_ERROR, nullptr, false);
        if (local)
            papplSystemSetPrinterDrivers(local, DriverCount(), DriverTable(), AutoAddCallback, nullptr,
                                         DriverCallback, nullptr);
        return local;
    }
    const mode_t mode = ::getuid() == 0 ? 0755 : 0700;
    const std::string stateDir = settings->stateFile.substr(0, settings->stateFile.rfind('/'));
    for (const std::string& dir : {settings->spoolDir, stateDir}) {
        if (!MakeDirectories(dir, mode)) {
            std::fprintf(stderr, "%s: cannot create %s: %s\n", ProgramName().c_str(), dir.c_str(), std::strerror(errno));
            return nullptr;
        }
    }
    const pappl_soptions_t soptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE |
                                      PAPPL_SOPTIONS_WEB_LOG | PAPPL_SOPTIONS_NO_TLS;
    pappl_system_t* system =
        papplSystemCreate(soptions, kSystemName, settings->port, settings->dnssd ? "_print,_universal" : nullptr,
                          settings->spoolDir.c_str(), settings->logFile.c_str(), settings->logLevel, nullptr, false);
    if (!system) {
        std::fprintf(stderr, "%s: cannot create the printing system\n", ProgramName().c_str());
        return nullptr;
    }
    if (!papplSystemAddListeners(system, settings->listen == "*" ? nullptr : settings->listen.c_str())) {
        std::fprintf(stderr, "%s: cannot listen on %s port %d\n", ProgramName().c_str(), settings->listen.c_str(),
                     settings->port);
        papplSystemDelete(system);
        return nullptr;
    }
    g_dnssd = settings->dnssd;
    if (!settings->dnssd) papplSystemSetDNSSDName(system, nullptr);
    papplSystemSetPrinterDrivers(system, DriverCount(), DriverTable(), AutoAddCallback, PrinterCreated, DriverCallback,
                                 nullptr);
    // Raster documents keep their own page headers: the raster driver's page loop reads them.
    papplSystemAddMIMEFilter(system, "image/pwg-raster", kRawFormat, PrintRasterStream, nullptr);
    papplSystemAddMIMEFilter(system, "image/urf", kRawFormat, PrintRasterStream, nullptr);
    papplSystemAddMIMEFilter(system, "image/png", kRawFormat, PrintPngPicture, nullptr);
    papplSystemAddMIMEFilter(system, "image/jpeg", kRawFormat, PrintJpegPicture, nullptr);
    papplSystemSetFooterHTML(system, "Receipt printer application");
    papplSystemAddTimerCallback(system, 0, 1, RefreshIdlePrinters, nullptr);
    static std::string stateFile;
    stateFile = settings->stateFile;
    papplSystemLoadState(system, stateFile.c_str());
    papplSystemSetSaveCallback(system, SaveState, &stateFile);
    return system;
}

}  // namespace printer_app
