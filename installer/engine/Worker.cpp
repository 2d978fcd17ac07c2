// The install worker: extraction, shortcut, driver files, port, driver and
// printer, printer data, default printer, registration and service.
//
// Files in the program folder are used only as this run's extraction wrote
// them: a copy reads, and a deletion removes, a file only while it is still
// the very file written (device and inode), so a file swapped in by someone
// who can write the folder is neither copied into the driver's folders nor
// deleted. A run that fails takes away again what it made
// (RollBackFailedInstall).
#include <fcntl.h>
#include <sys/stat.h>

#include <system_error>

#include "installer/engine/Engine.h"
#include "installer/engine/PcdFile.h"
#include "base/TextCodec.h"

namespace engine {
namespace fs = std::filesystem;

const payload::ModelRow& InstallRun::Row() const {
    const auto row = static_cast<std::size_t>(settings.selectedRow);
    return models.rows[row < models.rows.size() ? row : 0];
}

namespace {

std::string U8(const std::u16string& s) { return base::Utf16ToUtf8(s); }

bool Fail(InstallRun& run, Failure failure) {
    if (run.failure == Failure::None) run.failure = failure;
    return false;
}

Failure SpoolerFailure(std::uint32_t error) {
    return error == kErrorSpoolerUnavailable ? Failure::SpoolerUnreachable : Failure::SpoolerRefused;
}

// The file of this name (ignoring case) that the extraction wrote directly
// in the program folder.
const payload::WrittenFile* Extracted(const InstallRun& run, std::string_view name) {
    for (const payload::WrittenFile& file : run.extracted.written)
        if (base::EqualsIgnoreCase(file.relative, name)) return &file;
    return nullptr;
}

// Notes a file that stands at `name` before the run writes it.
void NoteReplaced(InstallRun& run, const base::Dir& dir, const fs::path& path) {
    struct stat st{};
    if (::fstatat(dir.Get(), path.filename().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        run.replacedFiles.push_back(path.string());
}

bool CopyExtracted(InstallRun& run, const std::string& name, const base::Dir& to, const fs::path& toFolder,
                   const std::string& toName) {
    const payload::WrittenFile* file = Extracted(run, name);
    NoteReplaced(run, to, toFolder / toName);
    const int error = file ? base::CopyFileAt(run.programDir, file->relative, file->id, to, toName, 0644)
                           : ENOENT;
    if (error == 0) {
        RecordFile(run, to, toFolder / toName);
        return true;
    }
    run.log.Append("**** Cannot copy %s to %s: %s\r\n", payload::EscapeName(name).c_str(),
                   payload::EscapeName(toName).c_str(),
                   file ? base::ErrorText(error).c_str() : "not written by this install");
    return false;
}

void RemoveExtracted(InstallRun& run, std::string_view name) {
    if (const payload::WrittenFile* file = Extracted(run, name))
        base::RemoveIfSame(run.programDir, file->relative, file->id);
}

// A program the installation registers must be this run's file; it is made
// executable.
bool MakeProgram(InstallRun& run, std::string_view name) {
    const payload::WrittenFile* file = Extracted(run, name);
    const int error = file ? base::ChmodIfSame(run.programDir, file->relative, file->id, 0755) : ENOENT;
    if (error == 0) return true;
    run.log.Append("**** Cannot use %s: %s\r\n", std::string(name).c_str(),
                   file ? base::ErrorText(error).c_str() : "not written by this install");
    return false;
}

// Opens a folder of the install, recorded from `ours` down (OpenRecordedFolder).
int OpenFolderLogged(InstallRun& run, const fs::path& folder, const fs::path& ours, base::Dir& dir) {
    const int error = OpenRecordedFolder(run, folder, ours, dir);
    if (error != 0)
        run.log.Append("**** Cannot open %s: %s\r\n", payload::EscapeName(folder.string()).c_str(),
                       base::ErrorText(error).c_str());
    return error;
}

std::string StartMenuSubFolder(int uiLanguage, const std::string& p) {
    if (uiLanguage == 1) return p + " 打印机驱动";
    if (uiLanguage == 2) return p + " Драйвер принтера";
    return p + " Driver";
}

std::string ShortcutTitle(int uiLanguage) {
    if (uiLanguage == 1) return "卸载 打印机驱动";
    if (uiLanguage == 2) return "Удалите драйвер принтера";
    return "Uninstall Printer Driver";
}

std::u16string InstallingText(int uiLanguage) {
    if (uiLanguage == 1) return u"正在安装打印机驱动，请稍候...";
    if (uiLanguage == 2) return u"Установка драйвера принтера, подождите";
    return u"Installing Printer Driver, Please wait...";
}

// The uninstall shortcut in its own menu folder. Neither is needed for the
// installation to succeed; what fails is logged.
void CreateUninstallShortcut(InstallRun& run) {
    const InstallSettings& s = run.settings;
    const auto startMenu = run.platform.shell.StartMenuFolder();
    if (!startMenu) return;
    const std::string sub = StartMenuSubFolder(s.uiLanguage, NamesFor(s.printerName).folder);
    run.startMenuFolder = *startMenu / sub;
    run.shortcut = run.startMenuFolder / run.platform.shell.ShortcutFileName(ShortcutTitle(s.uiLanguage));
    base::Dir menu, folder;
    bool made = false;
    if (const int error = base::OpenFolder(*startMenu, true, menu); error != 0) {
        run.log.Append("**** Cannot open %s: %s\r\n", payload::EscapeName(startMenu->string()).c_str(),
                       base::ErrorText(error).c_str());
        return;
    }
    if (const int error = base::OpenSubFolder(menu, sub, true, folder, &made); error != 0) {
        run.log.Append("**** Cannot open %s: %s\r\n", payload::EscapeName(run.startMenuFolder.string()).c_str(),
                       base::ErrorText(error).c_str());
        return;
    }
    RecordFolder(run, folder, run.startMenuFolder, made);
    NoteReplaced(run, folder, run.shortcut);
    if (CreateShortcut(run.platform.shell, fs::path(s.programFolder) / "Uninstaller.exe", run.shortcut))
        RecordFile(run, folder, run.shortcut);
    else
        run.log.Append("**** Shortcut not created: %s\r\n", payload::EscapeName(run.shortcut.string()).c_str());
}

// The extracted files that stay in the program folder, each while it is
// still the file written.
void RecordKeptFiles(InstallRun& run) {
    for (const payload::WrittenFile& file : run.extracted.written) {
        if (!IsKeptFile(file.relative)) continue;
        const fs::path relative(file.relative);
        base::Dir folder;
        if (base::OpenSubFolder(run.programDir, relative.parent_path().string(), false, folder) == 0)
            RecordFile(run, folder, fs::path(run.settings.programFolder) / relative, file.id);
    }
}

// The folder above a driver folder: ours as well (/usr/lib/lumbra), made or
// used, so that it goes with the last install that lists it.
fs::path Above(const fs::path& folder) {
    const fs::path f = folder.lexically_normal();
    return f.parent_path() == f.root_path() ? f : f.parent_path();
}

bool RunInstall(InstallRun& run) {
    InstallSettings& s = run.settings;
    run.texts.productName = base::Utf8ToUtf16(s.printerName);
    if (s.printerName.empty() || HasControlCharacters(s.printerName)) {
        run.log.Append("**** Printer name refused: %s\r\n", payload::EscapeName(s.printerName).c_str());
        return Fail(run, Failure::BadName);
    }
    // Nothing is written for a print system that does not answer: the
    // install would fail at its first request and leave files behind.
    if (run.platform.spooler.CheckAnswers() == kErrorSpoolerUnavailable) {
        run.log.Append("**** The print system does not answer; nothing was installed\r\n");
        return Fail(run, Failure::SpoolerUnreachable);
    }
    if (!run.programDir) {
        bool made = false;
        if (const int error = OpenProgramFolder(s.programFolder, true, run.programDir, &made); error != 0) {
            run.log.Append("**** Cannot use the program folder %s: %s\r\n",
                           payload::EscapeName(s.programFolder).c_str(), base::ErrorText(error).c_str());
            return Fail(run, Failure::FolderUnusable);
        }
        RecordFolder(run, run.programDir, s.programFolder, made);
    }

    if (run.package && !run.package->Empty()) {
        run.extracted = payload::ExtractPackage(run.package->Bytes(), run.programDir, s.programFolder,
                                                &run.observer, run.log);
    } else {
        payload::ExtractAppendedArchive(run.selfFile, run.programDir, s.programFolder, run.Row().model,
                                        &run.observer, run.log, &run.extracted);
    }
    // Entries refused because something else stands in their place fail the
    // installation only when a later step needs them.
    if (run.extracted.failedEntries > 0 || run.extracted.malformed) return Fail(run, Failure::FilesNotWritten);
    RemoveExtracted(run, "InstallConfig.txt");
    RemoveExtracted(run, "logo.bmp");
    if (!MakeProgram(run, "RcptSpoolSvc.exe") || !MakeProgram(run, "Uninstaller.exe"))
        return Fail(run, Failure::FilesNotWritten);
    RecordKeptFiles(run);

    CreateUninstallShortcut(run);
    run.observer.SetStatusLine(InstallingText(s.uiLanguage));

    if (!InstallPrinterDriver(run)) return false;
    WriteRegistration(run, run.startMenuFolder, run.shortcut);
    InstallService(run);
    // Without its record the install could not be removed again.
    if (!WriteRunRecord(run)) return Fail(run, Failure::FilesNotWritten);
    return true;
}

}  // namespace

int OpenProgramFolder(const fs::path& programFolder, bool create, base::Dir& out, bool* made) {
    const fs::path folder = fs::path(programFolder).lexically_normal();
    const fs::path name = folder.filename().empty() ? folder.parent_path().filename() : folder.filename();
    const fs::path parent = folder.filename().empty() ? folder.parent_path().parent_path() : folder.parent_path();
    base::Dir base;
    if (name.empty() || name == "..") return EINVAL;
    if (const int error = base::OpenFolder(parent, create, base); error != 0) return error;
    return base::OpenSubFolder(base, name.string(), create, out, made);
}

std::string MakeUniquePrinterName(PrintSpooler& spooler, const std::string& name) {
    std::vector<std::string> printers;
    if (spooler.EnumPrinters(printers) != kOk) return name;
    std::string candidate = name;
    for (int k = 1;; ++k) {
        bool taken = false;
        for (const std::string& existing : printers) {
            if (existing == candidate) {
                taken = true;
                break;
            }
        }
        if (!taken) return candidate;
        candidate = name + " (" + std::to_string(k) + ")";
    }
}

bool InstallDriverAndPrinter(InstallRun& run) {
    PrintSpooler& spooler = run.platform.spooler;
    const std::string p = NamesFor(run.settings.printerName).folder;

    fs::path dd;
    if (const std::uint32_t error = spooler.DriverDirectory(dd); error != kOk) {
        run.log.Append("GetPrinterDriverDirectory = %d\r\n", static_cast<int>(error));
        return Fail(run, SpoolerFailure(error));
    }
    const std::string configModule = p + "UI.dll";
    const std::string driverModule = p + "Drv.dll";
    const std::string dataFile = p + "GPC.pcd";
    // The 64-bit variant takes every module from its ".x64" file.
    auto source = [&](const char* name) { return std::string(name) + (run.wow64 ? ".x64" : ""); };

    base::Dir driverDir, languageDir, systemDir;
    if (OpenFolderLogged(run, dd, Above(dd), driverDir) != 0 ||
        OpenFolderLogged(run, dd / "3", dd, languageDir) != 0)
        return Fail(run, Failure::FilesNotWritten);
    for (const char* name : {"LNGZHS.DLL", "LNGZHT.DLL", "LNGENU.DLL", "Pixmod.dll"}) {
        if (!CopyExtracted(run, source(name), languageDir, dd / "3", name)) return Fail(run, Failure::FilesNotWritten);
    }
    if (!CopyExtracted(run, source("drvui.dll"), driverDir, dd, configModule) ||
        !CopyExtracted(run, source("drvrend.dll"), driverDir, dd, driverModule))
        return Fail(run, Failure::FilesNotWritten);
    for (const char* name : {"drvui.dll", "drvrend.dll"}) {
        RemoveExtracted(run, source(name));
        if (run.wow64) RemoveExtracted(run, name);  // the 32-bit copy is of no use either
    }

    const fs::path sd = spooler.SystemDirectory();
    const fs::path monitorModule = sd / (p + "Mon.dll");
    if (OpenFolderLogged(run, sd, Above(sd), systemDir) != 0 ||
        !CopyExtracted(run, source("RcptPortMon.dll"), systemDir, sd, p + "Mon.dll") ||
        !CopyExtracted(run, source("RcptPortMonUI.dll"), systemDir, sd, p + "MonUI.dll"))
        return Fail(run, Failure::FilesNotWritten);
    RemoveExtracted(run, source("RcptPortMon.dll"));
    RemoveExtracted(run, source("RcptPortMonUI.dll"));

    if (!RunPortProcedure(run, monitorModule)) return false;

    DriverRecord driver;
    driver.version = 2;
    driver.name = run.driverName;
    driver.environment = run.wow64 ? "Windows x64" : "Windows NT x86";
    driver.driverPath = driverModule;
    driver.dataFile = dataFile;
    driver.configFile = configModule;
    if (const std::uint32_t error = spooler.AddPrinterDriver(driver); error != kOk) {
        run.log.Append("AddPrinterDriver = %d\r\n", static_cast<int>(error));
        return Fail(run, SpoolerFailure(error));
    }
    RecordPart(run, PartKind::Driver, run.driverName, true);

    const std::string unique = MakeUniquePrinterName(spooler, run.settings.printerName);
    run.log.Append("*********** call AddPrinter\r\n");
    PrinterRecord printer;
    printer.printerName = unique;
    printer.shareName = unique;
    printer.portName = run.settings.portName;
    printer.driverName = run.driverName;
    printer.separatorFile = "";
    printer.printProcessor = "WinPrint";
    printer.dataType = "RAW";
    printer.parameters = "";
    printer.attributes = kPrinterAttributeDefault;
    PrinterHandle handle = 0;
    if (const std::uint32_t error = spooler.AddPrinter(printer, handle); error != kOk) {
        run.log.Append("AddPrinter = %d\r\n", static_cast<int>(error));
        return Fail(run, SpoolerFailure(error));
    }
    run.log.Append("*********** AddPrinter success\r\n");
    run.addedPrinter = unique;
    run.addedQueue = spooler.QueueName(handle);
    RecordPart(run, PartKind::Queue, run.addedQueue, true);

    // The printer data of the set-up go to the spooler together, in this order.
    const payload::ModelRow& row = run.Row();
    PrinterData data;
    if (run.settings.portKind == kPortKindNetwork)
        data.emplace_back("IP", PrinterValue::Text(run.settings.ipAddress + " " + run.settings.tcpPort));
    data.emplace_back("PortType", PrinterValue::Number(static_cast<std::uint32_t>(run.settings.portKind)));
    data.emplace_back("DevicePath", PrinterValue::Text(""));
    data.emplace_back("VidAndPid", PrinterValue::Text(U8(row.vidPid)));
    data.emplace_back("UserForm", PrinterValue::Text(std::to_string(row.paperWidth) + " " +
                                                     std::to_string(row.paperHeight) + " 0 0"));
    data.emplace_back("Language", PrinterValue::Text(U8(run.texts.languageModule)));
    spooler.SetPrinterData(handle, data);
    run.log.Append("AddPrinter hPrinter = %lx\r\n", static_cast<unsigned long>(handle));
    spooler.ClosePrinter(handle);
    return true;
}

bool InstallPrinterDriver(InstallRun& run) {
    PrintSpooler& spooler = run.platform.spooler;
    const std::string& p = run.settings.printerName;
    fs::path dd;
    if (const std::uint32_t error = spooler.DriverDirectory(dd); error != kOk)
        return Fail(run, SpoolerFailure(error));
    const payload::ModelRow& row = run.Row();
    // The data file is shared by every installation of this name: it is
    // replaced only by a complete new one, and without it there is no driver.
    const fs::path pcd = dd / (NamesFor(p).folder + "GPC.pcd");
    base::Dir driverDir;
    if (const int error = OpenRecordedFolder(run, dd, Above(dd), driverDir); error != 0) {
        run.log.Append("**** Cannot open %s: %s\r\n", payload::EscapeName(dd.string()).c_str(),
                       base::ErrorText(error).c_str());
        return Fail(run, Failure::FilesNotWritten);
    }
    NoteReplaced(run, driverDir, pcd);
    if (!WritePcdFile(pcd, U8(row.model), row.resolution, row.paperWidth, row.paperHeight)) {
        run.log.Append("**** Cannot write %s\r\n", payload::EscapeName(pcd.string()).c_str());
        return Fail(run, Failure::FilesNotWritten);
    }
    RecordFile(run, pcd);
    run.driverName = p + " Driver";
    run.texts.driverName = base::Utf8ToUtf16(run.driverName);
    const bool added = InstallDriverAndPrinter(run);
    // The default is the printer just added, under the name it was added with
    // (which differs from P when a printer of that name existed already).
    if (run.settings.setDefault && added) spooler.SetDefaultPrinter(run.addedPrinter);
    return added;
}

bool InstallWorker(InstallRun& run) {
    run.failure = Failure::None;
    run.succeeded = RunInstall(run);
    if (!run.succeeded) RollBackFailedInstall(run);
    if (run.succeeded) {
        run.observer.InstallSucceeded();
    } else {
        run.observer.InstallFailed();
    }
    return run.succeeded;
}

}  // namespace engine
