#include "installer/payload/InstallLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace payload {

void InstallLog::Append(const char* format, ...) const {
    if (file_.empty()) return;
    char buffer[kLogMessageBuffer];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return;
    std::size_t length = std::strlen(buffer);  // cut at 1023 characters

    int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && errno == ENOENT) {
        // A staged root may lack var/log; the real one always has it.
        std::error_code ec;
        std::filesystem::create_directories(file_.parent_path(), ec);
        fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    }
    if (fd < 0) return;
    const char* p = buffer;
    while (length > 0) {
        ssize_t w = ::write(fd, p, length);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        p += w;
        length -= static_cast<std::size_t>(w);
    }
    ::close(fd);
}

}  // namespace payload
