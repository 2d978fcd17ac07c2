#pragma once
// What one install made, recorded in the store so that exactly that can be
// removed again.
//
// One key per install, "Lumbra\Installs\<queue>" (the spooler's name of the
// printer it added, unique while the printer exists), holds:
//   "Printer"            the printer's name as added ("POS80 (1)")
//   "PrinterName"        the name as typed ("POS80")
//   "Program Directory"  the program folder
//   "<kind>:<name>"      one value per part, "made ..." when this install made
//                        the part (or took it over from an install that made
//                        it), "used ..." when it found the part in place:
//     queue:<queue>            driver:<driver name>     port:<port name>
//     monitor:<monitor name>   key:<store key>          (nothing follows)
//     service:<service name>   the program the service runs (made), or this
//                              install's service program (used)
//     file:<absolute path>     <size> <CRC-32, hex> of the file written
//     folder:<absolute path>   <dev> <ino> of the folder
//
// Installs share parts: two installs of one printer name share the program
// folder, the driver and its files, the launcher and the records; every
// install shares the language modules, the port monitor and the one service.
// A part goes with the last install that lists it. An install that made a
// part and goes while others still list it passes it on to them: they then
// count as its makers (a file only while it is still the file written, a
// service re-pointed at a remaining install's program when its own goes).
// Nothing an install did not make, and no file that is no longer the file
// written, is ever removed.
#include <cstdint>
#include <string>
#include <vector>

#include "installer/engine/Seams.h"
#include "base/SafeFs.h"

namespace engine {

inline constexpr const char* kInstallsKey = "Lumbra\\Installs";

// In the order an uninstall removes them (the queue first, records last).
enum class PartKind { Queue, Driver, Port, Monitor, Service, File, Folder, Key };

struct InstallPart {
    PartKind kind = PartKind::File;
    std::string name;
    bool made = false;
    base::FileStamp stamp;  // File
    base::FileId folder;    // Folder
    std::string program;    // Service
};

struct InstallRecord {
    std::string key;            // the store key
    std::string printer;        // the name as added
    std::string printerName;    // the name as typed
    std::string programFolder;
    std::vector<InstallPart> parts;

    std::string Queue() const;
    const InstallPart* Find(PartKind kind, const std::string& name) const;
};

// "queue", "driver", ... as in the value names.
const char* PartKindName(PartKind kind);

// Adds a part, or merges it with the same part listed already (made wins).
void AddPart(std::vector<InstallPart>& parts, InstallPart part);

// Writes one part into the record at `key` (a part passed on to another install).
bool WritePart(KeyValueStore& store, const std::string& key, const InstallPart& part);

// Every install recorded in the store, in key order.
std::vector<InstallRecord> ReadInstallRecords(KeyValueStore& store);
// Writes the record under kInstallsKey\<queue>. A record left there by an
// earlier install whose queue has gone since is merged into it: its parts
// stay listed, so that they still go with the last install.
bool WriteInstallRecord(KeyValueStore& store, InstallRecord record);

// ------------------------------------------------------------------ removal

enum class PartFate {
    Removed,
    Gone,     // not there any more
    Shared,   // still listed by another install (sharedWith)
    NotMade,  // in place before the install: never removed
    Changed,  // not the file (or folder) the install made any more: kept
    InUse,    // a folder that is not empty, a monitor a printer still prints through
    Failed,   // error: an errno value or a spooler error number
};

struct PartOutcome {
    PartKind kind;
    std::string name;
    PartFate fate;
    std::string sharedWith;  // Shared: the printer of an install that keeps it
    std::uint32_t error = 0;
};

enum class UninstallStatus {
    Done,                // the install's record is gone; `parts` tells the rest
    NotInstalled,        // no install of that printer or queue name
    SpoolerUnreachable,  // nothing was touched
    SpoolerRefused,      // the spooler refused to delete the queue; nothing was touched
};

struct UninstallResult {
    UninstallStatus status = UninstallStatus::NotInstalled;
    std::uint32_t spoolerError = 0;
    InstallRecord install;
    std::vector<PartOutcome> parts;
};

// Removes the install whose printer (as added) or queue is `name`: its queue
// first (while that fails, nothing else is touched), then every part it made
// that no other install lists, then its record.
UninstallResult Uninstall(Platform platform, const std::string& name);

}  // namespace engine
