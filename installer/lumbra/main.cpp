// lumbra: the printer driver installer.
//
// Without a subcommand it opens the wizard. Each subcommand is one entry of
// Commands(): its name, summary, options and what runs it.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli-common/Json.h"
#include "cli-common/Program.h"
#include "installer/payload/InstallerConfig.h"
#include "installer/payload/Package.h"
#include "base/TextCodec.h"
#include "installer/unattended/UnattendedInstall.h"
#include "installer/unattended/Uninstall.h"
#ifdef LUMBRA_WITH_WIZARD
#include "installer/wizard/WizardApp.h"
#endif

namespace {

// The package this executable carries (its package section), or nothing.
payload::InstallPackage OwnPackage() { return payload::LoadPackage(); }

// Lists the entries of the package this executable carries: its package
// section, or else the archive appended to it.
cli::Runner DefinePackageList(CLI::App& command) {
    auto json = std::make_shared<bool>(false);
    command.add_flag("--json", *json, "one JSON array, an object per entry");
    return [json] {
        const payload::InstallPackage pkg = OwnPackage();
        const payload::PackageListing listing = pkg.Empty() ? payload::ListAppendedArchive("/proc/self/exe")
                                                            : payload::ListPackage(pkg.Bytes());
        if (pkg.Empty() && listing.entries.empty()) {
            std::cerr << "lumbra: no package in this executable (" << listing.problem << ")\n";
            return static_cast<int>(cli::kLocalFailure);
        }
        if (*json) {
            cli::JsonList list(std::cout);
            for (const payload::PackageEntry& entry : listing.entries) {
                std::string relative, why;
                cli::JsonObject object;
                object.Field("name", payload::EscapeName(entry.name))
                    .Field("stored_size", static_cast<std::int64_t>(entry.storedSize));
                if (payload::SafeEntryPath(entry.name, relative, &why)) {
                    object.Null("refused");
                } else {
                    object.Field("refused", why);
                }
                list.Add(object);
            }
            list.Close();
            if (listing.malformed) std::cerr << "lumbra: malformed package: " << listing.problem << '\n';
        } else {
            std::cout << payload::FormatListing(listing);
        }
        std::cout.flush();
        return static_cast<int>(payload::ListingIsSound(listing) ? cli::kDone : cli::kLocalFailure);
    };
}

// The model list the wizard offers, from the package's PrinterName.txt
// (unpacked into a private folder, not into Documents).
cli::Runner DefineModels(CLI::App& command) {
    auto json = std::make_shared<bool>(false);
    command.add_flag("--json", *json, "one JSON array, an object per model row");
    return [json] {
        namespace fs = std::filesystem;
        const payload::InstallPackage pkg = OwnPackage();
        if (pkg.Empty()) {
            std::cerr << "lumbra: no package in this executable\n";
            return static_cast<int>(cli::kLocalFailure);
        }
        std::string folder = (fs::temp_directory_path() / "lumbra-models.XXXXXX").string();
        if (::mkdtemp(folder.data()) == nullptr) {
            std::cerr << "lumbra: cannot make a temporary folder in " << fs::temp_directory_path().string() << '\n';
            return static_cast<int>(cli::kLocalFailure);
        }
        payload::ExtractConfigFiles(pkg.Bytes(), folder);
        const payload::ModelTable models = payload::ReadModelTable(folder);
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        if (models.FilledRows() == 0) {
            std::cerr << "lumbra: the package's PrinterName.txt lists no model\n";
            return static_cast<int>(cli::kLocalFailure);
        }
        if (!*json) {
            for (const std::u16string& item : models.listItems) std::cout << base::Utf16ToUtf8(item) << '\n';
            return static_cast<int>(cli::kDone);
        }
        cli::JsonList list(std::cout);
        for (std::size_t row = 1; row <= models.FilledRows() && row < models.rows.size(); ++row) {
            const payload::ModelRow& r = models.rows[row];
            list.Add(cli::JsonObject()
                         .Field("row", static_cast<std::int64_t>(row))
                         .Field("list_item", base::Utf16ToUtf8(models.listItems[row - 1]))
                         .Field("printer_name", base::Utf16ToUtf8(r.printerName))
                         .Field("has_cutter", r.hasCutter)
                         .Field("model", base::Utf16ToUtf8(r.model))
                         .Field("gpd_file", base::Utf16ToUtf8(r.gpdFile))
                         .Field("vid_pid", base::Utf16ToUtf8(r.vidPid))
                         .Field("resolution", r.resolution)
                         .Field("hardware_id", base::Utf16ToUtf8(r.hardwareId))
                         .Field("paper_width", r.paperWidth)
                         .Field("paper_height", r.paperHeight));
        }
        return static_cast<int>(cli::kDone);
    };
}

// The install worker without windows (installer/unattended).
cli::Runner DefineInstall(CLI::App& command) {
    auto o = std::make_shared<installer::UnattendedOptions>();
    auto noDefault = std::make_shared<bool>(false);
    auto noMonitor = std::make_shared<bool>(false);
    command.add_option("--model", o->model, "a model row's printer name or model (see 'lumbra models')")
        ->required()
        ->type_name("MODEL");
    command.add_option("--name", o->name, "the printer's name (default: the row's printer name)")->type_name("NAME");
    command.add_option("--port", o->port,
                       "usb, net:ADDRESS:PORT, COM<n>, LPT<n>, or a port name the print system knows")
        ->required()
        ->type_name("PORT");
    command.add_option("--folder", o->folder, "the install folder (default under /opt)")->type_name("DIR");
    command.add_flag("--no-default", *noDefault, "do not make the printer the default one");
    command.add_flag("--no-monitor", *noMonitor, "use the print system's own port instead of the monitor port");
    command.add_option("--language", o->language, "en (default), cn or ru")->type_name("en|cn|ru");
    command.add_option("--com", o->com, "serial settings of a COM port (default 115200,n,8,1,p)")
        ->type_name("BAUD,PARITY,BITS,STOP,FLOW");
    return [o, noDefault, noMonitor, &command] {
        o->setDefault = !*noDefault;
        o->useMonitor = !*noMonitor;
        const int code = installer::RunUnattendedInstall(*o);
        if (code == cli::kUsage) std::cerr << cli::UsageLine(command) << '\n';
        return code;
    };
}

// Removes what one install made (installer/unattended/Uninstall.h).
cli::Runner DefineUninstall(CLI::App& command) {
    auto names = std::make_shared<std::vector<std::string>>();
    command.add_option("NAME", *names, "a printer as installed (\"POS80 (1)\") or its queue")->type_name("NAME");
    return [names] { return installer::RunLumbraUninstall(*names); };
}

std::vector<cli::Subcommand> Commands() {
    return {
        {"package-list", "list the entries of the embedded payload package", DefinePackageList,
         "One line per entry (stored size, name, and why the installer would refuse it), then\n"
         "\"N of M entries\". An executable without the package section lists its appended archive.\n"
         "Names are shown as stored (a backslash is the package's folder separator); a control\n"
         "character or a byte that is not UTF-8 is shown as \\xNN.\n"},
        {"models", "list the printer models the package offers", DefineModels,
         "One line per model as the wizard's model list shows it; --json adds every column of\n"
         "PrinterName.txt.\n"},
        {"install", "install the driver and add a printer, without windows", DefineInstall,
         "Progress and status lines go to stdout, then the text of the wizard's last page. A port\n"
         "question cannot be asked here: the install fails and names the ports there are.\n"
         "  lumbra install --model POS80 --port net:192.168.0.199:9100\n"
         "  lumbra install --model POS58 --name Kitchen --port usb --no-default\n"},
        {"uninstall", "remove a printer and what its install made", DefineUninstall,
         "Each install goes with exactly what it made; parts another install still uses, and files\n"
         "changed since, stay. One line per part says what went and what stayed. Without a NAME it\n"
         "lists the installed printers (exit 2). A name that is not installed: exit 4, nothing\n"
         "touched; the print system not reachable or refusing: exit 5, nothing of it removed.\n"
         "  lumbra uninstall 'POS80 (1)'\n"},
    };
}

// --as-root: lumbra again, as root, through pkexec, which asks for an
// administrator's password (the polkit action org.receipt-printer-tools.lumbra
// lets it keep the display). The desktop launcher comes in this way. Returns
// only when pkexec cannot be started.
int RunAgainAsRoot(const std::vector<std::string>& args) {
    std::vector<char> self(4096);
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (length <= 0) {
        std::cerr << "lumbra: cannot find its own executable to run it as root\n";
        return cli::kLocalFailure;
    }
    self[static_cast<std::size_t>(length)] = '\0';
    std::vector<std::string> words{"pkexec", self.data()};
    for (const std::string& arg : args)
        if (arg != "--as-root") words.push_back(arg);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execvp("pkexec", argv.data());
    std::cerr << "lumbra: cannot start pkexec to run as root: " << std::strerror(errno) << '\n';
    return cli::kLocalFailure;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (::geteuid() != 0 && std::find(args.begin(), args.end(), "--as-root") != args.end())
        return RunAgainAsRoot(args);

    cli::ProgramText text;
    text.name = "lumbra";
    text.whatis = "printer driver installer for receipt printers";
    text.description =
        "Printer driver installer for receipt printers. Without arguments lumbra opens the install\n"
        "wizard, which needs root: the desktop launcher starts it with --as-root. With a subcommand\n"
        "it runs without windows.\n";
    text.notes =
        "LUMBRA_ROOT moves every system location under a prefix (a staged install); XDG_DOCUMENTS_DIR\n"
        "names the Documents folder the configuration files go to. The install log is\n"
        "/var/log/InstallPrinter.txt, below LUMBRA_ROOT when it is set.\n";
    text.installExitCode = true;
    cli::Program program(text);
    bool asRoot = false;  // handled above; as root already, nothing is left to do
    program.App().add_flag("--as-root", asRoot,
                           "run lumbra as root through pkexec (asks for an administrator's password),\n"
                           "as the desktop launcher does");
    program.Add(Commands());
#ifdef LUMBRA_WITH_WIZARD
    program.SetDefault([argc, argv] { return wizard::RunLumbraWizard(argc, argv); });
#endif
    return program.Run(args, std::cout, std::cerr);
}
