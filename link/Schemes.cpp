// The table of schemes, and the small helpers their entries share.
#include "link/Schemes.h"

#include <fcntl.h>

#include <cerrno>

namespace printer_link {
namespace {

constexpr Scheme kSchemes[] = {
    {"usb", "usblp node (reads), or bulk OUT endpoint (reads at bulk IN)", &OpenUsb},
    {"socket", "TCP raw port (reads)", &OpenSocket},
    {"serial", "tty (reads)", &OpenSerial},
    {"parallel", "lp port (write only)", &OpenParallel},
    {"file", "file or FIFO (write only)", &OpenFile},
};

}  // namespace

std::span<const Scheme> Schemes() { return kSchemes; }

std::string_view WithoutSlashes(std::string_view rest) {
    if (rest.rfind("//", 0) == 0) rest.remove_prefix(2);
    return rest;
}

std::string_view QueryValue(std::string_view rest, std::string_view name) {
    const auto question = rest.find('?');
    if (question == std::string_view::npos) return {};
    std::string_view query = rest.substr(question + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name && pair[name.size()] == '=')
            return pair.substr(name.size() + 1);
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return {};
}

std::string PathOf(std::string_view rest) { return std::string(rest.substr(0, rest.find('?'))); }

OpenedTransport OpenFd(const std::string& path, int flags, std::unique_ptr<Transport> (*make)(int, std::string)) {
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) return OpenFailure(errno, path);
    OpenedTransport opened;
    opened.transport = make(fd, path);
    return opened;
}

}  // namespace printer_link
