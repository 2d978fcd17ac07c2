#pragma once
// The registry's role on Linux: a small file-backed key/value store.
//
// A key "SOFTWARE\\POS80" is the folder <root>/SOFTWARE/POS80; its values live
// in the file "values" of that folder, one "name=value" line each, with "\\",
// "=" (in names) and line breaks escaped. Key names are matched ignoring ASCII
// case but stored as first written. A "/" in a key name is stored as "%2F", a
// "%" as "%25", and the names "." and ".." as "%2E" and "%2E%2E", so no key can
// leave the root. Writes replace the values file atomically (write, rename).
#include <filesystem>

#include "installer/engine/Seams.h"

namespace platform_linux {

class FileStore : public engine::KeyValueStore {
public:
    explicit FileStore(std::filesystem::path root) : root_(std::move(root)) {}

    bool CreateKey(const std::string& key) override;
    bool KeyExists(const std::string& key) override;
    bool SetText(const std::string& key, const std::string& name, const std::string& value) override;
    std::optional<std::string> GetText(const std::string& key, const std::string& name) override;
    bool DeleteValue(const std::string& key, const std::string& name) override;
    std::optional<std::vector<std::string>> SubKeys(const std::string& key) override;
    std::optional<std::vector<std::pair<std::string, std::string>>> Values(const std::string& key) override;
    bool DeleteKey(const std::string& key) override;

    const std::filesystem::path& Root() const { return root_; }

private:
    std::optional<std::filesystem::path> Find(const std::string& key, bool create);
    std::filesystem::path root_;
};

}  // namespace platform_linux
