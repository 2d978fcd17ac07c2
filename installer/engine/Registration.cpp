// The records the uninstaller and the printer service rely on, the uninstall
// shortcut, the service, and the clean-up of the install folder.
#include <sstream>
#include <system_error>

#include "installer/engine/Engine.h"
#include "installer/payload/TextCodec.h"

namespace engine {
namespace fs = std::filesystem;
namespace {

constexpr std::size_t kProfileLimit = 1 << 20;

}  // namespace

bool CreateShortcut(ShellFolders& shell, const fs::path& target, const fs::path& shortcut) {
    return shell.CreateShortcut(target, target.parent_path(), shortcut);
}

bool WriteProfileString(const payload::Dir& folder, std::string_view fileName, std::string_view section,
                        std::string_view key, std::string_view value) {
    auto hasBreak = [](std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; };
    if (hasBreak(section) || hasBreak(key) || hasBreak(value)) return false;
    // Only a file of ours is read and replaced; another user's file, a link
    // or a special file at the name is left alone.
    if (!payload::WhatStandsAt(folder, fileName).empty()) return false;
    std::vector<std::string> lines;
    if (const auto text = payload::ReadFileAt(folder, fileName, kProfileLimit)) {
        std::istringstream in(*text);
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
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return payload::WriteFileAt(folder, fileName, text, 0644) == 0;
}

bool WriteProfileString(const fs::path& file, std::string_view section, std::string_view key,
                        std::string_view value) {
    payload::Dir folder;
    if (payload::OpenFolder(fs::absolute(file).parent_path(), false, folder) != 0) return false;
    return WriteProfileString(folder, file.filename().string(), section, key, value);
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

    payload::Dir folder;
    if (!run.programDir) OpenProgramFolder(s.programFolder, false, folder);
    const payload::Dir& programDir = run.programDir ? run.programDir : folder;
    if (!WriteProfileString(programDir, "Uninstall.ini", "Print Settings", "PrinterName", p) ||
        !WriteProfileString(programDir, "Uninstall.ini", "Print Settings", "ServiceName", kServiceName))
        run.log.Append("**** Cannot write Uninstall.ini in %s\r\n", payload::EscapeName(s.programFolder).c_str());

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

int CleanInstallFolder(InstallRun& run) {
    if (run.extracted.written.empty()) return 0;
    if (!run.programDir && OpenProgramFolder(run.settings.programFolder, false, run.programDir) != 0) return 0;
    int removed = 0;
    for (const payload::WrittenFile& file : run.extracted.written) {
        if (file.relative.find('/') != std::string::npos) continue;  // sub-folders stay
        const std::string& name = file.relative;
        if (payload::EqualsIgnoreCase(name, "Uninstaller.exe") ||
            payload::EqualsIgnoreCase(name, "Uninstall.ini") ||
            payload::EqualsIgnoreCase(name, "RcptSpoolSvc.exe")) {
            continue;
        }
        if (payload::RemoveIfSame(run.programDir, name, file.id)) ++removed;
    }
    return removed;
}

}  // namespace engine
