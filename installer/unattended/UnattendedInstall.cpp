#include "installer/unattended/UnattendedInstall.h"

#include <cstdio>
#include <string>
#include <vector>

#include "cli-common/ExitCode.h"
#include <thread>

#include "installer/engine/InstallSession.h"
#include "installer/payload/TextCodec.h"
#include "installer/payload/TextTable.h"
#include "installer/unattended/LinuxInstallPlatform.h"

namespace installer {
namespace fs = std::filesystem;
namespace {

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

// A value of the command line that cannot be used.
int Fail(const char* message, const std::string& detail = "") {
    std::fprintf(stderr, "lumbra install: %s%s\n", message, payload::EscapeName(detail).c_str());
    return cli::kUsage;
}

// Why the install failed, in the words of this front-end (the log has the
// details); nullptr when the port question has said it already.
const char* FailureText(engine::Failure failure) {
    switch (failure) {
    case engine::Failure::None:
    case engine::Failure::PortNotChosen: return nullptr;
    case engine::Failure::BadName: return "the printer name holds control characters";
    case engine::Failure::FolderUnusable: return "the install folder cannot be used: a link, not a folder, or not writable";
    case engine::Failure::FilesNotWritten:
        return "the driver's files could not all be written (a full disk, or another user's files in the way)";
    case engine::Failure::SpoolerUnreachable: return "the print system (CUPS) is not reachable; start it and run again";
    case engine::Failure::SpoolerRefused: return "the print system refused the driver or the printer";
    }
    return nullptr;
}

}  // namespace

int RunUnattendedInstall(const UnattendedOptions& options) {
    const std::string& model = options.model;
    const std::string& name = options.name;
    const std::string& port = options.port;
    const std::string& language = options.language;
    const std::string& com = options.com;
    std::string folder = options.folder;
    const int uiLanguage = language == "cn" ? 1 : language == "ru" ? 2 : language == "en" ? 0 : -1;
    if (uiLanguage < 0) return Fail("unknown language (en, cn, ru): ", language);
    engine::ComSettings comSettings;
    {
        std::vector<std::string> f(1);
        for (char ch : com) {
            if (ch == ',') f.emplace_back();
            else f.back() += ch;
        }
        if (f.size() != 5) return Fail("bad --com settings: ", com);
        comSettings = {f[0], f[1], f[2], f[3], f[4]};
    }

    // Start-up: the package, the configuration files in Documents, texts and models.
    const payload::SystemPaths paths = payload::SystemPaths::FromEnvironment();
    const payload::InstallPackage package = payload::LoadPackage();
    payload::PrepareDocuments(package.Bytes(), paths.documents);
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
    engine::InstallSession session(linux.Seams(), observer);
    engine::InstallRun& run = session.Run();
    run.texts = texts;
    run.models = models;
    run.log = payload::InstallLog(paths.installLog);
    run.package = &package;
    run.selfFile = "/proc/self/exe";

    engine::InstallSettings& s = session.Settings();
    s.uiLanguage = uiLanguage;
    s.chinese = uiLanguage == 1;
    s.selectedRow = row;
    s.printerName = name.empty() ? payload::Utf16ToUtf8(models.rows[row].printerName) : name;
    if (s.printerName.empty()) return Fail("the printer name is empty");
    if (engine::HasControlCharacters(s.printerName)) return Fail("the printer name holds control characters: ", s.printerName);
    s.setDefault = options.setDefault;
    s.useMonitor = options.useMonitor;
    if (folder.empty()) folder = engine::DefaultInstallFolder(paths.programFiles, texts.programFolderName).string();
    if (!session.ChooseFolder(folder)) {
        std::fprintf(stderr, "lumbra install: cannot create the install folder %s\n", payload::EscapeName(folder).c_str());
        return cli::kLocalFailure;
    }

    engine::PortChoice choice;
    choice.com = comSettings;
    if (port == "usb" || port == "USB") {
        choice.entry = "USB";
    } else if (port.rfind("net:", 0) == 0) {
        const std::string rest = port.substr(4);
        const auto colon = rest.rfind(':');
        choice.entry = engine::NetworkPortEntry(uiLanguage == 2 ? 0 : uiLanguage);
        choice.ipAddress = colon == std::string::npos ? rest : rest.substr(0, colon);
        choice.tcpPort = colon == std::string::npos ? "9100" : rest.substr(colon + 1);
    } else {
        // A port the spooler has under exactly this name is taken as it is.
        choice.entry = port;
        choice.exact = port.back() == ':' ? port.find("COM") == std::string::npos
                                          : engine::PortExists(linux.spooler, port);
    }
    switch (session.ConfirmPort(choice)) {
    case engine::PortCheck::Ok: break;
    case engine::PortCheck::NoUsbPrinter:
        std::fprintf(stderr, "lumbra install: No matching label printer detected, please connect and try again.\n");
        return cli::kUnreachable;
    case engine::PortCheck::NoAddress:
    case engine::PortCheck::NoTcpPort: return Fail("bad network port: ", port);
    }

    // The worker runs on a thread of its own, as under the wizard.
    if (session.Prepare(s.printerName)) {
        session.Start();
        session.Wait();
    }
    session.CleanUp();

    const bool ok = session.Succeeded();
    const payload::WizardPage page = ok ? payload::kComplete : payload::kFailed;
    const auto& configured = texts.pageText[ok ? payload::kSuccessText : payload::kFailedText];
    std::printf("%s\n", payload::Utf16ToUtf8(payload::PageTitle(page, uiLanguage)).c_str());
    std::printf("%s\n", payload::Utf16ToUtf8(payload::PageBody(page, configured, s.chinese)).c_str());
    std::fflush(stdout);
    if (ok) {
        std::printf("printer \"%s\" added as queue %s on port %s\n", payload::EscapeName(run.addedPrinter).c_str(),
                    linux.spooler.LastAddedQueue().c_str(), payload::EscapeName(s.portName).c_str());
    } else if (const char* why = FailureText(session.FailureReason())) {
        std::fprintf(stderr, "lumbra install: %s (details in %s)\n", why, paths.installLog.c_str());
    }
    return ok ? cli::kDone : cli::kInstallFailed;
}

}  // namespace installer
