#pragma once
// The wizard's wording: page titles, built-in page bodies, the folder frame's
// caption and the status line, by interface language, with the Russian wording
// and a few captions coming from the user's "Text.ini".
#include <QString>
#include <array>

#include "installer/wizard/WizardFonts.h"

namespace wizard {

// Page numbers of the panel.
enum WizardPage : int {
    kWelcome = 0,
    kChooseFolder = 1,
    kPrinterSetting = 2,
    kInstalling = 3,
    kComplete = 4,
    kFailed = 8,
};

// What the windows read from the start-up sequence: the chosen language, the
// Documents folder that holds the configuration files, "Text.ini" and
// "Logo.bmp", and the page texts and names of the installer configuration.
struct WizardEnvironment {
    UiLanguage language = UiLanguage::English;
    QString documents;                 // no trailing slash
    std::array<QString, 6> pageTexts;  // welcome, folder, installing, success, cancelled, failed
    QString title;                     // wizard caption; empty: built-in
    QString programFolderName;         // default install folder's last part
};

// One lookup in section "Text" of <documents>/Text.ini, read afresh each time.
QString Lookup(const QString& documents, const char16_t* key, const char16_t* fallback);
inline QString Lookup(const WizardEnvironment& env, const char16_t* key, const char16_t* fallback) {
    return Lookup(env.documents, key, fallback);
}

QString PageTitle(const WizardEnvironment& env, int page);
// The configuration's page text when not empty, else the built-in text in
// Chinese when chinese is set, English otherwise. Empty for pages without text.
QString PageBody(const WizardEnvironment& env, bool chinese, int page);
QString FolderFrameCaption(const WizardEnvironment& env);
QString InitialStatusLine(bool chinese);

}  // namespace wizard
