#pragma once
// Shell folders below a test directory; shortcuts are small text files that
// name their target, so a test can read them back.
#include <fstream>
#include <optional>

#include "installer/engine/Seams.h"

namespace platform_fake {

class FakeShellFolders : public engine::ShellFolders {
public:
    std::optional<std::filesystem::path> startMenu;  // nullopt: the folder cannot be found
    bool failShortcut = false;
    std::vector<std::filesystem::path> shortcuts;
    bool administrator = false;  // the last shortcut runs its target as administrator

    std::optional<std::filesystem::path> StartMenuFolder() override { return startMenu; }
    std::string ShortcutFileName(const std::string& title) override { return title + ".lnk"; }
    bool CreateShortcut(const std::filesystem::path& target, const std::filesystem::path& workingDirectory,
                        const std::filesystem::path& shortcut, bool asAdministrator) override {
        if (failShortcut) return false;
        administrator = asAdministrator;
        std::ofstream out(shortcut);
        out << "target=" << target.string() << "\nworkdir=" << workingDirectory.string() << "\n";
        if (!out) return false;
        shortcuts.push_back(shortcut);
        return true;
    }
};

}  // namespace platform_fake
