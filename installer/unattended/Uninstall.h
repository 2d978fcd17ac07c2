#pragma once
// Removing installs on Linux, for `lumbra uninstall` and the Uninstaller
// program alike:
//
//   lumbra uninstall NAME...
//
// NAME is a printer as it was installed ("POS80 (1)") or its CUPS queue
// ("POS80_(1)"). Each install goes with exactly what it made (engine::Uninstall);
// what went and what stayed, and why, is printed line by line. Exit status
// (cli-common/ExitCode.h): 0 when every name was uninstalled, 4 when one is
// not installed, 5 when its queue could not be deleted (then nothing of it was
// touched), 2 for usage.
#include <string>
#include <vector>

#include "installer/engine/InstallRecord.h"

namespace installer {

// The installs recorded on this system (below LUMBRA_ROOT when it is set).
std::vector<engine::InstallRecord> InstalledPrinters();

// Removes each named install; messages begin with `who`.
int UninstallPrinters(const std::string& who, const std::vector<std::string>& names);

// `lumbra uninstall NAME...`; without a name it lists what is installed.
int RunLumbraUninstall(const std::vector<std::string>& args);

}  // namespace installer
