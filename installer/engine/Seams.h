#pragma once
// What the installer engine needs from the operating system, in its own words.
// Each interface is as small as the engine's calls. platform/linux/<seam>/ holds
// the real code (CUPS, a file-backed store, systemd, XDG folders, sysfs);
// platform/fake/<seam>/ holds scriptable stand-ins for tests.
//
// Texts are UTF-8. Spooler calls return 0 on success or a platform error number
// (the values below); the engine logs that number and never interprets it
// except for kErrorMonitorAlreadyInstalled.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace engine {

inline constexpr std::uint32_t kOk = 0;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorSpoolerUnavailable = 1722;
inline constexpr std::uint32_t kErrorUnknownPort = 1796;
inline constexpr std::uint32_t kErrorUnknownPrinterDriver = 1797;
inline constexpr std::uint32_t kErrorInvalidPrinterName = 1801;
inline constexpr std::uint32_t kErrorPrinterAlreadyExists = 1802;
inline constexpr std::uint32_t kErrorUnknownMonitor = 3000;
inline constexpr std::uint32_t kErrorMonitorAlreadyInstalled = 3006;
inline constexpr std::uint32_t kErrorMonitorInUse = 3008;

// ---------------------------------------------------------------- print spooler

struct SpoolerPort {
    std::string name;         // e.g. "COM1:", "LPT1:", "USB001", "POS80-Port:"
    std::string description;
    std::string monitor;      // the monitor that serves the port
};

struct DriverRecord {
    int version = 2;
    std::string name;          // "<printer> Driver"
    std::string environment;   // "Windows NT x86" or "Windows x64"
    std::string driverPath;    // file names only: the spooler takes them from its driver directory
    std::string dataFile;
    std::string configFile;
};

struct MonitorRecord {
    std::string name;
    std::string environment;
    std::filesystem::path module;  // the monitor module as copied into the system directory
};

inline constexpr std::uint32_t kPrinterAttributeDefault = 4;

struct PrinterRecord {
    std::string printerName;
    std::string shareName;
    std::string portName;
    std::string driverName;
    std::string separatorFile;
    std::string printProcessor;
    std::string dataType;
    std::string parameters;
    std::uint32_t attributes = 0;
};

using PrinterHandle = std::uintptr_t;  // 0 is "none"

struct PrinterValue {
    enum class Kind { Text, Number };
    Kind kind = Kind::Text;
    std::string text;
    std::uint32_t number = 0;

    static PrinterValue Text(std::string t) { return {Kind::Text, std::move(t), 0}; }
    static PrinterValue Number(std::uint32_t n) { return {Kind::Number, {}, n}; }
    bool operator==(const PrinterValue&) const = default;
};

// The values stored with one printer (name, value), in the order they are set.
using PrinterData = std::vector<std::pair<std::string, PrinterValue>>;

class PrintSpooler {
public:
    virtual ~PrintSpooler() = default;
    // kOk when the spooler answers at all (whatever it answers);
    // kErrorSpoolerUnavailable when it does not. Asked before an install
    // writes anything.
    virtual std::uint32_t CheckAnswers() { return kOk; }
    // The folder that driver files are copied into before AddPrinterDriver.
    virtual std::uint32_t DriverDirectory(std::filesystem::path& folder) = 0;
    // The folder the monitor modules are copied into.
    virtual std::filesystem::path SystemDirectory() = 0;
    virtual std::uint32_t AddPrinterDriver(const DriverRecord& driver) = 0;
    // kErrorMonitorAlreadyInstalled when a monitor of that name exists.
    virtual std::uint32_t AddMonitor(const MonitorRecord& monitor) = 0;
    // Creates a port served by the named monitor; fails for an existing port.
    virtual std::uint32_t AddPort(const std::string& portName, const std::string& monitorName) = 0;
    virtual std::uint32_t EnumPorts(std::vector<SpoolerPort>& ports) = 0;
    // Names of the local and connected printers, as EnumPrinters reports them.
    virtual std::uint32_t EnumPrinters(std::vector<std::string>& names) = 0;
    virtual std::uint32_t AddPrinter(const PrinterRecord& printer, PrinterHandle& handle) = 0;
    // Stores the printer's data values of its set-up, in order, and applies
    // them to the printer together (one update of the printer for the lot).
    // The first error, or kOk when every value was set.
    virtual std::uint32_t SetPrinterData(PrinterHandle handle, const PrinterData& values) = 0;
    virtual void ClosePrinter(PrinterHandle handle) = 0;
    // The name as AddPrinter was given it.
    virtual bool SetDefaultPrinter(const std::string& printerName) = 0;
    // The name the spooler keeps an added printer under (its queue), which
    // may differ from the name AddPrinter was given. Valid until ClosePrinter.
    virtual std::string QueueName(PrinterHandle handle) = 0;

    // Removal. Each answers kOk, or kErrorInvalidPrinterName, kErrorUnknownPrinterDriver,
    // kErrorUnknownMonitor, kErrorUnknownPort when there is no such thing.
    // The printer's queue and the spooler's records of it.
    virtual std::uint32_t DeletePrinter(const std::string& queue) = 0;
    // The driver's files the spooler made from it and its record.
    virtual std::uint32_t DeletePrinterDriver(const std::string& driverName) = 0;
    // The monitor's module and record; kErrorMonitorInUse while a printer prints through it.
    virtual std::uint32_t DeleteMonitor(const std::string& monitorName) = 0;
    virtual std::uint32_t DeletePort(const std::string& portName) = 0;
};

// ------------------------------------------------------------- key/value store
// The registry's role: keys are paths separated by "\" (for example
// "SOFTWARE\\POS80"), values are texts. One hive, one view.

class KeyValueStore {
public:
    virtual ~KeyValueStore() = default;
    // Opens or creates the key and every missing parent.
    virtual bool CreateKey(const std::string& key) = 0;
    virtual bool KeyExists(const std::string& key) = 0;
    virtual bool SetText(const std::string& key, const std::string& name,
                         const std::string& value) = 0;
    virtual std::optional<std::string> GetText(const std::string& key, const std::string& name) = 0;
    // False when the key or value does not exist.
    virtual bool DeleteValue(const std::string& key, const std::string& name) = 0;
    // Direct sub-keys in name order; nullopt when the key cannot be opened.
    virtual std::optional<std::vector<std::string>> SubKeys(const std::string& key) = 0;
    // The key's values (name, text); nullopt when the key cannot be opened.
    virtual std::optional<std::vector<std::pair<std::string, std::string>>> Values(const std::string& key) = 0;
    // Deletes the key with its values and every sub-key. False when it does not exist
    // or cannot be deleted.
    virtual bool DeleteKey(const std::string& key) = 0;
};

// ------------------------------------------------------------- service manager

struct ServiceRecord {
    std::string name;
    std::string displayName;
    std::filesystem::path program;
    bool autoStart = true;
    bool interactive = true;   // may interact with the desktop (ignored where meaningless)
};

class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    // False when there is no service manager to talk to (the install goes on).
    virtual bool Available() = 0;
    // False when the service exists already or cannot be created.
    virtual bool Create(const ServiceRecord& service) = 0;
    // Why the last Create failed, when the manager can tell ("" otherwise).
    virtual std::string LastError() const { return {}; }
    virtual bool SetDescription(const std::string& name, const std::string& description) = 0;
    virtual bool Start(const std::string& name) = 0;
    // Stops the service and deletes it. False when there is no such service or
    // it cannot be deleted.
    virtual bool Remove(const std::string& name) = 0;
};

// --------------------------------------------------- shell folders, shortcuts

class ShellFolders {
public:
    virtual ~ShellFolders() = default;
    // The user's programs menu folder; nullopt when it cannot be found.
    virtual std::optional<std::filesystem::path> StartMenuFolder() = 0;
    // The file name of a shortcut called `title` (adds ".lnk", ".desktop", ...).
    virtual std::string ShortcutFileName(const std::string& title) = 0;
    // `asAdministrator`: the target runs with the administrator's rights (the
    // uninstaller), asking for them when it is started.
    virtual bool CreateShortcut(const std::filesystem::path& target,
                                const std::filesystem::path& workingDirectory,
                                const std::filesystem::path& shortcut, bool asAdministrator) = 0;
};

// ------------------------------------------------------ USB device registry
// The device records that lead from a connected USB printer to its print port:
// the USB device instance (vid&pid, instance) carries a parent-id prefix; the
// printer-class instances of a hardware ID are named "<prefix>&<port>", and an
// instance whose device is present has a "Control" sub-key.

class UsbDeviceRegistry {
public:
    virtual ~UsbDeviceRegistry() = default;
    // Device paths of the present USB printer interfaces, in enumeration order:
    // \\?\usb#vid_0418&pid_5011#<instance>#{<class guid>}
    virtual std::vector<std::string> PresentPrinterInterfaces() = 0;
    // False when the instance key cannot be opened. Otherwise `prefix` holds the
    // parent-id prefix, or nullopt when the instance has none.
    virtual bool ReadParentIdPrefix(const std::string& vidPid, const std::string& instance,
                                    std::optional<std::string>& prefix) = 0;
    // Instances of the printer class for a hardware ID; nullopt when there is no such key.
    virtual std::optional<std::vector<std::string>> PrintInstances(const std::string& hardwareId) = 0;
    // Sub-keys of one printer-class instance; nullopt when it cannot be opened.
    virtual std::optional<std::vector<std::string>> PrintInstanceSubKeys(
        const std::string& hardwareId, const std::string& instance) = 0;
};

struct Platform {
    PrintSpooler& spooler;
    KeyValueStore& store;
    ServiceManager& services;
    ShellFolders& shell;
    UsbDeviceRegistry& usb;
};

}  // namespace engine
