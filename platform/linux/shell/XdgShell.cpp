#include "platform/linux/shell/XdgShell.h"

#include <cstdlib>
#include <optional>
#include <system_error>

#include "base/SafeFs.h"

namespace platform_linux {
namespace fs = std::filesystem;
namespace {

// A value of a desktop entry: backslash, newline, tab and CR escaped; any
// other control character cannot be written.
std::optional<std::string> EntryValue(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
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
    // Made in a user's home, the folders belong to that user.
    base::Dir dir;
    if (base::OpenFolder(applications_, true, dir) != 0) return std::nullopt;
    return applications_;
}

bool XdgShell::CreateShortcut(const fs::path& target, const fs::path& workingDirectory,
                              const fs::path& shortcut, bool asAdministrator) {
    const auto name = EntryValue(shortcut.stem().string());
    const auto exec = EntryValue((asAdministrator ? "pkexec " : "") + ExecArgument(target.string()));
    const auto path = EntryValue(workingDirectory.string());
    if (!name || !exec || !path) return false;
    // An administrator who starts the launcher runs its program as root: not
    // a program that another user could have replaced.
    if (asAdministrator && base::OnlyRootCanChange(target) != 0) return false;
    // A program run as administrator shows its report (and pkexec its
    // password question, where no graphical agent runs) in a terminal.
    const std::string text = "[Desktop Entry]\nType=Application\nName=" + *name + "\nExec=" + *exec +
                             "\nPath=" + *path + "\nTerminal=" + (asAdministrator ? "true" : "false") + "\n";
    // Never through a link or over someone else's file at that name.
    return base::WriteFile(shortcut, text, 0644, false) == 0;
}

}  // namespace platform_linux
