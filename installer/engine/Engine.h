#pragma once
// The installer engine: what the installer does to the operating system once
// the wizard (or an unattended run) has collected the choices. It talks to the
// OS only through the seams of Seams.h and to its front-end only through
// InstallObserver, so the Qt wizard, `lumbra install` and the tests each
// provide their own.
//
// Threads: InstallWorker runs on a thread of its own (the front-end starts it);
// every InstallObserver call comes from that thread and must be answered
// synchronously. The front-end writes InstallRun before the thread starts and
// reads it only after InstallSucceeded/InstallFailed.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "installer/engine/InstallRecord.h"
#include "installer/engine/Seams.h"
#include "installer/payload/InstallLog.h"
#include "installer/payload/InstallerConfig.h"
#include "installer/payload/Package.h"
#include "base/SafeFs.h"

namespace engine {

// ----------------------------------------------------------------- names

// What a printer name becomes where it names something.
struct PrinterNames {
    std::string folder;  // one file-name component: program folder, menu folder, driver file names
    std::string queue;   // the print queue's name (the spooler makes it unique)
};
// The one place where a printer name (or a configured folder name) turns into
// names: control characters, "/", "\", "\"" and "'" become "_" (quotes cannot
// stand in the path of a service's program), blanks at either end go,
// ".", ".." and an empty result become "_", and the result is cut to
// kMaxFolderName bytes of whole characters. The queue name further turns
// blanks, "?" and "#" into "_" and keeps at most kMaxQueueName bytes.
PrinterNames NamesFor(std::string_view printerName);
inline constexpr std::size_t kMaxFolderName = 200;
inline constexpr std::size_t kMaxQueueName = 120;
// True when the text holds a control character (C0, DEL or C1): such a text
// is no printer name.
bool HasControlCharacters(std::string_view text);
// The default install folder: <programFiles>/<configured folder name>, or
// "USB Printer" when none is configured.
std::filesystem::path DefaultInstallFolder(const std::filesystem::path& programFiles,
                                           std::u16string_view programFolderName);

// The serial settings of the port page, as the record stores them.
struct ComSettings {
    std::string baudRate = "115200";
    std::string parity = "n";     // "e", "o" or "n"
    std::string dataBits = "8";
    std::string stopBits = "1";   // "1", "1.5" or "2"
    std::string flow = "p";       // "x", "p" or empty
};
// "偶校验" → "e", "奇校验" → "o", anything else ("无") → "n".
std::string ParityLetter(std::string_view listText);
// "Xon / Xoff" → "x", "硬件" → "p", anything else ("无") → "".
std::string FlowLetter(std::string_view listText);
// "115200,n,8,1,p"; no flow control gives a trailing comma ("9600,n,8,1,").
std::string ComSettingsText(const ComSettings& com);

// The port kinds of the port page.
inline constexpr int kPortKindLocal = 0;
inline constexpr int kPortKindNetwork = 1;

// The wizard's choices as the engine reads them. Texts are UTF-8.
struct InstallSettings {
    std::string printerName;    // P, as typed on the printer-settings page
    std::string installFolder;  // the folder chosen on the folder page
    std::string programFolder;  // installFolder + "/" + P: where the payload goes
    std::string portName;       // the chosen port; the port procedure may replace it
    int portKind = kPortKindLocal;
    bool usbChosen = false;     // the port "USB" was chosen
    bool useMonitor = true;     // "Use Printer Monitor"
    bool setDefault = true;     // "Set as default printer"
    std::string ipAddress;      // network port only
    std::string tcpPort;
    int selectedRow = 0;        // ModelTable row
    int uiLanguage = 0;         // 0 English, 1 Chinese, 2 Russian
    bool chinese = false;       // the wizard's Chinese flag
};

// What the engine asks of its front-end. The payload extraction's progress and
// status line come through the inherited ExtractObserver calls.
class InstallObserver : public payload::ExtractObserver {
public:
    // The modal "Select Printer Port" question, offered the spooler's ports (an
    // empty list when they cannot be read). The chosen port name, or nullopt
    // for Cancel, which fails the installation.
    virtual std::optional<std::string> ChoosePort(const std::vector<SpoolerPort>& ports) = 0;
    // The installation succeeded: the wizard moves on to its Complete page.
    virtual void InstallSucceeded() = 0;
    // The installation failed: the wizard switches to its Failed page.
    virtual void InstallFailed() = 0;
};

// Why an installation failed; the front-ends turn it into their texts.
enum class Failure {
    None,
    BadName,             // the printer name holds control characters, or is empty
    FolderUnusable,      // the program folder cannot be made or opened (a link, not a folder, ...)
    FilesNotWritten,     // an entry or a copy could not be written, or a file the driver
                         // needs was not written by this run (someone else's file is in the way)
    SpoolerUnreachable,  // the print spooler does not answer
    SpoolerRefused,      // the spooler refused the driver or the printer
    PortNotChosen,       // the user cancelled the port question
};

// One installation: inputs, the seams, and what the worker leaves behind.
struct InstallRun {
    InstallRun(Platform p, InstallObserver& o) : platform(p), observer(o) {}

    InstallSettings settings;
    payload::InstallerTexts texts = payload::InstallerTexts::Defaults();
    payload::ModelTable models;
    Platform platform;
    InstallObserver& observer;
    payload::InstallLog log;
    // The package loaded at start-up; when empty, the archive appended to selfFile is used.
    const payload::InstallPackage* package = nullptr;
    std::filesystem::path selfFile;
    // The 64-bit variant: ".x64" sources, the "Windows x64" environment.
    bool wow64 = sizeof(void*) == 8;

    // The program folder, opened once (by InstallSession::Prepare or the worker).
    base::Dir programDir;

    // Results.
    payload::ExtractReport extracted;   // what the extraction wrote: the only files later steps use
    Failure failure = Failure::None;
    std::string driverName;             // D
    std::filesystem::path startMenuFolder;
    std::filesystem::path shortcut;
    std::string addedPrinter;           // the printer's name as added (unique)
    std::string addedQueue;             // the spooler's name for it
    std::string portMonitor;            // the monitor serving the printer's port, when known
    std::vector<InstallPart> parts;     // what the run made or uses: its install record
    // Files that stood at their names before this run wrote them: a failed
    // run keeps them (another install, or someone else, may use them).
    std::vector<std::string> replacedFiles;
    bool succeeded = false;

    const payload::ModelRow& Row() const;
};

// ------------------------------------------------------------------ the worker

// The thread body: extract, shortcut, driver and printer, registration, service;
// ends with observer.InstallSucceeded() or InstallFailed(). Returns the outcome.
// Any entry that cannot be extracted, any file that cannot be copied, and any
// file the driver needs that this run did not write fail the installation.
bool InstallWorker(InstallRun& run);
// Opens <parent>/<last part> of the program folder; the last part is never a
// link. `made` tells whether this call made it.
int OpenProgramFolder(const std::filesystem::path& programFolder, bool create, base::Dir& out,
                      bool* made = nullptr);
// Data file, driver name, driver and printer, default printer. True if the printer was added.
bool InstallPrinterDriver(InstallRun& run);
// Copies the driver and monitor files, sets up the port, adds driver and printer
// and writes the printer data. True when the printer was added.
bool InstallDriverAndPrinter(InstallRun& run);
// P, or "P (1)", "P (2)" ... : the first name no existing printer has.
std::string MakeUniquePrinterName(PrintSpooler& spooler, const std::string& name);

// Opens `folder`, making what is missing, and records each folder from
// `ours` down to it as a part of the install: made when this call made it,
// used when it was there. A folder above `ours` is never recorded.
int OpenRecordedFolder(InstallRun& run, const std::filesystem::path& folder, const std::filesystem::path& ours,
                       base::Dir& out);
// After a failed install: removes what this run made that no recorded
// install lists (the queue, driver, port and monitor it added, the keys it
// made, the files it wrote where nothing stood, by the stamp written, and the
// folders it made, when empty), and the files its extraction wrote. Files
// that stood at their names before, and everything another install's record
// lists, stay. Each removal and each kept part is logged.
void RollBackFailedInstall(InstallRun& run);

// ------------------------------------------------------------- USB port search

// Present USB printer interfaces whose vid&pid matches a model row (ignoring
// case); their device paths are appended to `paths`. Returns their count.
int UsbDeviceScan(UsbDeviceRegistry& usb, const payload::ModelTable& models,
                  std::vector<std::string>& paths);
// Finds the print port of a present device with this vid&pid and hardware ID.
// True only when a port name was found and written into `portName`.
bool FindUsbPrintPort(UsbDeviceRegistry& usb, const payload::ModelTable& models,
                      const payload::InstallLog& log, std::string& portName,
                      std::string_view vidPid, std::string_view hardwareId);
// The port page's confirmation with "USB": marks the port as USB, takes
// `printerNameField` as P and picks the first row of that printer name whose
// port is found. False when no matching printer is connected at all (the
// wizard then shows its message and stays).
bool ChooseUsbRow(UsbDeviceRegistry& usb, const payload::ModelTable& models,
                  const payload::InstallLog& log, const std::string& printerNameField,
                  InstallSettings& settings);

// ------------------------------------------------------------ ports and monitor

inline constexpr const char* kComPortsKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

// "USB", the spooler's COM ports, its LPT ports (each without its last
// character), then the network entry ("Net Port(TCP/IP)", "网络端口（TCP/IP）",
// none in Russian).
std::vector<std::string> FillPortList(PrintSpooler& spooler, int uiLanguage);
std::string NetworkPortEntry(int uiLanguage);
// Stores the serial settings under the port's name ("COM1:"). Failures are ignored.
void WriteComPortSettings(KeyValueStore& store, const std::string& portName, const ComSettings& com);
// The monitor port of a printer: "POS80-Port:".
std::string MonitorPortName(std::string_view printerName);
bool InstallPortMonitor(InstallRun& run, const std::filesystem::path& monitorModule);
bool CreateMonitorPort(InstallRun& run);
bool PortExists(PrintSpooler& spooler, const std::string& portName);
// Decides the printer's port (monitor port, or the chosen one, or the user's
// choice). False when the user cancelled a port choice.
bool RunPortProcedure(InstallRun& run, const std::filesystem::path& monitorModule);

// -------------------------------------------------- registration and clean-up

inline constexpr const char* kServiceName = "MavoPrinter Service";
inline constexpr const char* kServiceDescription = "MavoPrinter Printer Monitor";
inline constexpr const char* kUninstallKeyPrefix = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
inline constexpr const char* kRunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// A shortcut that runs `target` with the administrator's rights.
bool CreateShortcut(ShellFolders& shell, const std::filesystem::path& target,
                    const std::filesystem::path& shortcut);
void WriteRegistration(InstallRun& run, const std::filesystem::path& startMenuFolder,
                       const std::filesystem::path& shortcut);
void InstallService(InstallRun& run);
// The service program of a program folder: <folder>/RcptSpoolSvc.exe.
std::filesystem::path ServiceProgram(const std::filesystem::path& programFolder);
// Creates, describes and starts the printer service for `program`. False when
// it cannot be created (it exists already, for one).
bool CreateService(ServiceManager& services, const std::filesystem::path& program);
// The extracted files that stay in the program folder after the clean-up:
// "Uninstaller.exe", "Uninstall.ini", "RcptSpoolSvc.exe" (ignoring case) and
// whatever lies in sub-folders.
bool IsKeptFile(std::string_view relative);
// Deletes the files that the run's extraction wrote directly in the program
// folder, except "Uninstaller.exe", "Uninstall.ini" and "RcptSpoolSvc.exe"
// (ignoring case). A file is deleted only while it is still the very file
// written; nothing else is touched. Returns the number deleted.
int CleanInstallFolder(InstallRun& run);

// ------------------------------------------------ the install's own record

// Parts of the install as the worker makes or finds them (InstallRecord.h).
void RecordPart(InstallRun& run, PartKind kind, const std::string& name, bool made);
// A file the run wrote in `folder`, stamped while it is a file of ours (and,
// with `expected`, that very file); a file that is not is left out and logged.
void RecordFile(InstallRun& run, const base::Dir& folder, const std::filesystem::path& file,
                const std::optional<base::FileId>& expected = std::nullopt);
void RecordFile(InstallRun& run, const std::filesystem::path& file);
void RecordFolder(InstallRun& run, const base::Dir& folder, const std::filesystem::path& path, bool made);
// Writes the run's record (WriteInstallRecord); logs and returns false when it cannot.
bool WriteRunRecord(InstallRun& run);

// Sets one key of an INI file (created when missing), keeping everything
// else. The file is replaced through a new file, and only when it is missing
// or a file of ours; a section, key or value holding a line break is refused.
bool WriteProfileString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value);
bool WriteProfileString(const base::Dir& folder, std::string_view fileName, std::string_view section,
                        std::string_view key, std::string_view value);
// The value of one key of an INI file (a regular file, read without following
// a link); nullopt when the file, section or key is missing.
std::optional<std::string> ReadProfileString(const base::Dir& folder, std::string_view fileName,
                                             std::string_view section, std::string_view key);

}  // namespace engine
