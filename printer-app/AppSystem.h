#pragma once
// The printer application's system: where it listens, spools, keeps its
// state and logs, from the server's -o options with defaults for root (the
// system's places) and for a user (the user's own). When the options name
// the places, nothing is read or written outside them.
//
//   -o server-port=N          TCP port (default 8000 + uid % 1000 as PAPPL picks, 8631 for root)
//   -o listen-hostname=H      localhost (default), "*" for every address, or one address/name
//   -o spool-directory=DIR    spool files and the state file (DIR/BASENAME.state)
//   -o log-file=F             a file, "-" for stderr (default; the journal under systemd), "syslog"
//   -o log-level=L            fatal, error, warn, info (default), debug
//   -o dnssd=off              no DNS-SD (Avahi) registration; on by default, and a missing
//                             avahi-daemon costs only a log line
#include <cups/cups.h>
#include <pappl/pappl.h>

#include <optional>
#include <string>

namespace printer_app {

struct SystemSettings {
    std::string name;          // the program's name (argv[0]'s file name)
    int port = 0;
    std::string listen = "localhost";
    std::string spoolDir;
    std::string stateFile;
    std::string logFile = "-";
    pappl_loglevel_t logLevel = PAPPL_LOGLEVEL_INFO;
    bool dnssd = true;
};

// The settings of the options; nullopt with `why` when one is malformed.
// `uid` and `environment lookups` pick the defaults.
std::optional<SystemSettings> SettingsOf(const std::string& name, int count, const cups_option_t* options,
                                         unsigned uid, std::string* why);

// The system callback of papplMainloop; `data` is unused.
pappl_system_t* CreateSystem(int count, cups_option_t* options, void* data);

// argv[0]'s file name, set by main before the main loop.
void SetProgramName(const std::string& name);
// Whether the main loop runs the server. PAPPL's client subcommands that
// answer locally (drivers, autoadd's driver lookup) create a system too: that
// one listens nowhere, keeps no state and creates no directory.
void SetServing(bool serving);

}  // namespace printer_app
