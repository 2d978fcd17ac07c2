#include "update-tool/core/NetSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace ferrik {

std::string AddressText(const protocol::Ipv4& a) {
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", int{a[0]}, int{a[1]}, int{a[2]}, int{a[3]});
    return text;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void Socket::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

long Socket::SendOnce(const std::uint8_t* data, std::size_t length) {
    if (fd_ < 0) return -1;
    for (;;) {
        // MSG_NOSIGNAL: a printer that drops the connection must not kill the program.
        const ssize_t sent = ::send(fd_, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        return static_cast<long>(sent);
    }
}

Socket ConnectTcp(const protocol::Ipv4& address, std::uint16_t port, int timeoutMs) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!socket.Valid()) return {};
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl((std::uint32_t{address[0]} << 24) | (std::uint32_t{address[1]} << 16) |
                                 (std::uint32_t{address[2]} << 8) | std::uint32_t{address[3]});
    // Connect without blocking so that an unreachable address costs at most the time-out.
    const int flags = ::fcntl(socket.Fd(), F_GETFL);
    if (flags < 0 || ::fcntl(socket.Fd(), F_SETFL, flags | O_NONBLOCK) < 0) return {};
    if (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0) {
        if (errno != EINPROGRESS) return {};
        pollfd p{socket.Fd(), POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) return {};
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(socket.Fd(), SOL_SOCKET, SO_ERROR, &error, &size) < 0 || error != 0) return {};
    }
    // Sends block from here on, as the firmware stream expects.
    if (::fcntl(socket.Fd(), F_SETFL, flags) < 0) return {};
    return socket;
}

Socket BroadcastSocket() {
    Socket socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!socket.Valid()) return {};
    const int on = 1;
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    return socket;
}

bool SendDatagram(const Socket& socket, const std::string& host, std::uint16_t port,
                  const std::uint8_t* data, std::size_t length) {
    if (!socket.Valid()) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1) return false;
    ssize_t sent;
    do {
        sent = ::sendto(socket.Fd(), data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                        sizeof to);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(length);
}

}  // namespace ferrik
