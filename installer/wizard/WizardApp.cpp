#include "installer/wizard/WizardApp.h"

#include <QApplication>
#include <filesystem>
#include <memory>

#include "installer/payload/InstallerConfig.h"
#include "installer/payload/Package.h"
#include "installer/payload/SystemPaths.h"
#include "installer/payload/TextTable.h"
#include "installer/unattended/LinuxInstallPlatform.h"
#include "installer/wizard/InstallDlg.h"
#include "installer/wizard/LanguageWindows.h"
#include "ui-common/MessageSink.h"

namespace wizard {

WizardEnvironment MakeEnvironment(UiLanguage language, const QString& documents,
                                  const payload::InstallerTexts& texts) {
    WizardEnvironment env;
    env.language = language;
    env.documents = documents;
    for (std::size_t i = 0; i < env.pageTexts.size(); ++i)
        env.pageTexts[i] = QString::fromStdU16String(texts.pageText[i]);
    env.title = QString::fromStdU16String(texts.title);
    env.programFolderName = QString::fromStdU16String(texts.programFolderName);
    return env;
}

int RunLumbraWizard(int argc, char** argv) {
    std::unique_ptr<QApplication> ownApp;
    if (!QApplication::instance()) ownApp = std::make_unique<QApplication>(argc, argv);

    const payload::SystemPaths paths = payload::SystemPaths::FromEnvironment();
    const payload::InstallPackage package = payload::LoadPackage();

    // A logo left from an earlier run goes; the package's own comes back.
    payload::PrepareDocuments(package.Bytes(), paths.documents);

    const QString documents = QString::fromStdString(paths.documents.string());
    const std::optional<UiLanguage> language = AskLanguage(documents, SystemDefaultLcid());
    if (!language) return 0;

    payload::InstallerTexts texts;
    payload::ReadInstallerTexts(paths.documents / payload::InstallConfigFileName(static_cast<int>(*language)), texts);

    texts.pageText[payload::kFailedText] = payload::NameInstallLog(texts.pageText[payload::kFailedText], paths.installLog);
    const WizardEnvironment env = MakeEnvironment(*language, documents, texts);

    installer::LinuxInstallPlatform platform(installer::InstallLocations::From(paths));
    ui::QtMessageSink messages;
    WizardServices services(platform.Seams(), messages);
    services.log = payload::InstallLog(paths.installLog);
    services.package = &package;
    services.selfFile = "/proc/self/exe";
    services.programFiles = QString::fromStdString(paths.programFiles.string());

    CInstallDlg dialog(env, texts, std::move(services));
    dialog.exec();
    return 0;
}

}  // namespace wizard
