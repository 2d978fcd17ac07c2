#include "installer/wizard/WizardTexts.h"

#include "installer/payload/InstallerConfig.h"
#include "installer/payload/TextTable.h"

namespace wizard {
namespace {

QString S(const char16_t* text) { return text ? QString::fromUtf16(text) : QString(); }

}  // namespace

QString PageTitle(const WizardEnvironment& env, int page) {
    const payload::PageBuiltin* row = payload::FindPageBuiltin(static_cast<payload::WizardPage>(page));
    if (!row || !row->titleEnglish) return {};
    switch (env.language) {
    case UiLanguage::Chinese: return S(row->titleChinese);
    case UiLanguage::Russian: return Lookup(env, row->titleKey, row->titleEnglish);
    case UiLanguage::English: break;
    }
    return S(row->titleEnglish);
}

QString PageBody(const WizardEnvironment& env, bool chinese, int page) {
    int block = -1;
    switch (page) {
    case kWelcome: block = payload::kWelcomeText; break;
    case kChooseFolder: block = payload::kFolderText; break;
    case kInstalling: block = payload::kInstallingText; break;
    case kComplete: block = payload::kSuccessText; break;
    case kFailed: block = payload::kFailedText; break;
    default: return {};
    }
    const QString& configured = env.pageTexts[static_cast<std::size_t>(block)];
    return QString::fromStdU16String(payload::PageBody(static_cast<payload::WizardPage>(page),
                                                       configured.toStdU16String(), chinese));
}

QString FolderFrameCaption(const WizardEnvironment& env) {
    switch (env.language) {
    case UiLanguage::Chinese: return S(payload::kFolderFrameChinese);
    case UiLanguage::Russian: return Lookup(env, u"InstallPath", u"Path");
    case UiLanguage::English: break;
    }
    return S(payload::kFolderFrameEnglish);
}

QString InitialStatusLine(bool chinese) {
    return S(chinese ? payload::kStatusWaitChinese : payload::kStatusWaitEnglish);
}

}  // namespace wizard
