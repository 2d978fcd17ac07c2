#pragma once
// Shared helpers of the payload tests: a scratch folder, package building,
// file access and an observer that records what the wizard would see.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "installer/payload/Package.h"
#include "base/TextCodec.h"

namespace payload::test {

namespace fs = std::filesystem;

class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (fs::temp_directory_path() / "payload-test-XXXXXX").string();
        char* made = ::mkdtemp(tmpl.data());
        path_ = made ? fs::path(made) : fs::path();
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }
    fs::path operator/(const std::string& rel) const { return path_ / rel; }

private:
    fs::path path_;
};

inline std::vector<std::uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

inline std::string ReadFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void WriteFile(const fs::path& p, std::string_view data) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// A UTF-16 LE file with BOM whose lines end in CR LF.
inline std::string Utf16File(const std::vector<std::u16string>& lines, std::u16string_view eol = u"\r\n") {
    std::u16string text;
    for (const auto& l : lines) {
        text += l;
        text += eol;
    }
    return base::EncodeUtf16Le(text, true);
}

inline std::vector<PackageSource> Sources(std::initializer_list<std::pair<std::string, std::string>> items) {
    std::vector<PackageSource> out;
    for (const auto& [name, data] : items) out.push_back({name, Bytes(data)});
    return out;
}

// Files below a folder, relative, sorted.
inline std::vector<std::string> Tree(const fs::path& root) {
    std::vector<std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        out.push_back(fs::relative(it->path(), root).string() + (it->is_directory() && !it->is_symlink() ? "/" : ""));
    std::sort(out.begin(), out.end());
    return out;
}

struct RecordingObserver final : ExtractObserver {
    struct Event {
        char kind;  // 'P' progress, 'S' status line
        int percent;
        std::u16string text;
    };
    std::vector<Event> events;
    int current = -1;
    void SetProgress(int p) override {
        current = p;
        events.push_back({'P', p, {}});
    }
    void SetStatusLine(const std::u16string& t) override { events.push_back({'S', 0, t}); }
    std::vector<std::string> StatusLines() const {
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e.kind == 'S') out.push_back(base::Utf16ToUtf8(e.text));
        return out;
    }
};

}  // namespace payload::test
