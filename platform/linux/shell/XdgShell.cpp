#include "platform/linux/shell/XdgShell.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace linuxplat {
namespace fs = std::filesystem;
namespace {

// A value of a desktop entry: backslash, newline, tab and CR escaped.
std::string EntryValue(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

// One quoted argument of Exec=: inside double quotes, ", `, $ and \ take a backslash.
std::string ExecArgument(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    return out + "\"";
}

}  // namespace

fs::path XdgShell::DefaultApplicationsFolder() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/')
        return fs::path(data) / "applications";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/root") / ".local/share/applications";
}

std::optional<fs::path> XdgShell::StartMenuFolder() {
    std::error_code ec;
    fs::create_directories(applications_, ec);
    if (!fs::is_directory(applications_, ec)) return std::nullopt;
    return applications_;
}

bool XdgShell::CreateShortcut(const fs::path& target, const fs::path& workingDirectory,
                              const fs::path& shortcut) {
    std::ofstream out(shortcut, std::ios::trunc);
    if (!out) return false;
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=" << EntryValue(shortcut.stem().string()) << "\n"
        << "Exec=" << EntryValue(ExecArgument(target.string())) << "\n"
        << "Path=" << EntryValue(workingDirectory.string()) << "\n"
        << "Terminal=false\n";
    return static_cast<bool>(out);
}

}  // namespace linuxplat
