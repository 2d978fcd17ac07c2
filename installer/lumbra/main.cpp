// lumbra: the printer driver installer.
//
// Subcommands run without a window; each is one row of kCommands. The
// wizard (no subcommand) and the unattended install are added as rows too.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "installer/payload/Package.h"
#include "installer/unattended/UnattendedInstall.h"
#include "installer/unattended/Uninstall.h"
#ifdef LUMBRA_WITH_WIZARD
#include "installer/wizard/WizardApp.h"
#endif

namespace {

using Args = std::vector<std::string>;

// Lists the entries of the package this executable carries: its package
// section, or else the archive appended to it.
int PackageList(const Args& args) {
    if (!args.empty()) return 2;
    payload::InstallPackage pkg = payload::LoadPackage();
    payload::PackageListing listing = pkg.Empty() ? payload::ListAppendedArchive("/proc/self/exe")
                                                  : payload::ListPackage(pkg.Bytes());
    if (pkg.Empty() && listing.entries.empty()) {
        std::fprintf(stderr, "lumbra: no package in this executable (%s)\n", listing.problem.c_str());
        return 1;
    }
    const std::string text = payload::FormatListing(listing);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return payload::ListingIsSound(listing) ? 0 : 1;
}

int Help(const Args&);

// The install worker without windows (installer/unattended).
int Install(const Args& args) { return installer::RunUnattendedInstall(args); }

// Removes what one install made (installer/unattended/Uninstall.h).
int Uninstall(const Args& args) { return installer::RunLumbraUninstall(args); }

struct Command {
    const char* name;
    int (*run)(const Args&);
    const char* usage;
};

constexpr Command kCommands[] = {
    {"package-list", PackageList, "package-list   list the entries of the embedded payload package"},
    {"install", Install,
     "install --model MODEL [--name NAME] --port usb|net:ADDR:PORT|COM<n>|LPT<n>|PORT [--folder DIR]\n"
     "                 [--no-default] [--no-monitor] [--language en|cn|ru] [--com 115200,n,8,1,p]"},
    {"uninstall", Uninstall,
     "uninstall NAME...  remove the printer NAME (as installed, or its queue) and what its install made"},
    {"help", Help, "help           this text"},
};

int Help(const Args&) {
    std::fputs("usage: lumbra SUBCOMMAND [ARGS]\n", stdout);
    for (const Command& c : kCommands) std::printf("  %s\n", c.usage);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef LUMBRA_WITH_WIZARD
    if (argc < 2) return wizard::RunLumbraWizard(argc, argv);
#endif
    if (argc < 2) {
        Help({});
        return 2;
    }
    Args args(argv + 2, argv + argc);
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) != 0) continue;
        int rc = c.run(args);
        if (rc == 2) std::fprintf(stderr, "usage: lumbra %s\n", c.usage);
        return rc;
    }
    std::fprintf(stderr, "lumbra: unknown subcommand %s\n", argv[1]);
    Help({});
    return 2;
}
