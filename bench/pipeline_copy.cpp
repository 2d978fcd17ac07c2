// The pipeline's own cost, for port_monitor_bench: a CUPS filter and a CUPS
// backend that only copy their input (the named file, else stdin).
//
//   as a filter:   FILTER job user title copies options [file]   -> stdout
//   as a backend:  argv[0] is the device URI SCHEME://HOST:PORT  -> that TCP address,
//                  then a half-close and a wait for the printer's close
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool CopyAll(int from, int to) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) return false;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buffer + done, static_cast<std::size_t>(n - done));
            if (w <= 0) return false;
            done += w;
        }
    }
}

int Connect(const std::string& uri) {
    const auto start = uri.find("://");
    const std::string authority = uri.substr(start + 3, uri.find('/', start + 3) - start - 3);
    const auto colon = authority.rfind(':');
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(std::atoi(authority.c_str() + colon + 1)));
    if (::inet_pton(AF_INET, authority.substr(0, colon).c_str(), &peer.sin_addr) != 1) return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) return -1;
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) return 0;  // nothing to list
    if (argc < 6) return 1;
    const int input = argc >= 7 ? ::open(argv[6], O_RDONLY | O_CLOEXEC) : 0;
    if (input < 0) return 1;
    const std::string self = argv[0];
    if (self.find("://") == std::string::npos) return CopyAll(input, 1) ? 0 : 1;
    const int printer = Connect(self);
    if (printer < 0) return 6;  // retry later
    if (!CopyAll(input, printer)) return 1;
    ::shutdown(printer, SHUT_WR);
    char sink[512];
    while (::read(printer, sink, sizeof sink) > 0) {
    }
    ::close(printer);
    return 0;
}
