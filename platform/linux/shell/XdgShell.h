#pragma once
// Shell folders and shortcuts on Linux: the "Start menu" is the user's
// applications folder ($XDG_DATA_HOME/applications, normally
// ~/.local/share/applications), and a shortcut is a .desktop launcher; one
// that runs its target as administrator starts it through pkexec in a terminal.
// Folders made in a user's home belong to that user; a launcher is written
// as a new file renamed into place, never through a link or over another
// user's file (SafeFs.h).
#include <filesystem>

#include "installer/engine/Seams.h"

namespace platform_linux {

class XdgShell : public engine::ShellFolders {
public:
    explicit XdgShell(std::filesystem::path applications) : applications_(std::move(applications)) {}

    std::optional<std::filesystem::path> StartMenuFolder() override;
    std::string ShortcutFileName(const std::string& title) override { return title + ".desktop"; }
    bool CreateShortcut(const std::filesystem::path& target, const std::filesystem::path& workingDirectory,
                        const std::filesystem::path& shortcut, bool asAdministrator) override;

    // $XDG_DATA_HOME/applications, or $HOME/.local/share/applications.
    static std::filesystem::path DefaultApplicationsFolder();

private:
    std::filesystem::path applications_;
};

}  // namespace platform_linux
