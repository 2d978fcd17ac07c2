#include "installer/unattended/Uninstall.h"

#include <cstdio>
#include <cstring>

#include "cli-common/ExitCode.h"
#include "installer/engine/Engine.h"
#include "base/TextCodec.h"
#include "installer/unattended/LinuxInstallPlatform.h"

namespace installer {
namespace {

using engine::PartFate;
using engine::PartKind;

const char* What(PartKind kind) {
    switch (kind) {
    case PartKind::Queue: return "printer queue";
    case PartKind::Driver: return "driver";
    case PartKind::Port: return "port";
    case PartKind::Monitor: return "port monitor";
    case PartKind::Service: return "service";
    case PartKind::File: return "file";
    case PartKind::Folder: return "folder";
    case PartKind::Key: return "record";
    }
    return "part";
}

// Files and folders fail with errno values, the spooler with its error numbers.
std::string ErrorText(const engine::PartOutcome& part) {
    if (part.kind == PartKind::File || part.kind == PartKind::Folder)
        return base::ErrorText(static_cast<int>(part.error));
    return "error " + std::to_string(part.error);
}

void PrintOutcome(const engine::PartOutcome& part) {
    const std::string name = std::string(What(part.kind)) + " \"" + payload::EscapeName(part.name) + "\"";
    switch (part.fate) {
    case PartFate::Removed: std::printf("  removed  %s\n", name.c_str()); break;
    case PartFate::Gone: std::printf("  gone     %s (removed earlier)\n", name.c_str()); break;
    case PartFate::Shared:
        std::printf("  kept     %s: still used by \"%s\"\n", name.c_str(), payload::EscapeName(part.sharedWith).c_str());
        break;
    case PartFate::NotMade: std::printf("  kept     %s: it was there before the install\n", name.c_str()); break;
    case PartFate::Changed: std::printf("  kept     %s: replaced or changed since the install\n", name.c_str()); break;
    case PartFate::InUse:
        std::printf("  kept     %s: %s\n", name.c_str(),
                    part.kind == PartKind::Folder ? "not empty" : "a printer still prints through it");
        break;
    case PartFate::Failed:
        std::printf("  FAILED   %s: %s\n", name.c_str(), ErrorText(part).c_str());
        break;
    }
}

std::string InstalledList(const std::vector<engine::InstallRecord>& installs) {
    std::string list;
    for (const auto& r : installs) list += (list.empty() ? "\"" : ", \"") + payload::EscapeName(r.printer) + "\"";
    return list.empty() ? "no printer is installed" : "installed: " + list;
}

}  // namespace

std::vector<engine::InstallRecord> InstalledPrinters() {
    LinuxInstallPlatform linux(InstallLocations::From(payload::SystemPaths::FromEnvironment()));
    return engine::ReadInstallRecords(linux.store);
}

int UninstallPrinters(const std::string& who, const std::vector<std::string>& names) {
    LinuxInstallPlatform linux(InstallLocations::From(payload::SystemPaths::FromEnvironment()));
    int status = 0;
    for (const std::string& name : names) {
        const engine::UninstallResult result = engine::Uninstall(linux.Seams(), name);
        const std::string printer = payload::EscapeName(result.install.printer);
        switch (result.status) {
        case engine::UninstallStatus::NotInstalled:
            std::fprintf(stderr, "%s: \"%s\" is not installed (%s)\n", who.c_str(), payload::EscapeName(name).c_str(),
                         InstalledList(engine::ReadInstallRecords(linux.store)).c_str());
            status = cli::kRefused;
            continue;
        case engine::UninstallStatus::SpoolerUnreachable:
            std::fprintf(stderr, "%s: the print system (CUPS) is not reachable; start it and run again. "
                                 "Nothing of \"%s\" was removed.\n", who.c_str(), printer.c_str());
            status = cli::kLocalFailure;
            continue;
        case engine::UninstallStatus::SpoolerRefused:
            std::fprintf(stderr, "%s: the print system refused to delete the queue %s (error %u). "
                                 "Nothing of \"%s\" was removed.\n", who.c_str(),
                         payload::EscapeName(result.install.Queue()).c_str(), result.spoolerError, printer.c_str());
            status = cli::kLocalFailure;
            continue;
        case engine::UninstallStatus::Done: break;
        }
        std::printf("Uninstalling \"%s\" (queue %s)\n", printer.c_str(), payload::EscapeName(result.install.Queue()).c_str());
        int removed = 0, kept = 0, failed = 0;
        for (const engine::PartOutcome& part : result.parts) {
            PrintOutcome(part);
            if (part.fate == PartFate::Removed) ++removed;
            else if (part.fate == PartFate::Failed) ++failed;
            else if (part.fate != PartFate::Gone) ++kept;
        }
        std::printf("\"%s\" is uninstalled: %d removed, %d kept%s.\n", printer.c_str(), removed, kept,
                    failed ? (", " + std::to_string(failed) + " could not be removed").c_str() : "");
    }
    std::fflush(stdout);
    return status;
}

int RunLumbraUninstall(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a.empty()) return cli::kUsage;
    if (args.empty()) {
        std::printf("%s\n", InstalledList(InstalledPrinters()).c_str());
        return cli::kUsage;
    }
    return UninstallPrinters("lumbra uninstall", args);
}

}  // namespace installer
