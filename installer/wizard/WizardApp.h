#pragma once
// lumbra without a subcommand: the start-up sequence (package, configuration
// files into Documents, language window, installer texts) and then the wizard.
#include <QString>

#include "installer/payload/InstallerConfig.h"
#include "installer/wizard/WizardTexts.h"

namespace wizard {

// The windows' view of the start-up's results.
WizardEnvironment MakeEnvironment(UiLanguage language, const QString& documents,
                                  const payload::InstallerTexts& texts);

// Runs the windows; returns the process exit code (0 also when the user
// cancelled the language window).
int RunLumbraWizard(int argc, char** argv);

}  // namespace wizard
