#pragma once
// A per-process scratch folder for fuzz targets that write files, and the
// check that nothing was written outside the target folder.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzz {

namespace fs = std::filesystem;

// <tmp>/fuzz-<pid>/ holding only "target/" after every run.
inline const fs::path& Scratch() {
    static const fs::path p = [] {
        fs::path d = fs::temp_directory_path() / ("fuzz-" + std::to_string(::getpid()));
        fs::create_directories(d);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(fs::temp_directory_path() / ("fuzz-" + std::to_string(::getpid())), ec);
        });
        return d;
    }();
    return p;
}

// Aborts when anything but the target folder appeared in the scratch folder,
// or a written path lies outside the target; then empties the target.
template <typename Paths>
void CheckAndClean(const fs::path& target, const Paths& written) {
    for (const auto& entry : fs::directory_iterator(Scratch()))
        if (entry.path() != target && entry.path().filename() != "input.bin") std::abort();
    const std::string prefix = target.string() + "/";
    for (const fs::path& w : written)
        if (w.lexically_normal().string().rfind(prefix, 0) != 0) std::abort();
    std::error_code ec;
    fs::remove_all(target, ec);
}

}  // namespace fuzz
