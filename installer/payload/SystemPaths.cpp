#include "installer/payload/SystemPaths.h"

#include <cstdlib>

namespace payload {
namespace {

std::filesystem::path EnvPath(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::filesystem::path(v) : std::filesystem::path();
}

bool IsPlainRoot(const std::filesystem::path& root) {
    return root.empty() || root.lexically_normal() == "/";
}

}  // namespace

SystemPaths SystemPaths::ForRoot(const std::filesystem::path& root,
                                 const std::filesystem::path& documents) {
    SystemPaths p;
    p.root = IsPlainRoot(root) ? std::filesystem::path("/") : root;
    p.documents = documents;
    p.installLog = p.Under("/var/log/InstallPrinter.txt");
    p.programFiles = p.Under("/opt");
    return p;
}

SystemPaths SystemPaths::FromEnvironment() {
    std::filesystem::path root = EnvPath("LUMBRA_ROOT");
    std::filesystem::path documents = EnvPath("XDG_DOCUMENTS_DIR");
    if (documents.empty()) {
        std::filesystem::path home = EnvPath("HOME");
        documents = (home.empty() ? std::filesystem::path("/root") : home) / "Documents";
    }
    SystemPaths p = ForRoot(root, documents);
    if (!IsPlainRoot(root)) p.documents = p.Under(documents.string());
    return p;
}

std::filesystem::path SystemPaths::Under(std::string_view absolutePath) const {
    std::filesystem::path rel = std::filesystem::path(absolutePath).relative_path();
    if (IsPlainRoot(root)) return std::filesystem::path("/") / rel;
    return root / rel;
}

}  // namespace payload
