// The install worker: extraction, shortcut, driver files, port, driver and
// printer, printer data, default printer, registration and service.
#include <system_error>

#include "installer/engine/Engine.h"
#include "installer/engine/PcdFile.h"
#include "installer/payload/TextCodec.h"

namespace engine {
namespace fs = std::filesystem;

const payload::ModelRow& InstallRun::Row() const {
    const auto row = static_cast<std::size_t>(settings.selectedRow);
    return models.rows[row < models.rows.size() ? row : 0];
}

namespace {

std::string U8(const std::u16string& s) { return payload::Utf16ToUtf8(s); }

// Copies with overwrite; a failed copy is not an error of the installation
// (a missing file surfaces later as a spooler error).
void CopyOver(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
}

void Remove(const fs::path& file) {
    std::error_code ec;
    fs::remove(file, ec);
}

// Deletes the files of this name directly in `folder`, ignoring case.
void RemoveIgnoringCase(const fs::path& folder, std::string_view name) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (payload::EqualsIgnoreCase(it->path().filename().string(), name) &&
            it->symlink_status(ec).type() == fs::file_type::regular) {
            Remove(it->path());
        }
    }
}

// P as part of a file name: a "/" cannot be part of one on this system and
// would send the file into another folder, so it becomes "_".
std::string FileNamePart(const std::string& p) {
    std::string out = p;
    for (char& c : out)
        if (c == '/') c = '_';
    return out;
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

}  // namespace

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
    const std::string p = FileNamePart(run.settings.printerName);
    const fs::path fa = run.settings.programFolder;

    fs::path dd;
    if (const std::uint32_t error = spooler.DriverDirectory(dd); error != kOk) {
        run.log.Append("GetPrinterDriverDirectory = %d\r\n", static_cast<int>(error));
        return false;
    }
    const std::string configModule = p + "UI.dll";
    const std::string driverModule = p + "Drv.dll";
    const std::string dataFile = p + "GPC.pcd";
    // The 64-bit variant takes every module from its ".x64" file.
    auto source = [&](const char* name) { return fa / (std::string(name) + (run.wow64 ? ".x64" : "")); };

    std::error_code ec;
    fs::create_directories(dd / "3", ec);
    for (const char* name : {"LNGZHS.DLL", "LNGZHT.DLL", "LNGENU.DLL", "Pixmod.dll"}) {
        CopyOver(source(name), dd / "3" / name);
    }
    CopyOver(source("drvui.dll"), dd / configModule);
    CopyOver(source("drvrend.dll"), dd / driverModule);
    for (const char* name : {"drvui.dll", "drvrend.dll"}) {
        Remove(source(name));
        if (run.wow64) Remove(fa / name);  // the 32-bit copy is of no use either
    }

    const fs::path sd = spooler.SystemDirectory();
    const fs::path monitorModule = sd / (p + "Mon.dll");
    fs::create_directories(sd, ec);
    CopyOver(source("RcptPortMon.dll"), monitorModule);
    CopyOver(source("RcptPortMonUI.dll"), sd / (p + "MonUI.dll"));
    Remove(source("RcptPortMon.dll"));
    Remove(source("RcptPortMonUI.dll"));

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
        return false;
    }

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
        return false;
    }
    run.log.Append("*********** AddPrinter success\r\n");
    run.addedPrinter = unique;

    const payload::ModelRow& row = run.Row();
    if (run.settings.portKind == kPortKindNetwork) {
        spooler.SetPrinterData(handle, "IP",
                               PrinterValue::Text(run.settings.ipAddress + " " + run.settings.tcpPort));
    }
    spooler.SetPrinterData(handle, "PortType",
                           PrinterValue::Number(static_cast<std::uint32_t>(run.settings.portKind)));
    spooler.SetPrinterData(handle, "DevicePath", PrinterValue::Text(""));
    spooler.SetPrinterData(handle, "VidAndPid", PrinterValue::Text(U8(row.vidPid)));
    spooler.SetPrinterData(handle, "UserForm",
                           PrinterValue::Text(std::to_string(row.paperWidth) + " " +
                                              std::to_string(row.paperHeight) + " 0 0"));
    spooler.SetPrinterData(handle, "Language", PrinterValue::Text(U8(run.texts.languageModule)));
    run.log.Append("AddPrinter hPrinter = %lx\r\n", static_cast<unsigned long>(handle));
    spooler.ClosePrinter(handle);
    return true;
}

bool InstallPrinterDriver(InstallRun& run) {
    PrintSpooler& spooler = run.platform.spooler;
    const std::string& p = run.settings.printerName;
    fs::path dd;
    if (spooler.DriverDirectory(dd) != kOk) return false;
    const payload::ModelRow& row = run.Row();
    // A data file that cannot be written does not stop the installation.
    WritePcdFile(dd / (FileNamePart(p) + "GPC.pcd"), U8(row.model), row.resolution, row.paperWidth, row.paperHeight);
    run.driverName = p + " Driver";
    run.texts.driverName = payload::Utf8ToUtf16(run.driverName);
    const bool added = InstallDriverAndPrinter(run);
    // The default is the printer just added, under the name it was added with
    // (which differs from P when a printer of that name existed already).
    if (run.settings.setDefault && added) spooler.SetDefaultPrinter(run.addedPrinter);
    return added;
}

bool InstallWorker(InstallRun& run) {
    InstallSettings& s = run.settings;
    const fs::path folder = s.programFolder;
    run.texts.productName = payload::Utf8ToUtf16(s.printerName);

    if (run.package && !run.package->Empty()) {
        run.extracted = payload::ExtractPackage(run.package->Bytes(), folder, &run.observer, run.log);
    } else {
        payload::ExtractAppendedArchive(run.selfFile, folder, run.Row().model, &run.observer, run.log,
                                        &run.extracted);
    }
    RemoveIgnoringCase(folder, "InstallConfig.txt");
    RemoveIgnoringCase(folder, "logo.bmp");

    if (const auto startMenu = run.platform.shell.StartMenuFolder()) {
        run.startMenuFolder = *startMenu / StartMenuSubFolder(s.uiLanguage, s.printerName);
        std::error_code ec;
        fs::create_directories(run.startMenuFolder, ec);
        run.shortcut = run.startMenuFolder / run.platform.shell.ShortcutFileName(ShortcutTitle(s.uiLanguage));
        CreateShortcut(run.platform.shell, folder / "Uninstaller.exe", run.shortcut);
    }

    run.observer.SetStatusLine(InstallingText(s.uiLanguage));

    run.succeeded = InstallPrinterDriver(run);
    if (run.succeeded) {
        WriteRegistration(run, run.startMenuFolder, run.shortcut);
        InstallService(run);
        run.observer.InstallSucceeded();
    } else {
        run.observer.InstallFailed();
    }
    return run.succeeded;
}

}  // namespace engine
