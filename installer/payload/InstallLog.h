#pragma once
// The installer's append-only text log (by default <root>/var/log/InstallPrinter.txt).
// Each message is formatted into a 1024-byte buffer (cut at 1023 characters),
// appended with one write() of an O_APPEND open, and the file is closed again.
// No prefix, time stamp or line end is added: the messages carry their own
// "\r\n". Failures to open or write are ignored. Any thread may call Append.
#include <filesystem>

namespace payload {

class InstallLog {
public:
    // A log that writes nothing (tests, tools).
    InstallLog() = default;
    explicit InstallLog(std::filesystem::path file) : file_(std::move(file)) {}

    void Append(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    const std::filesystem::path& File() const { return file_; }
    bool Enabled() const { return !file_.empty(); }

private:
    std::filesystem::path file_;
};

inline constexpr std::size_t kLogMessageBuffer = 1024;

}  // namespace payload
