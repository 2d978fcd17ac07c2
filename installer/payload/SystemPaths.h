#pragma once
// Every location the installer touches comes from here: Linux defaults plus one
// prefix override, so that a whole install can be staged into a temporary tree.
//
//   LUMBRA_ROOT        prefix of every system location (default "/")
//   XDG_DOCUMENTS_DIR  the user's Documents folder (default $HOME/Documents)
//
// With LUMBRA_ROOT set to anything but "/", the Documents folder is placed
// under the prefix as well, so a staged run writes nothing outside it.
#include <filesystem>
#include <string_view>

namespace payload {

struct SystemPaths {
    std::filesystem::path root = "/";           // install root (prefix)
    std::filesystem::path documents;            // configuration files, "Text.ini", "Logo.bmp"
    std::filesystem::path installLog;           // <root>/var/log/InstallPrinter.txt
    std::filesystem::path programFiles;         // <root>/opt: parent of the default install folder

    // Reads LUMBRA_ROOT, XDG_DOCUMENTS_DIR and HOME afresh.
    static SystemPaths FromEnvironment();
    // Defaults computed for an explicit root and Documents folder (tests).
    static SystemPaths ForRoot(const std::filesystem::path& root,
                               const std::filesystem::path& documents);

    // An absolute system path (e.g. "/usr/lib/cups/backend") placed under root.
    std::filesystem::path Under(std::string_view absolutePath) const;
};

}  // namespace payload
