#include "installer/unattended/UnattendedInstall.h"

#include <cstdio>
#include <thread>

#include "installer/engine/Engine.h"
#include "installer/payload/TextCodec.h"
#include "installer/payload/TextTable.h"
#include "installer/unattended/LinuxInstallPlatform.h"

namespace installer {
namespace fs = std::filesystem;
namespace {

constexpr const char* kUsage =
    "install --model MODEL [--name NAME] --port usb|net:ADDR:PORT|COM<n>|LPT<n>|NAME [--folder DIR]\n"
    "               [--no-default] [--no-monitor] [--language en|cn|ru] [--com 115200,n,8,1,p]";

// Prints what the wizard would show; a port question cannot be asked here.
class ConsoleObserver : public engine::InstallObserver {
public:
    // The bar moves by bytes within an entry and by entries between them, so
    // it can step back; the console shows each tenth reached once.
    void SetProgress(int percent) override {
        if (percent / 10 <= shown_ / 10) return;
        shown_ = percent;
        std::printf("progress %d%%\n", percent);
        std::fflush(stdout);
    }
    void SetStatusLine(const std::u16string& text) override {
        std::printf("status %s\n", payload::Utf16ToUtf8(text).c_str());
        std::fflush(stdout);
    }
    std::optional<std::string> ChoosePort(const std::vector<engine::SpoolerPort>& ports) override {
        std::string names;
        for (const auto& p : ports) names += (names.empty() ? "" : ", ") + p.name;
        std::fprintf(stderr,
                     "lumbra install: the printer's port cannot be used and there is no one to choose "
                     "another; run again with --port set to one of: %s\n",
                     names.empty() ? "(no ports)" : names.c_str());
        return std::nullopt;
    }
    void InstallSucceeded() override {}
    void InstallFailed() override {}

private:
    int shown_ = -1;
};

int Fail(const char* message, const std::string& detail = "") {
    std::fprintf(stderr, "lumbra install: %s%s\n", message, detail.c_str());
    return 2;
}

}  // namespace

int RunUnattendedInstall(const std::vector<std::string>& args) {
    std::string model, name, port, folder, language = "en", com = "115200,n,8,1,p";
    bool setDefault = true, useMonitor = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        bool ok = true;
        if (a == "--model") ok = value(model);
        else if (a == "--name") ok = value(name);
        else if (a == "--port") ok = value(port);
        else if (a == "--folder") ok = value(folder);
        else if (a == "--language") ok = value(language);
        else if (a == "--com") ok = value(com);
        else if (a == "--no-default") setDefault = false;
        else if (a == "--no-monitor") useMonitor = false;
        else ok = false;
        if (!ok) return Fail("usage: lumbra ", kUsage);
    }
    if (model.empty() || port.empty()) return Fail("usage: lumbra ", kUsage);
    const int uiLanguage = language == "cn" ? 1 : language == "ru" ? 2 : language == "en" ? 0 : -1;
    if (uiLanguage < 0) return Fail("unknown language (en, cn, ru): ", language);

    // Start-up: the package, the configuration files in Documents, texts and models.
    const payload::SystemPaths paths = payload::SystemPaths::FromEnvironment();
    const payload::InstallPackage package = payload::LoadPackage();
    if (!package.Empty()) payload::ExtractConfigFiles(package.Bytes(), paths.documents);
    payload::InstallerTexts texts;
    payload::ReadInstallerTexts(paths.documents / payload::InstallConfigFileName(uiLanguage), texts);
    const payload::ModelTable models = payload::ReadModelTable(paths.documents);

    int row = 0;
    for (std::size_t r = 1; r <= models.FilledRows() && r < models.rows.size() && row == 0; ++r) {
        if (payload::Utf16ToUtf8(models.rows[r].printerName) == model ||
            payload::Utf16ToUtf8(models.rows[r].model) == model)
            row = static_cast<int>(r);
    }
    if (row == 0) return Fail("no such model in PrinterName.txt: ", model);

    LinuxInstallPlatform linux(InstallLocations::From(paths));
    ConsoleObserver observer;
    engine::InstallRun run(linux.Seams(), observer);
    run.texts = texts;
    run.models = models;
    run.log = payload::InstallLog(paths.installLog);
    run.package = &package;
    run.selfFile = "/proc/self/exe";

    engine::InstallSettings& s = run.settings;
    s.uiLanguage = uiLanguage;
    s.chinese = uiLanguage == 1;
    s.selectedRow = row;
    s.printerName = name.empty() ? payload::Utf16ToUtf8(models.rows[row].printerName) : name;
    if (s.printerName.empty()) return Fail("the printer name is empty");
    s.setDefault = setDefault;
    s.useMonitor = useMonitor;
    if (folder.empty()) {
        const std::string sub = payload::Utf16ToUtf8(texts.programFolderName);
        folder = (paths.programFiles / (sub.empty() ? "USB Printer" : sub)).string();
    }
    s.installFolder = folder;
    s.programFolder = (fs::path(folder) / s.printerName).string();

    if (port == "usb" || port == "USB") {
        s.portName = "USB";
        if (!engine::ChooseUsbRow(linux.usb, run.models, run.log, s.printerName, s)) {
            std::fprintf(stderr, "lumbra install: No matching label printer detected, please connect and try again.\n");
            return 1;
        }
    } else if (port.rfind("net:", 0) == 0) {
        const std::string rest = port.substr(4);
        const auto colon = rest.rfind(':');
        s.ipAddress = colon == std::string::npos ? rest : rest.substr(0, colon);
        s.tcpPort = colon == std::string::npos ? "9100" : rest.substr(colon + 1);
        if (s.ipAddress.empty() || s.tcpPort.empty()) return Fail("bad network port: ", port);
        s.portName = engine::NetworkPortEntry(uiLanguage == 2 ? 0 : uiLanguage);
        s.portKind = engine::kPortKindNetwork;
    } else if (port.rfind("COM", 0) == 0) {
        s.portName = port.back() == ':' ? port : port + ":";
        engine::ComSettings c;
        std::vector<std::string> f(1);
        for (char ch : com) {
            if (ch == ',') f.emplace_back();
            else f.back() += ch;
        }
        if (f.size() != 5) return Fail("bad --com settings: ", com);
        c = {f[0], f[1], f[2], f[3], f[4]};
        engine::WriteComPortSettings(linux.store, s.portName, c);
    } else if (port.rfind("LPT", 0) == 0 && port.back() != ':') {
        s.portName = port + ":";
    } else {
        s.portName = port;
    }

    if (!payload::CreateFolderPath(s.programFolder)) return Fail("cannot create the install folder ", s.programFolder);
    payload::CreateFolderPath(fs::path(s.programFolder) / "Inf");

    // The worker runs on a thread of its own, as under the wizard.
    std::thread worker([&run] { engine::InstallWorker(run); });
    worker.join();
    engine::CleanInstallFolder(s.programFolder, run.extracted.written);

    const payload::WizardPage page = run.succeeded ? payload::kComplete : payload::kFailed;
    const auto& configured = texts.pageText[run.succeeded ? payload::kSuccessText : payload::kFailedText];
    std::printf("%s\n", payload::Utf16ToUtf8(payload::PageTitle(page, uiLanguage)).c_str());
    std::printf("%s\n", payload::Utf16ToUtf8(payload::PageBody(page, configured, s.chinese)).c_str());
    if (run.succeeded) {
        std::printf("printer \"%s\" added as queue %s on port %s\n", run.addedPrinter.c_str(),
                    linux.spooler.LastAddedQueue().c_str(), s.portName.c_str());
    }
    return run.succeeded ? 0 : 1;
}

}  // namespace installer
