// The socket scheme: a printer's raw TCP port (socket://HOST[:PORT]).
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "link/FdTransport.h"
#include "link/Schemes.h"
#include "protocol/Port.h"

namespace printer_link {
namespace {

// A TCP connection to a printer's raw port. Bytes in the socket are not yet
// the printer's: Finish half-closes and waits for the printer to close too,
// with everything acknowledged. A reset before that is a failure.
//
// Sends block, for at most a slice of time each (SO_SNDTIMEO): a printer that
// reads slowly then costs one call per piece, not a short send, a refused one
// and a poll. Between slices the deadline and the stop event are looked at.
class SocketTransport : public FdTransport {
public:
    static constexpr int kSliceMs = 100;

    SocketTransport(int fd, std::string node)
        : FdTransport(fd, std::move(node), Completion::OnWrite, false, Way::Both) {}

    // Blocking sends of at most one slice each; false when the socket refuses.
    bool BlockInSlices() {
        const int flags = ::fcntl(Fd(), F_GETFL);
        const timeval slice{0, kSliceMs * 1000};
        return flags >= 0 && ::fcntl(Fd(), F_SETFL, flags & ~O_NONBLOCK) == 0 &&
               ::setsockopt(Fd(), SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice) == 0;
    }

    bool ConfirmsPieces() const override { return false; }

    // The send queue is looked at in short steps until the printer has
    // acknowledged all of it; a reset meanwhile is a failure.
    PieceResult Flush(const Deadline& deadline, const StopEvent* stop) override {
        return PauseUntil(deadline, stop, [this]() -> std::optional<PieceResult> {
            if (const int error = SocketError(); error != 0) return Dropped(error);
            if (Unacknowledged() == 0) return PieceResult{};
            return std::nullopt;
        });
    }

    PieceResult Finish(const Deadline& deadline, const StopEvent* stop) override {
        // A connection the printer has reset can no longer be shut down.
        if (::shutdown(Fd(), SHUT_WR) != 0) return Dropped(errno == ENOTCONN ? PendingError() : errno);
        bool closed = false;
        for (;;) {
            if (closed) {
                if (const int error = SocketError(); error != 0) return Dropped(error);
                if (Unacknowledged() == 0) return {};
            }
            // After the printer's close, acknowledgements are awaited in short steps.
            const Ready ready = closed ? Pause(deadline, stop) : WaitFor(Fd(), POLLIN, deadline, stop);
            if (ready == Ready::Stopped) return {Outcome::Stopped, 0, 0};
            if (ready == Ready::TimedOut) break;
            if (closed) continue;
            // Status bytes the printer sends back are read and dropped.
            std::uint8_t sink[512];
            const ssize_t n = ::recv(Fd(), sink, sizeof sink, MSG_DONTWAIT);
            if (n == 0) closed = true;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return Dropped(errno);
        }
        // A printer that keeps the connection open has taken what its side
        // acknowledged; anything unacknowledged was not taken in time.
        if (const int error = SocketError(); error != 0) return Dropped(error);
        if (Unacknowledged() == 0) return {};
        return {Outcome::TimedOut, 0, 0};
    }

protected:
    ssize_t Put(const std::uint8_t* data, std::size_t length) override {
        // MSG_NOSIGNAL: a printer that resets the connection gives EPIPE, not SIGPIPE.
        return ::send(Fd(), data, length, MSG_NOSIGNAL);
    }
    // The socket blocks for sends; reads look and wait through poll().
    ssize_t Get(std::uint8_t* data, std::size_t capacity) override {
        return ::recv(Fd(), data, capacity, MSG_DONTWAIT);
    }
    // The send itself waited a slice for room.
    Ready AwaitRoom(bool, const Deadline& deadline, const StopEvent* stop) override {
        if (stop && stop->IsSet()) return Ready::Stopped;
        return deadline.Passed() ? Ready::TimedOut : Ready::Yes;
    }
    int PendingError() const override {
        const int error = SocketError();
        return error != 0 ? error : ECONNRESET;
    }

private:
    int SocketError() const {
        int error = 0;
        socklen_t size = sizeof error;
        return ::getsockopt(Fd(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 ? error : errno;
    }
    // Bytes sent and not yet acknowledged by the printer.
    int Unacknowledged() const {
        int queued = 0;
        return ::ioctl(Fd(), SIOCOUTQ, &queued) == 0 ? queued : 0;
    }
};

// "host:port", "[IPv6]:port", or either without ":port" (the raw port, 9100).
struct SocketPeer {
    std::string host;  // without brackets
    bool bracketed = false;
    std::uint16_t port = kPrinterTcpPort;
    // "host:port", "[::1]:port": the node in messages.
    std::string Node() const {
        const bool v6 = host.find(':') != std::string::npos;
        return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    }
};

std::optional<SocketPeer> SplitAuthority(std::string_view authority) {
    SocketPeer peer;
    std::string_view portText;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        peer.host = std::string(authority.substr(1, close - 1));
        peer.bracketed = true;
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') return std::nullopt;
        hasPort = !after.empty();
        if (hasPort) portText = after.substr(1);
    } else {
        const auto colon = authority.find(':');
        peer.host = std::string(authority.substr(0, colon));
        hasPort = colon != std::string_view::npos;
        if (hasPort) portText = authority.substr(colon + 1);
        // A second colon is an IPv6 address without its brackets: not read as a port.
        if (portText.find(':') != std::string_view::npos) return std::nullopt;
    }
    if (hasPort) {
        const auto port = protocol::ParsePort(portText);
        if (!port) return std::nullopt;
        peer.port = *port;
    }
    return peer;
}

// 0.0.0.0 or :: (a blank address field) would reach this machine's own
// listeners on Linux; 255.255.255.255 is no printer. None is tried.
bool NoPrinterAddress(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const in_addr_t a = reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
        return a == htonl(INADDR_ANY) || a == htonl(INADDR_BROADCAST);
    }
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_UNSPECIFIED(&a)) return true;
    if (!IN6_IS_ADDR_V4MAPPED(&a)) return false;
    in_addr_t mapped = 0;
    std::memcpy(&mapped, a.s6_addr + 12, sizeof mapped);
    return mapped == htonl(INADDR_ANY) || mapped == htonl(INADDR_BROADCAST);
}

// One connection attempt within `deadline`: the connected descriptor, or -1 with `error` set.
int ConnectTo(const addrinfo& address, const Deadline& deadline, const StopEvent* stop, int& error) {
    const int fd = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    error = 0;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            switch (WaitFor(fd, POLLOUT, deadline, stop)) {
                case Ready::Yes:
                case Ready::Failed: {
                    socklen_t size = sizeof error;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
                    break;
                }
                case Ready::TimedOut:
                    error = ETIMEDOUT;
                    break;
                case Ready::Stopped:
                    error = ECANCELED;
                    break;
            }
        }
    }
    if (error != 0) {
        ::close(fd);
        return -1;
    }
    // Jobs go out in large pieces anyway; what Nagle would hold back is the
    // small tail: a status request, or a job's last command (the cut) waiting
    // for the printer's delayed acknowledgement of the piece before it.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

}  // namespace

// socket://HOST[:PORT] with HOST an IPv4 address, a bracketed IPv6 address or
// a name; a name's addresses (IPv4 and IPv6) are tried in the resolver's
// order, all within the one connection time-out.
OpenedTransport OpenSocket(std::string_view rest, const OpenOptions& options) {
    const std::string_view authority = WithoutSlashes(rest).substr(0, WithoutSlashes(rest).find('/'));
    const std::optional<SocketPeer> peer = SplitAuthority(authority);
    if (!peer) return OpenFailure(Outcome::BadUri, EINVAL, std::string(authority));
    const std::string node = peer->Node();
    if (peer->host.empty()) return OpenFailure(EHOSTUNREACH, node);

    addrinfo hints{};
    hints.ai_family = peer->bracketed ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // A numeric address (what the windows give) needs no name lookup.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    const std::string port = std::to_string(peer->port);
    addrinfo* found = nullptr;
    int looked = ::getaddrinfo(peer->host.c_str(), port.c_str(), &hints, &found);
    if (looked == EAI_NONAME && peer->bracketed) return OpenFailure(Outcome::BadUri, EINVAL, node);
    if (looked == EAI_NONAME) {
        hints.ai_flags = AI_NUMERICSERV;
        looked = ::getaddrinfo(peer->host.c_str(), port.c_str(), &hints, &found);
    }
    if (looked != 0 || !found) return OpenFailure(EHOSTUNREACH, node);
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

    const Deadline deadline = Deadline::After(options.connectTimeoutMs);
    int error = 0;
    int fd = -1;
    bool tried = false;
    for (const addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || NoPrinterAddress(a->ai_addr)) continue;
        tried = true;
        fd = ConnectTo(*a, deadline, options.stop, error);
        if (error == ECANCELED || error == ETIMEDOUT) break;
    }
    // Only addresses that are no printer's: the URI names no device.
    if (!tried) return OpenFailure(Outcome::BadUri, EADDRNOTAVAIL, node);
    if (fd < 0) return OpenFailure(error, node);
    auto transport = std::make_unique<SocketTransport>(fd, node);
    if (!transport->BlockInSlices()) return OpenFailure(errno, node);
    OpenedTransport opened;
    opened.transport = std::move(transport);
    return opened;
}

}  // namespace printer_link
