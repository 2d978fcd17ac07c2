// The records the uninstaller and the printer service rely on, the uninstall
// shortcut, the service, and the clean-up of the install folder.
#include <fstream>
#include <sstream>
#include <system_error>

#include "installer/engine/Engine.h"
#include "installer/payload/TextCodec.h"

namespace engine {
namespace fs = std::filesystem;

bool CreateShortcut(ShellFolders& shell, const fs::path& target, const fs::path& shortcut) {
    return shell.CreateShortcut(target, target.parent_path(), shortcut);
}

bool WriteProfileString(const fs::path& file, std::string_view section, std::string_view key,
                        std::string_view value) {
    std::vector<std::string> lines;
    {
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
    }
    auto trim = [](std::string_view s) {
        const auto b = s.find_first_not_of(" \t");
        if (b == std::string_view::npos) return std::string_view();
        return s.substr(b, s.find_last_not_of(" \t") - b + 1);
    };
    const std::string entry = std::string(key) + "=" + std::string(value);
    bool inSection = false;
    std::size_t sectionEnd = std::string::npos;  // insertion point inside the section
    bool done = false;
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
        const std::string_view t = trim(lines[i]);
        if (!t.empty() && t.front() == '[') {
            if (inSection) break;
            const auto close = t.find(']');
            inSection = close != std::string_view::npos &&
                        payload::EqualsIgnoreCase(trim(t.substr(1, close - 1)), section);
            if (inSection) sectionEnd = i + 1;
            continue;
        }
        if (!inSection) continue;
        if (!t.empty()) sectionEnd = i + 1;
        const auto eq = t.find('=');
        if (eq != std::string_view::npos && payload::EqualsIgnoreCase(trim(t.substr(0, eq)), key)) {
            lines[i] = entry;
            done = true;
        }
    }
    if (!done) {
        if (sectionEnd == std::string::npos) {
            if (!lines.empty() && !lines.back().empty()) lines.emplace_back();
            lines.push_back("[" + std::string(section) + "]");
            lines.push_back(entry);
        } else {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), entry);
        }
    }
    std::ofstream out(file, std::ios::trunc);
    if (!out) return false;
    for (const std::string& line : lines) out << line << '\n';
    return static_cast<bool>(out);
}

void WriteRegistration(InstallRun& run, const fs::path& startMenuFolder, const fs::path& shortcut) {
    KeyValueStore& store = run.platform.store;
    const InstallSettings& s = run.settings;
    const std::string& p = s.printerName;

    const std::string productKey = "SOFTWARE\\" + p;
    if (store.CreateKey(productKey)) {
        const std::pair<const char*, std::string> values[] = {
            {"Data Directory", s.installFolder},
            {"Program Directory", s.programFolder},
            {"Language", s.chinese ? "Chinese" : "English"},
            {"PrinterName", p},
            {"StartMenuDir", startMenuFolder.string()},
            {"Uninstaller", shortcut.string()},
            {"PrinterDriver", run.driverName},
            {"MonitorName", payload::Utf16ToUtf8(run.texts.monitorName)},
            {"PortName", s.portName},
        };
        for (const auto& [name, value] : values) store.SetText(productKey, name, value);
    }

    const fs::path ini = fs::path(s.programFolder) / "Uninstall.ini";
    WriteProfileString(ini, "Print Settings", "PrinterName", p);
    WriteProfileString(ini, "Print Settings", "ServiceName", kServiceName);

    const std::string uninstallKey = kUninstallKeyPrefix + p;
    if (store.CreateKey(uninstallKey)) {
        const std::string uninstaller = (fs::path(s.programFolder) / "Uninstaller.exe").string();
        const std::pair<const char*, std::string> values[] = {
            {"DisplayIcon", uninstaller},   {"DisplayName", p},
            {"DisplayVersion", "1.2.1"},    {"InstallLocation", s.programFolder},
            {"Publisher", "Selvanta"},      {"UninstallString", uninstaller},
            {"VersionMajor", "1"},          {"VersionMinor", "2"},
        };
        for (const auto& [name, value] : values) store.SetText(uninstallKey, name, value);
    }

    // A pending removal left by an earlier uninstall must not run after this install.
    if (store.KeyExists(kRunOnceKey)) store.DeleteValue(kRunOnceKey, "OvqUninstaller");
}

void InstallService(InstallRun& run) {
    ServiceManager& services = run.platform.services;
    if (!services.Available()) return;
    ServiceRecord service;
    service.name = kServiceName;
    service.displayName = kServiceName;
    service.program = fs::path(run.settings.programFolder) / "RcptSpoolSvc.exe";
    service.autoStart = true;
    service.interactive = true;
    // An existing service (an earlier installation) is left as it is.
    if (!services.Create(service)) return;
    services.SetDescription(kServiceName, kServiceDescription);
    services.Start(kServiceName);
}

int CleanInstallFolder(const fs::path& folder, const std::vector<fs::path>& written) {
    const fs::path base = folder.lexically_normal();
    int removed = 0;
    for (const fs::path& file : written) {
        const fs::path f = file.lexically_normal();
        if (f.parent_path() != base && f.parent_path() != base / "") continue;  // sub-folders stay
        const std::string name = f.filename().string();
        if (payload::EqualsIgnoreCase(name, "Uninstaller.exe") ||
            payload::EqualsIgnoreCase(name, "Uninstall.ini") ||
            payload::EqualsIgnoreCase(name, "RcptSpoolSvc.exe")) {
            continue;
        }
        std::error_code ec;
        if (fs::symlink_status(f, ec).type() != fs::file_type::regular) continue;
        if (fs::remove(f, ec)) ++removed;
    }
    return removed;
}

}  // namespace engine
