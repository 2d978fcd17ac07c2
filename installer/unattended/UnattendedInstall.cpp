#include "installer/unattended/UnattendedInstall.h"

#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli-common/ExitCode.h"
#include <thread>

#include "installer/engine/InstallSession.h"
#include "base/TextCodec.h"
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
        std::printf("status %s\n", base::Utf16ToUtf8(text).c_str());
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
int Fail(const std::string& message, const std::string& detail = "") {
    std::fprintf(stderr, "lumbra install: %s%s\n", message.c_str(), payload::EscapeName(detail).c_str());
    return cli::kUsage;
}

// Where the start-up's configuration files are read: Documents, or, when
// something kept them out of it (Documents a link the user planted, a link
// in place of PrinterName.txt), a private folder of root's that the package
// is unpacked into and that goes at the end.
class ConfigFolder {
public:
    ConfigFolder(const payload::InstallPackage& package, const fs::path& documents) : folder_(documents) {
        const std::vector<std::string> problems = payload::PrepareDocuments(package.Bytes(), documents);
        if (problems.empty()) return;
        std::string why;
        for (const std::string& problem : problems) why += (why.empty() ? "" : "; ") + problem;
        std::string temp = (fs::temp_directory_path() / "lumbra-config.XXXXXX").string();
        if (package.Empty() || ::mkdtemp(temp.data()) == nullptr) {
            std::fprintf(stderr, "lumbra install: the configuration files cannot be put into Documents (%s)\n",
                         why.c_str());
            return;
        }
        std::fprintf(stderr,
                     "lumbra install: the configuration files cannot be put into Documents (%s); "
                     "reading them straight from the package\n", why.c_str());
        folder_ = temp;
        private_ = true;
        payload::ExtractConfigFiles(package.Bytes(), folder_);
    }
    ~ConfigFolder() {
        std::error_code ignored;
        if (private_) fs::remove_all(folder_, ignored);
    }
    ConfigFolder(const ConfigFolder&) = delete;
    ConfigFolder& operator=(const ConfigFolder&) = delete;
    const fs::path& Folder() const { return folder_; }

private:
    fs::path folder_;
    bool private_ = false;
};

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
    LinuxInstallPlatform linux(InstallLocations::From(paths));
    // Nothing is written, not even into Documents, while the print system
    // does not answer: the failed page, and why.
    if (linux.spooler.CheckAnswers() == engine::kErrorSpoolerUnavailable) {
        payload::InstallLog(paths.installLog).Append("**** The print system does not answer; nothing was installed\r\n");
        std::printf("%s\n", base::Utf16ToUtf8(payload::PageTitle(payload::kFailed, uiLanguage)).c_str());
        std::printf("%s\n", base::Utf16ToUtf8(payload::PageBody(payload::kFailed, {}, uiLanguage == 1)).c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "lumbra install: %s; nothing was installed (details in %s)\n",
                     FailureText(engine::Failure::SpoolerUnreachable), paths.installLog.c_str());
        return cli::kInstallFailed;
    }
    const payload::InstallPackage package = payload::LoadPackage();
    ConfigFolder config(package, paths.documents);
    payload::InstallerTexts texts;
    payload::ReadInstallerTexts(config.Folder() / payload::InstallConfigFileName(uiLanguage), texts);
    texts.pageText[payload::kFailedText] = payload::NameInstallLog(texts.pageText[payload::kFailedText], paths.installLog);
    const payload::ModelTable models = payload::ReadModelTable(config.Folder());

    int row = 0;
    std::string offered;
    for (std::size_t r = 1; r <= models.FilledRows() && r < models.rows.size(); ++r) {
        const std::string printerName = base::Utf16ToUtf8(models.rows[r].printerName);
        const std::string rowModel = base::Utf16ToUtf8(models.rows[r].model);
        if (row == 0 && (printerName == model || rowModel == model)) row = static_cast<int>(r);
        offered += (offered.empty() ? "" : ", ") + printerName + (rowModel == printerName ? "" : " (" + rowModel + ")");
    }
    if (row == 0) {
        if (offered.empty()) {
            std::fprintf(stderr, "lumbra install: PrinterName.txt lists no model%s\n",
                         package.Empty() ? " (this lumbra carries no package)" : "");
            return cli::kLocalFailure;
        }
        return Fail("no such model in PrinterName.txt (models: " + offered + "): ", model);
    }

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
    s.printerName = name.empty() ? base::Utf16ToUtf8(models.rows[row].printerName) : name;
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
    std::printf("%s\n", base::Utf16ToUtf8(payload::PageTitle(page, uiLanguage)).c_str());
    std::printf("%s\n", base::Utf16ToUtf8(payload::PageBody(page, configured, s.chinese)).c_str());
    std::fflush(stdout);
    if (ok) {
        std::printf("printer \"%s\" added as queue %s on port %s\n", payload::EscapeName(run.addedPrinter).c_str(),
                    linux.spooler.LastAddedQueue().c_str(), payload::EscapeName(s.portName).c_str());
    } else if (const char* why = FailureText(session.FailureReason())) {
        std::fprintf(stderr, "lumbra install: %s; what it had made is removed again (details in %s)\n", why,
                     paths.installLog.c_str());
    }
    return ok ? cli::kDone : cli::kInstallFailed;
}

}  // namespace installer
