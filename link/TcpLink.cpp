#include "link/TcpLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "link/StopEvent.h"

namespace printer_link {

namespace {

using Clock = std::chrono::steady_clock;

enum class Ready { Yes, TimedOut, Stopped, Failed };

// Waits for `events` on `fd` beside the stop event; timeoutMs < 0 waits without limit.
Ready WaitFor(int fd, short events, const StopEvent* stop, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {stop ? stop->Fd() : -1, POLLIN, 0}};
    const nfds_t count = stop ? 2 : 1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = deadline - Clock::now();
            wait = left <= Clock::duration::zero()
                       ? 0
                       : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        const int r = ::poll(fds, count, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            return Ready::Failed;
        }
        if (count == 2 && (fds[1].revents & POLLIN)) return Ready::Stopped;
        if (fds[0].revents) return Ready::Yes;  // errors are read back by the caller
        if (wait == 0) return Ready::TimedOut;
    }
}

// Connects to the window's printer address; -1 when no connection came about
// within the settings' bound (or the stop event was set).
int ConnectToPrinter(PrinterWindow& window, const TcpSettings& settings, const StopEvent* stop) {
    const Ipv4 ip = window.ReadPrinterIp();
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
    const in_addr_t address = ::inet_addr(text);
    // 0.0.0.0 (a blank field) would reach this machine's own listeners on
    // Linux; 255.255.255.255 is no printer. Neither is connected to.
    if (address == INADDR_NONE || address == htonl(INADDR_ANY)) return -1;

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(settings.port);
    peer.sin_addr.s_addr = address;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return fd;
    if (errno == EINPROGRESS || errno == EINTR) {
        if (WaitFor(fd, POLLOUT, stop, settings.connectTimeoutMs) == Ready::Yes) {
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) return fd;
        }
    }
    ::close(fd);
    return -1;
}

long SendChunk(const TcpSettings& settings, int fd, const std::uint8_t* data, std::size_t length) {
    if (settings.sendHook) return settings.sendHook(fd, data, length);
    // MSG_NOSIGNAL: a printer that resets the connection gives EPIPE, not SIGPIPE.
    return ::send(fd, data, length, MSG_NOSIGNAL);
}

// Ends our side gracefully. Bytes the printer sent us (status replies) are
// discarded first: closing a socket with unread input resets the connection,
// and a reset throws away what the printer has not yet received.
void CloseConnection(int fd) {
    ::shutdown(fd, SHUT_WR);
    std::uint8_t sink[512];
    while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    ::close(fd);
}

}  // namespace

TcpSettings TcpSettings::FromEnvironment() {
    TcpSettings settings;
    if (const char* value = std::getenv("PRINTER_TCP_PORT")) {
        char* end = nullptr;
        const long port = std::strtol(value, &end, 10);
        if (end != value && *end == '\0' && port > 0 && port <= 65535)
            settings.port = static_cast<std::uint16_t>(port);
    }
    return settings;
}

void DeliverOverTcp(PrinterWindow& window, const std::uint8_t* data, std::int32_t& remaining,
                    const TcpSettings& settings) {
    DeliverOverTcp(window, data, remaining, settings, nullptr);
}

void DeliverOverTcp(PrinterWindow& window, const std::uint8_t* data, std::int32_t& remaining,
                    const TcpSettings& settings, const StopEvent* stop) {
    const int fd = ConnectToPrinter(window, settings, stop);
    if (fd < 0) {
        if (stop && stop->IsSet()) return;  // abandoned, not failed: keep the bytes
        window.ShowStatus(kNetConnectFailText);
        remaining = 0;
        return;
    }
    const std::size_t chunkLimit = std::max<std::size_t>(settings.sendChunk, 1);
    const std::uint8_t* next = data;
    bool printError = false;
    while (remaining > 0) {
        const std::size_t chunk = std::min(static_cast<std::size_t>(remaining), chunkLimit);
        const long sent = SendChunk(settings, fd, next, chunk);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) &&
                WaitFor(fd, POLLOUT, stop, -1) == Ready::Yes)
                continue;
            // A send error (or a stop) ends the delivery; what is unsent stays counted.
            break;
        }
        if (sent == 0) {
            printError = true;
            break;
        }
        const auto taken = std::min(static_cast<std::size_t>(sent), chunk);
        remaining -= static_cast<std::int32_t>(taken);
        next += taken;
    }
    CloseConnection(fd);
    if (printError) {
        window.ShowMessageBox(kPrintErrorText);
        window.EndProgram(1);
        remaining = 0;  // reached only where EndProgram returns (test windows)
    }
}

void TestPrinterConnection(PrinterWindow& window, const TcpSettings& settings) {
    const int fd = ConnectToPrinter(window, settings, nullptr);
    if (fd >= 0) ::close(fd);
    window.ShowMessageBox(fd >= 0 ? kConnectOkText : kNetConnectFailText);
}

}  // namespace printer_link
