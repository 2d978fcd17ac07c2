// The table of schemes: each entry opens one kind of printer connection and
// hands back a small transport (write a piece, finish, status). Pieces,
// deadlines, the stop event and byte accounting belong to Device::Write.
#include "link/Schemes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/lp.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>

#include "link/UsbDeviceSource.h"

namespace printer_link {
namespace {

// ---- transports over a file descriptor -------------------------------------

// A transport that writes to a descriptor opened with O_NONBLOCK. A write the
// device has no room for waits for room within the piece's deadline.
class FdTransport : public Transport {
public:
    enum class Completion {
        OnWrite,     // bytes are taken when write() returns (files, FIFOs, sockets, ttys)
        OnWritable,  // write() starts a transfer; the node turns writable once the printer took it (usblp)
    };
    FdTransport(int fd, std::string node, Completion completion, bool hasStatus)
        : Transport(std::move(node)), fd_(fd), completion_(completion), hasStatus_(hasStatus) {}
    ~FdTransport() override { ::close(fd_); }

    PieceResult Write(const std::uint8_t* data, std::size_t length, const Deadline& deadline,
                      const StopEvent* stop) override {
        bool saidWritable = false;
        for (;;) {
            // (The write path looks at the stop event before every piece;
            // here it only matters while waiting.)
            const ssize_t n = Put(data, length);
            if (n >= 0) return Completed(static_cast<std::size_t>(n), deadline, stop);
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return Dropped(errno);
            const Ready ready = AwaitRoom(saidWritable, deadline, stop);
            switch (ready) {
                case Ready::Yes:
                    saidWritable = true;
                    continue;
                case Ready::TimedOut:
                    return {Outcome::TimedOut, 0, 0};
                case Ready::Stopped:
                    return {Outcome::Stopped, 0, 0};
                case Ready::Failed:
                    return Dropped(PendingError());
            }
        }
    }

    DeviceStatus Status() const override {
        DeviceStatus status;
        int bits = 0;
        if (!hasStatus_ || ::ioctl(fd_, LPGETSTATUS, &bits) != 0) return status;
        status.known = true;
        status.paperOut = (bits & LP_POUTPA) != 0;
        status.offline = (bits & LP_PSELECD) == 0;
        status.error = (bits & LP_PERRORP) == 0;
        return status;
    }

protected:
    virtual ssize_t Put(const std::uint8_t* data, std::size_t length) { return ::write(fd_, data, length); }
    // After a write found no room. A device without poll support (a parallel
    // port) says it is writable while it is not: after such an answer, pause briefly.
    virtual Ready AwaitRoom(bool saidWritable, const Deadline& deadline, const StopEvent* stop) {
        return saidWritable ? Pause(deadline, stop) : WaitFor(fd_, POLLOUT, deadline, stop);
    }
    virtual int PendingError() const { return EIO; }
    int Fd() const { return fd_; }

    // A pause of at most 10 ms within the deadline, ended early by the stop event.
    static Ready Pause(const Deadline& deadline, const StopEvent* stop) {
        const int left = deadline.PollMs();
        const Ready r = WaitFor(-1, 0, Deadline::After(left < 0 ? 10 : std::min(left, 10)), stop);
        if (r == Ready::Stopped) return r;
        return deadline.Passed() ? Ready::TimedOut : Ready::Yes;
    }

    // Asks `settled` in short pauses until it answers, the deadline passes or
    // the stop event is set (a queue that drains without telling anyone).
    template <typename Settled>
    static PieceResult PauseUntil(const Deadline& deadline, const StopEvent* stop, Settled settled) {
        for (;;) {
            if (const std::optional<PieceResult> result = settled()) return *result;
            switch (Pause(deadline, stop)) {
                case Ready::Stopped:
                    return {Outcome::Stopped, 0, 0};
                case Ready::TimedOut:
                    return {Outcome::TimedOut, 0, 0};
                default:
                    break;
            }
        }
    }

private:
    PieceResult Completed(std::size_t taken, const Deadline& deadline, const StopEvent* stop) {
        if (completion_ == Completion::OnWrite || taken == 0) return {Outcome::Sent, 0, taken};
        switch (WaitFor(fd_, POLLOUT, deadline, stop)) {
            case Ready::Yes:
                return {Outcome::Sent, 0, taken};
            // Not confirmed: closing the node cancels the transfer, and the
            // piece counts as not taken.
            case Ready::TimedOut:
                return {Outcome::TimedOut, 0, 0};
            case Ready::Stopped:
                return {Outcome::Stopped, 0, 0};
            case Ready::Failed:
                break;
        }
        return Dropped(EIO);
    }

    int fd_;
    Completion completion_;
    bool hasStatus_;
};

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

    SocketTransport(int fd, std::string node) : FdTransport(fd, std::move(node), Completion::OnWrite, false) {}

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

// A serial port: bytes in the tty's queue are confirmed once it has drained.
class SerialTransport : public FdTransport {
public:
    SerialTransport(int fd, std::string node) : FdTransport(fd, std::move(node), Completion::OnWrite, false) {}
    bool ConfirmsPieces() const override { return false; }
    PieceResult Finish(const Deadline& deadline, const StopEvent* stop) override { return Flush(deadline, stop); }
    PieceResult Flush(const Deadline& deadline, const StopEvent* stop) override {
        return PauseUntil(deadline, stop, [this]() -> std::optional<PieceResult> {
            int queued = 0;
            if (::ioctl(Fd(), TIOCOUTQ, &queued) != 0 || queued == 0) return PieceResult{};
            return std::nullopt;
        });
    }
};

// ---- helpers -----------------------------------------------------------------

std::string_view WithoutSlashes(std::string_view rest) {
    if (rest.rfind("//", 0) == 0) rest.remove_prefix(2);
    return rest;
}

// Splits "path?name=value" and returns value for `name` (empty when absent).
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

// ---- the schemes -------------------------------------------------------------

bool ServesUsblp(const Target& target) { return target.usb && !target.usb->node.empty(); }
bool ServesUsbBulk(const Target& target) { return target.usb && target.usb->node.empty(); }

// usblp allows one open at a time, so reads and writes share one O_RDWR
// descriptor. A FIFO stands in for the node in a fake tree; it has no
// transfer to complete, so its bytes are taken as write() returns.
OpenedTransport OpenUsblp(const Target& target, const OpenOptions&) {
    return OpenFd(target.usb->node, O_RDWR, [](int fd, std::string node) -> std::unique_ptr<Transport> {
        struct stat info {};
        const bool fifo = ::fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode);
        return std::make_unique<FdTransport>(
            fd, std::move(node), fifo ? FdTransport::Completion::OnWrite : FdTransport::Completion::OnWritable,
            !fifo);
    });
}

OpenedTransport OpenUsbBulk(const Target& target, const OpenOptions& options) {
    if (!options.usb) return OpenFailure(ENODEV, target.usb->path);
    return options.usb->OpenBulk(*target.usb);
}

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
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
        if (ec != std::errc() || end != portText.data() + portText.size() || value == 0 || value > 65535)
            return std::nullopt;
        peer.port = static_cast<std::uint16_t>(value);
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
    return fd;
}

// socket://HOST[:PORT] with HOST an IPv4 address, a bracketed IPv6 address or
// a name; a name's addresses (IPv4 and IPv6) are tried in the resolver's
// order, all within the one connection time-out.
OpenedTransport OpenSocket(const Target& target, const OpenOptions& options) {
    const std::string_view authority = WithoutSlashes(target.rest).substr(0, WithoutSlashes(target.rest).find('/'));
    const std::optional<SocketPeer> peer = SplitAuthority(authority);
    if (!peer) return OpenFailure(EINVAL, std::string(authority));
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
    if (looked == EAI_NONAME && peer->bracketed) return OpenFailure(EINVAL, node);
    if (looked == EAI_NONAME) {
        hints.ai_flags = AI_NUMERICSERV;
        looked = ::getaddrinfo(peer->host.c_str(), port.c_str(), &hints, &found);
    }
    if (looked != 0 || !found) return OpenFailure(EHOSTUNREACH, node);
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

    const Deadline deadline = Deadline::After(options.connectTimeoutMs);
    int error = EADDRNOTAVAIL;
    int fd = -1;
    for (const addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || NoPrinterAddress(a->ai_addr)) continue;
        fd = ConnectTo(*a, deadline, options.stop, error);
        if (error == ECANCELED || error == ETIMEDOUT) break;
    }
    if (fd < 0) return OpenFailure(error, node);
    auto transport = std::make_unique<SocketTransport>(fd, node);
    if (!transport->BlockInSlices()) return OpenFailure(errno, node);
    OpenedTransport opened;
    opened.transport = std::move(transport);
    return opened;
}

speed_t Baud(std::string_view text) {
    struct Rate {
        std::string_view text;
        speed_t speed;
    };
    static constexpr Rate kRates[] = {{"1200", B1200},   {"2400", B2400},   {"4800", B4800},
                                      {"9600", B9600},   {"19200", B19200}, {"38400", B38400},
                                      {"57600", B57600}, {"115200", B115200}};
    for (const Rate& r : kRates)
        if (r.text == text) return r.speed;
    return text.empty() ? B9600 : B0;
}

OpenedTransport OpenSerial(const Target& target, const OpenOptions&) {
    const std::string path = PathOf(target.rest);
    const speed_t speed = Baud(QueryValue(target.rest, "baud"));
    if (speed == B0) return OpenFailure(EINVAL, path);
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return OpenFailure(errno, path);
    // Raw bytes at the given speed, no modem control.
    termios tty{};
    int error = 0;
    if (::tcgetattr(fd, &tty) != 0) {
        error = errno;
    } else {
        ::cfmakeraw(&tty);
        tty.c_cflag |= CLOCAL | CREAD;
        ::cfsetispeed(&tty, speed);
        ::cfsetospeed(&tty, speed);
        if (::tcsetattr(fd, TCSANOW, &tty) != 0) error = errno;
    }
    if (error != 0) {
        ::close(fd);
        return OpenFailure(error, path);
    }
    OpenedTransport opened;
    opened.transport = std::make_unique<SerialTransport>(fd, path);
    return opened;
}

OpenedTransport OpenParallel(const Target& target, const OpenOptions&) {
    return OpenFd(PathOf(target.rest), O_WRONLY, [](int fd, std::string node) -> std::unique_ptr<Transport> {
        return std::make_unique<FdTransport>(fd, std::move(node), FdTransport::Completion::OnWrite, true);
    });
}

// Appends to a file (created when missing), or writes into a FIFO that has a reader.
OpenedTransport OpenFile(const Target& target, const OpenOptions&) {
    std::string_view rest = target.rest;
    if (rest.rfind("//", 0) == 0) rest.remove_prefix(2);
    return OpenFd(std::string(rest), O_WRONLY | O_CREAT | O_APPEND,
                  [](int fd, std::string node) -> std::unique_ptr<Transport> {
                      return std::make_unique<FdTransport>(fd, std::move(node), FdTransport::Completion::OnWrite,
                                                           false);
                  });
}

constexpr Scheme kSchemes[] = {
    {"usb", "usblp node", &ServesUsblp, &OpenUsblp},
    {"usb", "bulk OUT endpoint", &ServesUsbBulk, &OpenUsbBulk},
    {"socket", "TCP raw port", nullptr, &OpenSocket},
    {"serial", "tty", nullptr, &OpenSerial},
    {"parallel", "lp port", nullptr, &OpenParallel},
    {"file", "file or FIFO", nullptr, &OpenFile},
};

}  // namespace

std::span<const Scheme> Schemes() { return kSchemes; }

}  // namespace printer_link
