#include "installer/wizard/WizardTexts.h"

namespace wizard {
namespace {

const char16_t* const kWelcomeCn =
    u"欢迎使用V380打印机驱动\n\n本向导将会在您的电脑上安装V380打印机驱动。本程序支持Word、Excel等程序的Windows标准打印功能。\n\n本程序在完成安装之后，不必重启系統就可以直接使用。\n\n\n请点击[下一步]继续。";
const char16_t* const kWelcomeEn =
    u"Welcome use V380 printer.\n\nThis Wizard will install V380 printer driver in \nyour computer.This software can support word,excel \netc program standard printing function.\n\n\n\n\nPlease click [next] to continue.";
const char16_t* const kFolderCn =
    u"安装程序将打印机驱动安装在下列文件夹。如果要安装到不同的文件夹，点击   【浏览】并选择其它文件夹。点击【下一步】继续。";
const char16_t* const kFolderEn =
    u"The wizard will install the V380 printer driver in the following folder If \nyou want to install to a different folder, please click [Browse] and choose other \nfolder. Click [next] to continue.";
const char16_t* const kInstallingCn = u"安装程序正在V380打印机驱动到您的电脑上。请等待，这个工程可能会花几分钟。";
const char16_t* const kInstallingEn =
    u"The wizard is installing V380 printer driver in your computer.Please wait, the progress will spend your few minute.";
const char16_t* const kCompleteCn = u"V380打印机驱动已成功安装到您的电脑。 ";
const char16_t* const kCompleteEn = u"V380 printer driver has been successfully installed in your computer. ";
const char16_t* const kFailedCn = u"打印机驱动安装失败。 ";
const char16_t* const kFailedEn = u"The Printer Driver install fail. ";

QString S(const char16_t* text) { return QString::fromUtf16(text); }

}  // namespace

QString PageTitle(const WizardEnvironment& env, int page) {
    struct Row { int page; const char16_t* cn; const char16_t* en; const char16_t* key; };
    static const Row kRows[] = {
        {kChooseFolder, u"选择安装文件夹", u"Choose installation folder", u"Choose installation folder"},
        {kPrinterSetting, u"设置打印机", u"Printer Setting", u"Printer Setting"},
        {kInstalling, u"正在安装", u"Installing", u"Installing"},
        {kComplete, u"安装完成", u"Setup Complete", u"Setup Complete"},
        {kFailed, u"安装失败", u"Setup Failed", u"Setup Failed"},
    };
    for (const Row& row : kRows) {
        if (row.page != page) continue;
        switch (env.language) {
        case UiLanguage::Chinese: return S(row.cn);
        case UiLanguage::Russian: return Lookup(env, row.key, row.en);
        case UiLanguage::English: return S(row.en);
        }
    }
    return {};
}

QString PageBody(const WizardEnvironment& env, bool chinese, int page) {
    int block = -1;
    const char16_t* cn = nullptr;
    const char16_t* en = nullptr;
    switch (page) {
    case kWelcome: block = 0; cn = kWelcomeCn; en = kWelcomeEn; break;
    case kChooseFolder: block = 1; cn = kFolderCn; en = kFolderEn; break;
    case kInstalling: block = 2; cn = kInstallingCn; en = kInstallingEn; break;
    case kComplete: block = 3; cn = kCompleteCn; en = kCompleteEn; break;
    case kFailed: block = 5; cn = kFailedCn; en = kFailedEn; break;
    default: return {};
    }
    const QString& configured = env.pageTexts[static_cast<std::size_t>(block)];
    if (!configured.isEmpty()) return configured;
    return S(chinese ? cn : en);
}

QString FolderFrameCaption(const WizardEnvironment& env) {
    switch (env.language) {
    case UiLanguage::Chinese: return S(u"目标文件夹");
    case UiLanguage::Russian: return Lookup(env, u"InstallPath", u"Path");
    case UiLanguage::English: break;
    }
    return S(u"Target folder");
}

QString InitialStatusLine(bool chinese) { return chinese ? S(u"请稍候...") : S(u"Please wait..."); }

}  // namespace wizard
