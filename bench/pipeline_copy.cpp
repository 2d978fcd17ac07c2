// The pipeline's own cost, for port_monitor_bench: a CUPS filter and a CUPS
// backend that do the least a raster driver and its backend must.
//
//   as a filter:   FILTER job user title copies options [file]   -> stdout
//                  With a file "<this program>.replay" beside it: reads the
//                  CUPS raster row by row, as any raster driver must, and
//                  writes the replay file's bytes (a driver's output for the
//                  same job) spread over the first page's rows in pieces of
//                  256 rows (the driver's bands), so that the printer gets the
//                  driver's bytes at about the driver's pace but nothing is
//                  converted. The rest goes at the end of the input.
//                  Without one: copies its input.
//   as a backend:  argv[0] is the device URI SCHEME://HOST:PORT  -> that TCP address,
//                  then a half-close and a wait for the printer's close
#include <arpa/inet.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/Io.h"

namespace {

constexpr unsigned kBandRows = 256;

bool CopyAll(int from, int to) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0 || !base::WriteAll(to, buffer, static_cast<std::size_t>(n))) return false;
    }
}

// The replay file beside this program, if there is one.
bool ReadReplay(std::vector<char>& bytes) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return false;
    std::ifstream in(std::string(self, static_cast<std::size_t>(n)) + ".replay", std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Reads every row of the raster on `from`; after each 256th row y of the
// first page's h, and after its last, (y + 1) / h of `replay` has gone to `to`.
bool Replay(int from, int to, const std::vector<char>& replay) {
    cups_raster_t* raster = cupsRasterOpen(from, CUPS_RASTER_READ);
    if (!raster) return false;
    cups_page_header2_t header;
    std::vector<unsigned char> row;
    std::size_t sent = 0;
    bool ok = true, first = true;
    while (ok && cupsRasterReadHeader2(raster, &header)) {
        row.resize(header.cupsBytesPerLine);
        for (unsigned y = 0; ok && y < header.cupsHeight; ++y) {
            if (cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine) {
                ok = false;
                break;
            }
            // In pieces of 256 rows, as the driver writes its bands.
            if (!first || ((y + 1) % kBandRows != 0 && y + 1 != header.cupsHeight)) continue;
            const std::size_t due = replay.size() * (y + 1ull) / header.cupsHeight;
            ok = base::WriteAll(to, replay.data() + sent, due - sent);
            sent = due;
        }
        first = false;
    }
    cupsRasterClose(raster);
    return ok && base::WriteAll(to, replay.data() + sent, replay.size() - sent);
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
    if (self.find("://") == std::string::npos) {
        std::vector<char> replay;
        if (ReadReplay(replay)) return Replay(input, 1, replay) ? 0 : 1;
        return CopyAll(input, 1) ? 0 : 1;
    }
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
