// The records the uninstaller and the printer service rely on, the uninstall
// shortcut, the service, and the clean-up of the install folder.
#include <algorithm>
#include <sstream>
#include <system_error>

#include "installer/engine/Engine.h"
#include "base/TextCodec.h"

namespace engine {
namespace fs = std::filesystem;
namespace {

constexpr std::size_t kProfileLimit = 1 << 20;

std::string_view Trim(std::string_view s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return std::string_view();
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The lines of a profile file (LF or CR LF), empty when it cannot be read.
std::vector<std::string> ProfileLines(const base::Dir& folder, std::string_view fileName) {
    std::vector<std::string> lines;
    if (const auto text = base::ReadFileAt(folder, fileName, kProfileLimit)) {
        std::istringstream in(*text);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
    }
    return lines;
}

// Where a key of a section stands (the first section of that name; names
// ignoring case): its line, and the line after the section's last entry;
// npos for a missing key or section.
struct ProfileSpot {
    std::size_t keyLine = std::string::npos;
    std::size_t sectionEnd = std::string::npos;
};
ProfileSpot FindProfileKey(const std::vector<std::string>& lines, std::string_view section, std::string_view key) {
    ProfileSpot spot;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view t = Trim(lines[i]);
        if (!t.empty() && t.front() == '[') {
            if (inSection) break;
            const auto close = t.find(']');
            inSection = close != std::string_view::npos &&
                        base::EqualsIgnoreCase(Trim(t.substr(1, close - 1)), section);
            if (inSection) spot.sectionEnd = i + 1;
            continue;
        }
        if (!inSection) continue;
        if (!t.empty()) spot.sectionEnd = i + 1;
        const auto eq = t.find('=');
        if (eq != std::string_view::npos && base::EqualsIgnoreCase(Trim(t.substr(0, eq)), key)) {
            spot.keyLine = i;
            break;
        }
    }
    return spot;
}

}  // namespace

bool CreateShortcut(ShellFolders& shell, const fs::path& target, const fs::path& shortcut) {
    return shell.CreateShortcut(target, target.parent_path(), shortcut, true);
}

bool WriteProfileString(const base::Dir& folder, std::string_view fileName, std::string_view section,
                        std::string_view key, std::string_view value) {
    auto hasBreak = [](std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; };
    if (hasBreak(section) || hasBreak(key) || hasBreak(value)) return false;
    // Only a file of ours is read and replaced; another user's file, a link
    // or a special file at the name is left alone.
    if (!base::WhatStandsAt(folder, fileName).empty()) return false;
    std::vector<std::string> lines = ProfileLines(folder, fileName);
    const std::string entry = std::string(key) + "=" + std::string(value);
    const ProfileSpot spot = FindProfileKey(lines, section, key);
    if (spot.keyLine != std::string::npos) {
        lines[spot.keyLine] = entry;
    } else if (spot.sectionEnd == std::string::npos) {
        if (!lines.empty() && !lines.back().empty()) lines.emplace_back();
        lines.push_back("[" + std::string(section) + "]");
        lines.push_back(entry);
    } else {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(spot.sectionEnd), entry);
    }
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return base::WriteFileAt(folder, fileName, text, 0644) == 0;
}

std::optional<std::string> ReadProfileString(const base::Dir& folder, std::string_view fileName,
                                             std::string_view section, std::string_view key) {
    const std::vector<std::string> lines = ProfileLines(folder, fileName);
    const ProfileSpot spot = FindProfileKey(lines, section, key);
    if (spot.keyLine == std::string::npos) return std::nullopt;
    const std::string_view line = lines[spot.keyLine];
    return std::string(Trim(line.substr(line.find('=') + 1)));
}

bool WriteProfileString(const fs::path& file, std::string_view section, std::string_view key,
                        std::string_view value) {
    base::Dir folder;
    if (base::OpenFolder(fs::absolute(file).parent_path(), false, folder) != 0) return false;
    return WriteProfileString(folder, file.filename().string(), section, key, value);
}

void WriteRegistration(InstallRun& run, const fs::path& startMenuFolder, const fs::path& shortcut) {
    KeyValueStore& store = run.platform.store;
    const InstallSettings& s = run.settings;
    const std::string& p = s.printerName;

    const std::string productKey = "SOFTWARE\\" + p;
    const bool productKeyMade = !store.KeyExists(productKey);
    if (store.CreateKey(productKey)) {
        RecordPart(run, PartKind::Key, productKey, productKeyMade);
        const std::pair<const char*, std::string> values[] = {
            {"Data Directory", s.installFolder},
            {"Program Directory", s.programFolder},
            {"Language", s.chinese ? "Chinese" : "English"},
            {"PrinterName", p},
            {"StartMenuDir", startMenuFolder.string()},
            {"Uninstaller", shortcut.string()},
            {"PrinterDriver", run.driverName},
            {"MonitorName", base::Utf16ToUtf8(run.texts.monitorName)},
            {"PortName", s.portName},
        };
        for (const auto& [name, value] : values) store.SetText(productKey, name, value);
    }

    base::Dir folder;
    if (!run.programDir) OpenProgramFolder(s.programFolder, false, folder);
    const base::Dir& programDir = run.programDir ? run.programDir : folder;
    if (!WriteProfileString(programDir, "Uninstall.ini", "Print Settings", "PrinterName", p) ||
        !WriteProfileString(programDir, "Uninstall.ini", "Print Settings", "ServiceName", kServiceName))
        run.log.Append("**** Cannot write Uninstall.ini in %s\r\n", payload::EscapeName(s.programFolder).c_str());
    else
        RecordFile(run, programDir, fs::path(s.programFolder) / "Uninstall.ini");

    const std::string uninstallKey = kUninstallKeyPrefix + p;
    const bool uninstallKeyMade = !store.KeyExists(uninstallKey);
    if (store.CreateKey(uninstallKey)) {
        RecordPart(run, PartKind::Key, uninstallKey, uninstallKeyMade);
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

fs::path ServiceProgram(const fs::path& programFolder) { return programFolder / "RcptSpoolSvc.exe"; }

bool CreateService(ServiceManager& services, const fs::path& program) {
    ServiceRecord service;
    service.name = kServiceName;
    service.displayName = kServiceName;
    service.program = program;
    service.autoStart = true;
    service.interactive = true;
    if (!services.Create(service)) return false;
    services.SetDescription(kServiceName, kServiceDescription);
    services.Start(kServiceName);
    return true;
}

void InstallService(InstallRun& run) {
    if (!run.platform.services.Available()) return;
    // An existing service (an earlier installation) is left as it is; this
    // install uses it.
    const fs::path program = ServiceProgram(run.settings.programFolder);
    const bool made = CreateService(run.platform.services, program);
    if (!made && !run.platform.services.LastError().empty())
        run.log.Append("**** The service is not installed: %s\r\n",
                       payload::EscapeName(run.platform.services.LastError()).c_str());
    AddPart(run.parts, {PartKind::Service, kServiceName, made, {}, {}, program.string()});
}

bool IsKeptFile(std::string_view relative) {
    return relative.find('/') != std::string_view::npos || base::EqualsIgnoreCase(relative, "Uninstaller.exe") ||
           base::EqualsIgnoreCase(relative, "Uninstall.ini") || base::EqualsIgnoreCase(relative, "RcptSpoolSvc.exe");
}

int CleanInstallFolder(InstallRun& run) {
    if (run.extracted.written.empty()) return 0;
    if (!run.programDir && OpenProgramFolder(run.settings.programFolder, false, run.programDir) != 0) return 0;
    int removed = 0;
    for (const payload::WrittenFile& file : run.extracted.written) {
        if (IsKeptFile(file.relative)) continue;
        if (base::RemoveIfSame(run.programDir, file.relative, file.id)) ++removed;
    }
    return removed;
}

// ------------------------------------------------ the install's own record

void RecordPart(InstallRun& run, PartKind kind, const std::string& name, bool made) {
    AddPart(run.parts, {kind, name, made, {}, {}, {}});
}

void RecordFile(InstallRun& run, const base::Dir& folder, const fs::path& file,
                const std::optional<base::FileId>& expected) {
    const auto stamp = base::StampOf(folder, file.filename().string(), expected);
    if (!stamp) {
        run.log.Append("**** Not the file written, left out of the install record: %s\r\n",
                       payload::EscapeName(file.string()).c_str());
        return;
    }
    AddPart(run.parts, {PartKind::File, file.string(), true, *stamp, {}, {}});
}

void RecordFile(InstallRun& run, const fs::path& file) {
    base::Dir folder;
    if (base::OpenFolder(file.parent_path(), false, folder) == 0) RecordFile(run, folder, file);
}

void RecordFolder(InstallRun& run, const base::Dir& folder, const fs::path& path, bool made) {
    AddPart(run.parts, {PartKind::Folder, path.string(), made, {}, base::IdOf(folder), {}});
}

int OpenRecordedFolder(InstallRun& run, const fs::path& folder, const fs::path& ours, base::Dir& out) {
    std::vector<fs::path> made;
    if (const int error = base::OpenFolder(folder, true, out, made); error != 0) return error;
    const fs::path leaf = folder.lexically_normal();
    fs::path at = ours.lexically_normal();
    fs::path below = leaf.lexically_relative(at);
    if (below.empty() || *below.begin() == "..") {
        at = leaf;
        below = ".";
    }
    // `ours` itself first, then each folder below it.
    std::vector<fs::path> chain{at};
    for (const fs::path& part : below)
        if (part != ".") chain.push_back(chain.back() / part);
    for (const fs::path& path : chain) {
        base::Dir dir;
        if (base::OpenFolder(path, false, dir) == 0)
            RecordFolder(run, dir, path, std::find(made.begin(), made.end(), path) != made.end());
    }
    return 0;
}

bool WriteRunRecord(InstallRun& run) {
    InstallRecord record;
    record.printer = run.addedPrinter;
    record.printerName = run.settings.printerName;
    record.programFolder = run.settings.programFolder;
    record.parts = run.parts;
    if (WriteInstallRecord(run.platform.store, record)) return true;
    run.log.Append("**** Cannot write the install record of %s\r\n", payload::EscapeName(run.addedQueue).c_str());
    return false;
}

}  // namespace engine
