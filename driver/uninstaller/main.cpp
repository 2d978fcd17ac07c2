// The uninstaller the installer leaves in the program folder ("Uninstaller.exe";
// its launcher starts it through pkexec in a terminal).
//
//   Uninstaller.exe [NAME...]      (--help, --version)
//
// NAME is a printer as installed ("POS80 (1)") or its queue. Without one it
// removes the install of its own folder: "Uninstall.ini" beside it names the
// printer, the install records name the folder. Where one printer name was
// installed more than once (the installs share the folder), it asks which on
// a terminal, and otherwise lists them and stops. Exit status as
// `lumbra uninstall`.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "cli-common/Program.h"
#include "installer/engine/Engine.h"
#include "installer/unattended/Uninstall.h"

namespace {
namespace fs = std::filesystem;

constexpr const char* kWho = "Uninstaller.exe";

// The installs of the folder this program runs from, by its Uninstall.ini.
std::vector<engine::InstallRecord> OwnInstalls() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    base::Dir folder;
    if (ec || base::OpenFolder(self.parent_path(), false, folder) != 0) return {};
    const auto name = engine::ReadProfileString(folder, "Uninstall.ini", "Print Settings", "PrinterName");
    std::vector<engine::InstallRecord> own;
    for (engine::InstallRecord& r : installer::InstalledPrinters()) {
        if (name && r.printerName == *name && fs::equivalent(r.programFolder, self.parent_path(), ec))
            own.push_back(std::move(r));
    }
    if (own.empty())
        std::fprintf(stderr, "%s: no printer is installed from %s%s\n", kWho, self.parent_path().c_str(),
                     name ? "" : " (no Uninstall.ini with a printer name beside this program)");
    return own;
}

// One of several installs, or all of them, as the user answers.
std::vector<std::string> Choose(const std::vector<engine::InstallRecord>& installs, bool ask) {
    std::printf("Printers installed from this folder:\n");
    for (std::size_t i = 0; i < installs.size(); ++i)
        std::printf("  %zu) %s (queue %s)\n", i + 1, installs[i].printer.c_str(), installs[i].Queue().c_str());
    if (!ask) {
        std::fprintf(stderr, "%s: name the one to remove: %s NAME\n", kWho, kWho);
        return {};
    }
    std::printf("Remove which one? Number, a for all, Enter for none: ");
    std::fflush(stdout);
    std::string answer;
    std::getline(std::cin, answer);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < installs.size(); ++i)
        if (answer == "a" || answer == std::to_string(i + 1)) names.push_back(installs[i].printer);
    return names;
}

}  // namespace

int main(int argc, char** argv) {
    // Built as lumbra-uninstaller, installed as "Uninstaller.exe": help and
    // version say the name it runs under.
    cli::ProgramText text;
    text.name = cli::NameRunAs(argv[0]);
    text.whatis = "remove a receipt printer and what its install made";
    text.description =
        "Removes what one install of the receipt printer driver made, and nothing else: its queue,\n"
        "then each part no other install still uses. Installed as \"Uninstaller.exe\" in the program\n"
        "folder; the menu entry \"Uninstall Printer Driver\" starts it through pkexec in a terminal.\n"
        "Without NAME it removes the install of its own folder (its Uninstall.ini names the printer);\n"
        "when one printer name was installed more than once it asks which on a terminal, and otherwise\n"
        "lists them and stops. One line per part says what went and what stayed, and why.\n";
    text.notes =
        "LUMBRA_ROOT moves every system location under a prefix (a staged install). Exit status as\n"
        "'lumbra uninstall': 4 for a name that is not installed (nothing done), 5 when the print\n"
        "system cannot delete the queue (nothing of that install removed).\n";
    cli::Program program(text);
    std::vector<std::string> names;
    program.App()
        .add_option("NAME", names, "a printer as installed (\"POS80 (1)\") or its queue; several may follow")
        ->type_name("NAME");
    program.SetDefault([&] {
        for (const std::string& name : names)
            if (name.empty()) throw cli::UsageError("an empty printer name");
        const bool fromLauncher = names.empty();
        const bool terminal = ::isatty(STDIN_FILENO) == 1;
        int status = cli::kUsage;
        if (fromLauncher) {
            const auto own = OwnInstalls();
            if (own.size() == 1) names.push_back(own.front().printer);
            else if (own.size() > 1) names = Choose(own, terminal);
            else status = cli::kRefused;
        }
        if (!names.empty()) status = installer::UninstallPrinters(kWho, names);
        // The launcher's terminal closes with the program: the report stays until read.
        if (fromLauncher && terminal) {
            std::printf("Press Enter to close.");
            std::fflush(stdout);
            std::string line;
            std::getline(std::cin, line);
        }
        return status;
    });
    return program.Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
