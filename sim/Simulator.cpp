#include "sim/Simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <utility>

#include "base/Io.h"
#include "sim/StatusRequests.h"

namespace sim {

struct Simulator::Stream {
    int fd = -1;
    StreamKind kind = StreamKind::Tcp;
    std::string name;  // "tcp 3", "usb lp0"
    std::unique_ptr<ByteStream> bytes;
    int rawFd = -1;
    Clock::time_point nextRead{};
    bool stalled = false;

    int answerFd = -1;            // where status answers go (-1: no way back)
    std::uint64_t received = 0;   // every byte that came, status requests included
    StatusRequestFinder finder;
    std::deque<StatusRequestFinder::Piece> queue;  // the receive buffer: print data and requests, in order
    std::size_t frontDone = 0;    // bytes of the first piece's data already printed
    std::size_t held = 0;         // print data in the queue not yet printed
    bool stopped = false;         // held data waits for the printer
    bool full = false;            // the buffer is full (said once until it drains)
    bool ending = false;          // no more bytes come; it ends once the held data is printed
    std::string endWhy;
};

// A fake USB printer. Its node is the slave of a pseudo-terminal (the
// device's master is read and answered through), or a FIFO: `keeperFd` holds
// the FIFO open for reading for the simulator's whole life, so that a writer
// can always open it and no byte is lost while `readFd` is reopened; `readFd`
// reports the end of each writer session (all writers gone), which ends the
// stream. A pseudo-terminal's master hangs up when the last writer closes
// the slave, and stays so until a writer opens it again (`hangup`): the node
// is then looked at periodically instead of polled.
struct Simulator::UsbPort {
    UsbDevice device;
    int keeperFd = -1;
    int readFd = -1;
    bool hangup = false;
    std::unique_ptr<Stream> session;  // bytes since the last end of session
    bool Pty() const { return device.master >= 0; }
};

namespace {

constexpr std::chrono::milliseconds kSessionCheck{20};

std::string Address(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

std::uint16_t BoundPort(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return 0;
    return ntohs(a.sin_port);
}

int OpenForAppend(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}


}  // namespace

Simulator::Simulator(SimConfig config) : config_(std::move(config)) {}

Simulator::~Simulator() { Shutdown(); }

void Simulator::Emit(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (log_) {
        std::fputs(line.c_str(), log_);
        std::fputc('\n', log_);
        std::fflush(log_);
    }
}

bool Simulator::Start(std::string* error) {
    auto fail = [&](const std::string& text) {
        if (error) *error = text;
        return false;
    };
    condition_.Set(config_.startState, nullptr);
    if (!config_.logFile.empty()) {
        log_ = std::fopen(config_.logFile.c_str(), "a");
        if (!log_) return fail("cannot open the log file " + config_.logFile + ": " + std::strerror(errno));
    }
    if (!config_.receiptDir.empty()) {
        // The folder is made when its parent exists (a fresh folder for a
        // run); a missing parent is most likely a mistyped path, and an
        // unwritable folder would lose every receipt, so both are refused.
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path folder = fs::path(config_.receiptDir).lexically_normal();
        if (folder.filename().empty()) folder = folder.parent_path();  // "dir/"
        if (!fs::exists(folder, ec)) {
            const fs::path parent = folder.parent_path();
            if (!parent.empty() && !fs::is_directory(parent, ec))
                return fail("cannot make the receipt folder " + config_.receiptDir + ": " + parent.string() +
                            (fs::exists(parent, ec) ? " is not a folder" : " does not exist"));
            if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
                return fail("cannot make the receipt folder " + config_.receiptDir + ": " + std::strerror(errno));
            receiptNotes_.push_back("# receipt folder " + config_.receiptDir + " made");
        }
        if (!fs::is_directory(config_.receiptDir, ec))
            return fail("the receipt folder " + config_.receiptDir + " is not a folder");
        if (::access(config_.receiptDir.c_str(), W_OK | X_OK) != 0)
            return fail("cannot write receipts to " + config_.receiptDir + ": " + std::strerror(errno));
        receipts_ = std::make_unique<ReceiptBook>(config_.receiptDir, config_.headDots);
        if (receipts_->NextNumber() > 1)
            receiptNotes_.push_back("# receipts in " + config_.receiptDir + " go on from " +
                                    ReceiptBook::FileName(receipts_->NextNumber()));
    }
    if (!config_.rawFile.empty()) {
        rawFd_ = OpenForAppend(config_.rawFile);
        if (rawFd_ < 0) return fail("cannot open the raw file " + config_.rawFile + ": " + std::strerror(errno));
    }
    const int on = 1;
    if (config_.tcpEnabled) {
        tcpFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (tcpFd_ < 0) return fail(std::string("cannot create the TCP socket: ") + std::strerror(errno));
        ::setsockopt(tcpFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(config_.tcpPort);
        if (::bind(tcpFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(tcpFd_, 16) != 0) {
            return fail("cannot listen on TCP port " + std::to_string(config_.tcpPort) + ": " + std::strerror(errno));
        }
        tcpPort_ = BoundPort(tcpFd_);
    }
    if (config_.udpEnabled) {
        udpFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
        if (udpFd_ < 0) return fail(std::string("cannot create the UDP socket: ") + std::strerror(errno));
        // Several simulators (and tools) may share the probe port; broadcasts reach all of them.
        ::setsockopt(udpFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::setsockopt(udpFd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(config_.probePort);
        if (::bind(udpFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            return fail("cannot bind UDP port " + std::to_string(config_.probePort) + ": " + std::strerror(errno));
        }
        probePort_ = BoundPort(udpFd_);
    }
    for (const auto& wanted : config_.usb) {
        auto port = std::make_unique<UsbPort>();
        if (!CreateUsbDevice(wanted, config_.usbFifo, port->device, error)) return false;
        usb_.push_back(std::move(port));
        UsbPort& p = *usb_.back();
        if (p.Pty()) continue;
        p.keeperFd = ::open(p.device.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (p.keeperFd < 0 || !ReopenUsb(p)) {
            return fail("cannot open the FIFO " + p.device.node + ": " + std::strerror(errno));
        }
    }
    if (!config_.controlPath.empty()) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (config_.controlPath.size() >= sizeof address.sun_path)
            return fail("the control socket path " + config_.controlPath + " is too long");
        std::memcpy(address.sun_path, config_.controlPath.c_str(), config_.controlPath.size() + 1);
        // A socket left by a simulator that was killed is replaced; any other file is kept.
        struct stat old {};
        if (::lstat(config_.controlPath.c_str(), &old) == 0 && S_ISSOCK(old.st_mode))
            ::unlink(config_.controlPath.c_str());
        controlFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (controlFd_ < 0 || ::bind(controlFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(controlFd_, 8) != 0) {
            const std::string why = std::strerror(errno);
            if (controlFd_ >= 0) ::close(controlFd_);
            controlFd_ = -1;
            return fail("cannot listen on the control socket " + config_.controlPath + ": " + why);
        }
    }
    return true;
}

std::string Simulator::ReadyLine() const {
    std::string line = "printer-sim ready";
    line += " tcp=" + (config_.tcpEnabled ? std::to_string(tcpPort_) : std::string("refused"));
    line += " probe=" + (config_.udpEnabled ? std::to_string(probePort_) : std::string("off"));
    line += " reply=" + config_.replyAddress + ":" + std::to_string(config_.replyPort);
    line += " printers=" + std::to_string(config_.udpEnabled ? config_.printers.size() : 0);
    if (!usb_.empty()) {
        line += " usb=";
        for (std::size_t i = 0; i < usb_.size(); ++i) line += (i ? "," : "") + usb_[i]->device.node;
    }
    if (config_.stall) line += " stall";
    if (config_.closeAfter)
        line += (config_.resetOnClose ? " reset-after=" : " close-after=") + std::to_string(*config_.closeAfter);
    if (config_.delayMs > 0) line += " delay=" + std::to_string(config_.delayMs);
    if (receipts_) line += " receipts=" + config_.receiptDir;
    if (controlFd_ >= 0) line += " control=" + config_.controlPath;
    if (condition_.Text() != "ready") {
        std::string state = condition_.Text();
        std::replace(state.begin(), state.end(), ' ', ',');
        line += " state=" + state;
    }
    return line;
}

bool Simulator::ReopenUsb(UsbPort& port) {
    if (port.readFd >= 0) ::close(port.readFd);
    port.readFd = ::open(port.device.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return port.readFd >= 0;
}

std::unique_ptr<Simulator::Stream> Simulator::NewStream(StreamKind kind, int fd, const std::string& name,
                                                        const std::string& from) {
    auto stream = std::make_unique<Stream>();
    stream->fd = fd;
    stream->kind = kind;
    stream->name = name;
    stream->bytes = std::make_unique<ByteStream>(kind, name, state_);
    if (receipts_) stream->bytes->PrintOn(*receipts_);
    stream->stalled = config_.stall;
    ++streamCount_;
    std::string event = "# " + name + " open";
    if (!from.empty()) event += " from " + from;
    if (!config_.rawDir.empty()) {
        char file[64];
        std::snprintf(file, sizeof file, "%04llu-%s.bin", static_cast<unsigned long long>(streamCount_),
                      kind == StreamKind::Tcp ? "tcp" : ("usb-" + name.substr(4)).c_str());
        const std::string path = config_.rawDir + "/" + file;
        stream->rawFd = OpenForAppend(path);
        event += " raw " + path;
    }
    if (stream->stalled) event += " (stalled)";
    if (kind == StreamKind::Tcp) stream->answerFd = fd;
    Emit(event);
    return stream;
}

void Simulator::AcceptTcp() {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int fd = ::accept4(tcpFd_, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // A printer answers each status request as it comes; without this the
    // second of several one-byte answers would wait for the host's delayed
    // acknowledgement of the first.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ++tcpCount_;
    tcp_.push_back(NewStream(StreamKind::Tcp, fd, "tcp " + std::to_string(tcpCount_), Address(from)));
}

void Simulator::WriteRaw(Stream& stream, const std::uint8_t* data, std::size_t length) {
    // The raw copies are a record for tests and people: a failed write loses
    // only the record, never what the printer took.
    if (rawFd_ >= 0) base::WriteAll(rawFd_, data, length);
    if (stream.rawFd >= 0) base::WriteAll(stream.rawFd, data, length);
}

std::size_t Simulator::Room(const Stream& stream) const {
    return config_.bufferSize - std::min(config_.bufferSize, stream.held);
}

void Simulator::EmitAll(const std::vector<std::string>& lines) {
    for (const auto& line : lines) Emit(line);
}

void Simulator::Take(Stream& stream, const std::uint8_t* data, std::size_t length) {
    WriteRaw(stream, data, length);
    stream.received += length;
    std::vector<StatusRequestFinder::Piece> pieces;
    stream.finder.Feed(ByteSpan(data, length), pieces);
    for (auto& piece : pieces) {
        stream.held += piece.data.size();
        stream.queue.push_back(std::move(piece));
    }
    Pump(stream);
    if (stream.held >= config_.bufferSize && !stream.full) {
        stream.full = true;
        Emit("# " + stream.name + " buffer full (" + std::to_string(stream.held) + " bytes held)");
    }
}

void Simulator::Pump(Stream& stream) {
    if (stream.stopped && stream.held > 0 && condition_.CanPrint()) {
        Emit("# " + stream.name + " prints " + std::to_string(stream.held) + " held bytes");
    }
    while (!stream.queue.empty()) {
        auto& piece = stream.queue.front();
        if (stream.frontDone < piece.data.size()) {
            if (!condition_.CanPrint()) break;
            std::size_t n = piece.data.size() - stream.frontDone;
            if (condition_.paperLeft) n = static_cast<std::size_t>(std::min<std::uint64_t>(n, *condition_.paperLeft));
            EmitAll(stream.bytes->Feed(ByteSpan(piece.data.data() + stream.frontDone, n)));
            stream.frontDone += n;
            stream.held -= n;
            std::vector<std::string> events;
            condition_.Use(n, events);
            EmitAll(events);
            continue;
        }
        const int request = piece.request;
        stream.queue.pop_front();
        stream.frontDone = 0;
        if (request) Answer(stream, request);
    }
    // Held data waits; the requests that came after it are answered now, as
    // a printer answers real-time requests on arrival.
    for (auto& piece : stream.queue) {
        if (piece.request) Answer(stream, std::exchange(piece.request, 0));
    }
    stream.stopped = stream.held > 0;
    if (stream.held < config_.bufferSize) stream.full = false;
}

void Simulator::PumpAll() {
    for (auto& stream : tcp_)
        if (stream->fd >= 0) Pump(*stream);
    for (auto& port : usb_)
        if (port->session) Pump(*port->session);
    EndDrained();
}

void Simulator::Answer(Stream& stream, int request) {
    const std::string what = "# status request " + std::to_string(request);
    const std::string on = " on " + stream.name;
    if (condition_.statusSilent) return Emit(what + " not answered" + on + " (status-silent)");
    if (stream.answerFd < 0) return Emit(what + " not answered" + on + " (no way back)");
    // A USB writer that has gone would leave its answers to the next one.
    if (stream.kind == StreamKind::Usb && stream.ending) return Emit(what + " not answered" + on + " (writer gone)");
    const std::uint8_t answer = protocol::StatusAnswer(request, condition_.Status());
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", answer);
    const ssize_t n = stream.kind == StreamKind::Tcp ? ::send(stream.answerFd, &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT)
                                                     : ::write(stream.answerFd, &answer, 1);
    if (n == 1) return Emit(what + " answered " + hex + on);
    Emit(what + " not answered" + on + " (" + (n < 0 ? std::strerror(errno) : "not taken") + ")");
}

void Simulator::Finish(Stream& stream, const std::string& why) {
    if (stream.ending) return;
    stream.ending = true;
    stream.endWhy = why;
    std::vector<StatusRequestFinder::Piece> rest;
    stream.finder.Finish(rest);
    for (auto& piece : rest) {
        stream.held += piece.data.size();
        stream.queue.push_back(std::move(piece));
    }
    Pump(stream);
}

void Simulator::EndDrained() {
    for (auto& stream : tcp_) {
        if (stream->fd >= 0 && stream->ending && stream->queue.empty()) EndStream(*stream, stream->endWhy);
    }
    for (auto& port : usb_) {
        if (port->session && port->session->ending && port->session->queue.empty()) {
            EndStream(*port->session, port->session->endWhy);
            port->session.reset();
        }
    }
}

// Reads what is there (at most the read size, the room in the receive buffer,
// and for TCP at most up to the close-after limit) and takes it. A TCP stream
// whose peer closed ends once what it holds is printed.
void Simulator::ReadStream(Stream& stream) {
    std::size_t want = std::min(config_.readSize, Room(stream));
    if (stream.kind == StreamKind::Tcp && config_.closeAfter) {
        const std::uint64_t left = *config_.closeAfter - std::min(*config_.closeAfter, stream.received);
        want = static_cast<std::size_t>(std::min<std::uint64_t>(want, left));
    }
    const bool limitReached = stream.kind == StreamKind::Tcp && config_.closeAfter &&
                              stream.received >= *config_.closeAfter;
    if (want == 0 && !limitReached) return;  // the buffer is full
    std::vector<std::uint8_t> buffer(std::max<std::size_t>(want, 1));
    ssize_t n = 0;
    if (want > 0) {
        n = ::read(stream.fd, buffer.data(), want);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    }
    if (n > 0) {
        Take(stream, buffer.data(), static_cast<std::size_t>(n));
        if (config_.delayMs > 0) stream.nextRead = Clock::now() + std::chrono::milliseconds(config_.delayMs);
    }
    if (stream.kind == StreamKind::Tcp) {
        if (config_.closeAfter && stream.received >= *config_.closeAfter) {
            if (config_.resetOnClose) {
                const linger reset{1, 0};  // close() sends a reset
                ::setsockopt(stream.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            Finish(stream, std::string(config_.resetOnClose ? "reset" : "closed") + " by the printer after " +
                               std::to_string(stream.received) + " bytes");
        } else if (n == 0) {
            Finish(stream, "closed");
        } else if (n < 0) {
            Finish(stream, std::string("failed: ") + std::strerror(errno));
        }
    }
}

void Simulator::EndStream(Stream& stream, const std::string& why) {
    // At exit, what is still held is decoded with the rest.
    std::vector<StatusRequestFinder::Piece> rest;
    stream.finder.Finish(rest);
    for (auto& piece : rest) stream.queue.push_back(std::move(piece));
    for (auto& piece : stream.queue) {
        if (stream.frontDone < piece.data.size())
            EmitAll(stream.bytes->Feed(ByteSpan(piece.data.data() + stream.frontDone, piece.data.size() - stream.frontDone)));
        stream.frontDone = 0;
    }
    stream.queue.clear();
    stream.held = 0;
    for (const auto& line : stream.bytes->Close()) Emit(line);
    if (stream.kind == StreamKind::Tcp && stream.fd >= 0) ::close(stream.fd);
    stream.fd = -1;
    if (stream.rawFd >= 0) ::close(stream.rawFd);
    stream.rawFd = -1;
    Emit("# " + stream.name + " " + why + " (" + std::to_string(stream.received) + " bytes)");
}

void Simulator::ServiceUsb(UsbPort& port, short revents) {
    const std::string name = "usb " + port.device.lp;
    if (revents & POLLIN) {
        if (port.session && Room(*port.session) == 0) return;  // the buffer is full
        if (!port.session) port.session = NewStream(StreamKind::Usb, port.readFd, name, port.device.node);
        port.session->fd = port.readFd;
        std::vector<std::uint8_t> buffer(std::min(config_.readSize, Room(*port.session)));
        const ssize_t n = ::read(port.readFd, buffer.data(), buffer.size());
        if (n > 0) {
            // A writer that comes while the last session still prints joins it.
            port.session->ending = false;
            Take(*port.session, buffer.data(), static_cast<std::size_t>(n));
            if (config_.delayMs > 0) port.session->nextRead = Clock::now() + std::chrono::milliseconds(config_.delayMs);
            return;
        }
        // EAGAIN: a writer still holds the node open.
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    } else if (!(revents & (POLLHUP | POLLERR))) {
        return;
    }
    // Every writer has closed the node and nothing is left: the session ends
    // once what it holds is printed.
    if (port.session && !port.session->ending) Finish(*port.session, "closed");
    ReopenUsb(port);
}

void Simulator::ServicePty(UsbPort& port, short revents) {
    if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
    if (port.session && Room(*port.session) == 0) return;  // the buffer is full
    const int master = port.device.master;
    std::vector<std::uint8_t> buffer(port.session ? std::min(config_.readSize, Room(*port.session)) : config_.readSize);
    const ssize_t n = ::read(master, buffer.data(), buffer.size());
    if (n > 0) {
        if (!port.session) port.session = NewStream(StreamKind::Usb, master, "usb " + port.device.lp, port.device.node);
        port.session->answerFd = master;
        port.session->ending = false;  // a writer that comes while the last session still prints joins it
        Take(*port.session, buffer.data(), static_cast<std::size_t>(n));
        if (config_.delayMs > 0) port.session->nextRead = Clock::now() + std::chrono::milliseconds(config_.delayMs);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;  // a writer holds the node open
    // EIO: every writer has closed the node and nothing is left. Answers the
    // last writer did not read are dropped, so the next starts afresh.
    if (!port.hangup || port.session) ResetPtySlave(port.device);
    port.hangup = true;
    if (port.session && !port.session->ending) Finish(*port.session, "closed");
}

void Simulator::AcceptControl() {
    const int fd = ::accept4(controlFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) controlClients_.push_back({fd, {}});
}

void Simulator::ServiceControl(std::size_t index) {
    ControlClient& client = controlClients_[index];
    char buffer[1024];
    const ssize_t n = ::read(client.fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        ::close(client.fd);
        client.fd = -1;
        return;
    }
    client.pending.append(buffer, static_cast<std::size_t>(n));
    bool changed = false;
    for (std::size_t end; (end = client.pending.find('\n')) != std::string::npos;) {
        std::string line = client.pending.substr(0, end);
        client.pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> events;
        const std::string reply = condition_.Apply(line, events) + "\n";
        EmitAll(events);
        changed = changed || !events.empty();
        ::send(client.fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (client.pending.size() > 4096) {
        const std::string reply = "error line too long\n";
        ::send(client.fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(client.fd);
        client.fd = -1;
    }
    if (changed) PumpAll();
}

void Simulator::HandleDatagram() {
    std::uint8_t buffer[2048];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(udpFd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n <= 0) return;
    // Our own replies come back when the reply port is the probe port: never answer them.
    if (ntohs(from.sin_port) == probePort_) return;
    const std::string sender = Address(from);
    const auto size = static_cast<std::size_t>(n);
    if (buffer[0] == 0x58) {
        AnswerProbe(sender, size);
    } else if (buffer[0] == 0x5A && size == protocol::kAddressSettingSize) {
        ApplyAddressSetting(buffer, sender);
    } else {
        Emit("udp from " + sender + ": " + HexBytes(ByteSpan(buffer, size)));
    }
}

void Simulator::AnswerProbe(const std::string& from, std::size_t length) {
    if (!config_.quietProbes) {
        Emit("probe from " + from + (length == protocol::kRecordSize ? "" : " (" + std::to_string(length) + " bytes)"));
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(config_.replyPort);
    ::inet_pton(AF_INET, config_.replyAddress.c_str(), &to.sin_addr);
    for (const auto& printer : config_.printers) {
        const auto& r = printer.record.bytes;
        const ssize_t sent =
            ::sendto(udpFd_, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (!config_.quietProbes) {
            Emit("# reply " + printer.record.ListLine() + " " + MacText(&r[2]) + " to " + Address(to) +
                 (sent == static_cast<ssize_t>(r.size()) ? "" : std::string(" failed: ") + std::strerror(errno)));
        }
    }
}

void Simulator::ApplyAddressSetting(const std::uint8_t* m, const std::string& from) {
    const std::string target = MacText(&m[19]);
    Emit("address setting for " + target + ": ip " + Ipv4Text(&m[1]) + " mask " + Ipv4Text(&m[5]) + " gateway " +
         Ipv4Text(&m[15]) + " mac " + MacText(&m[9]) + " (DHCP " + std::to_string(m[31]) + ") from " + from);
    bool applied = false;
    for (auto& printer : config_.printers) {
        auto& r = printer.record.bytes;
        if (!std::equal(r.begin() + 2, r.begin() + 8, m + 19)) continue;
        // The printer takes the new address and MAC; mask and gateway are not part of its record.
        std::copy(m + 1, m + 5, r.begin() + 14);
        std::copy(m + 9, m + 15, r.begin() + 2);
        applied = true;
        Emit("# printer " + target + " now " + printer.record.ListLine() + " " + MacText(&r[2]));
    }
    if (!applied) Emit("# no printer has the MAC " + target);
}

void Simulator::Run(int stopFd) {
    for (const auto& note : receiptNotes_) Emit(note);
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<std::function<void(short)>> handlers;
        const auto now = Clock::now();
        int timeout = -1;
        auto waitUntil = [&](Clock::time_point when) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
            const int wait = static_cast<int>(std::max<long long>(ms, 0));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        };
        fds.push_back({stopFd, POLLIN, 0});
        handlers.push_back([](short) {});
        if (tcpFd_ >= 0) {
            fds.push_back({tcpFd_, POLLIN, 0});
            handlers.push_back([this](short) { AcceptTcp(); });
        }
        if (udpFd_ >= 0) {
            fds.push_back({udpFd_, POLLIN, 0});
            handlers.push_back([this](short) { HandleDatagram(); });
        }
        if (controlFd_ >= 0) {
            fds.push_back({controlFd_, POLLIN, 0});
            handlers.push_back([this](short) { AcceptControl(); });
        }
        for (std::size_t i = 0; i < controlClients_.size(); ++i) {
            fds.push_back({controlClients_[i].fd, POLLIN, 0});
            handlers.push_back([this, i](short) { ServiceControl(i); });
        }
        for (auto& stream : tcp_) {
            if (stream->fd < 0 || stream->stalled || stream->ending || Room(*stream) == 0) continue;
            if (stream->nextRead > now) {
                waitUntil(stream->nextRead);
                continue;
            }
            fds.push_back({stream->fd, POLLIN, 0});
            Stream* s = stream.get();
            handlers.push_back([this, s](short) { ReadStream(*s); });
        }
        std::vector<UsbPort*> sessions;
        std::vector<UsbPort*> hungUp;
        for (auto& port : usb_) {
            if (config_.stall) continue;
            if (port->session && port->session->nextRead > now) {
                waitUntil(port->session->nextRead);
                continue;
            }
            if (port->session && Room(*port->session) == 0) continue;  // not reading while the buffer is full
            UsbPort* p = port.get();
            if (p->Pty()) {
                if (p->hangup) {
                    // No writer: a hung-up master polls as ready, so it is looked at now and then.
                    hungUp.push_back(p);
                    waitUntil(now + kSessionCheck);
                } else {
                    fds.push_back({p->device.master, POLLIN, 0});
                    handlers.push_back([this, p](short revents) { ServicePty(*p, revents); });
                }
                continue;
            }
            fds.push_back({port->readFd, POLLIN, 0});
            handlers.push_back([this, p](short revents) { ServiceUsb(*p, revents); });
            if (p->session) {
                // A writer that left before readFd was reopened raises no
                // hang-up on it: look for the end of the session by reading.
                sessions.push_back(p);
                waitUntil(now + kSessionCheck);
            }
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && fds[0].revents) break;
        for (std::size_t i = 1; ready > 0 && i < fds.size(); ++i) {
            if (fds[i].revents) handlers[i](fds[i].revents);
        }
        for (UsbPort* p : sessions) {
            if (p->session && p->session->nextRead <= Clock::now()) ServiceUsb(*p, POLLIN);
        }
        for (UsbPort* p : hungUp) {
            pollfd look{p->device.master, POLLIN, 0};
            if (::poll(&look, 1, 0) < 0) continue;
            if (!(look.revents & POLLHUP)) p->hangup = false;  // a writer opened the node
            // Data, or the end of a session whose writer came and went between two looks.
            const bool sessionLeft = (look.revents & POLLHUP) && p->session && !p->session->ending;
            if ((look.revents & POLLIN) || sessionLeft) ServicePty(*p, look.revents);
        }
        EndDrained();
        controlClients_.erase(std::remove_if(controlClients_.begin(), controlClients_.end(),
                                             [](const ControlClient& c) { return c.fd < 0; }),
                              controlClients_.end());
        tcp_.erase(std::remove_if(tcp_.begin(), tcp_.end(), [](const auto& s) { return s->fd < 0; }), tcp_.end());
    }
    Shutdown();
}

void Simulator::Shutdown() {
    for (auto& stream : tcp_) {
        if (stream->fd >= 0) EndStream(*stream, stream->ending ? stream->endWhy : "ended at exit");
    }
    tcp_.clear();
    for (auto& client : controlClients_) ::close(client.fd);
    controlClients_.clear();
    if (controlFd_ >= 0) {
        ::close(controlFd_);
        ::unlink(config_.controlPath.c_str());
    }
    controlFd_ = -1;
    for (auto it = usb_.rbegin(); it != usb_.rend(); ++it) {
        UsbPort& port = **it;
        // Bytes still in the node belong to the session.
        const int node = port.Pty() ? port.device.master : port.readFd;
        if (!config_.stall && node >= 0) {
            std::uint8_t buffer[4096];
            ssize_t n;
            while ((n = ::read(node, buffer, sizeof buffer)) > 0) {
                if (!port.session)
                    port.session = NewStream(StreamKind::Usb, node, "usb " + port.device.lp, port.device.node);
                WriteRaw(*port.session, buffer, static_cast<std::size_t>(n));
                port.session->received += static_cast<std::size_t>(n);
                std::vector<StatusRequestFinder::Piece> pieces;
                port.session->finder.Feed(ByteSpan(buffer, static_cast<std::size_t>(n)), pieces);
                for (auto& piece : pieces) port.session->queue.push_back(std::move(piece));
            }
        }
        if (port.session) {
            EndStream(*port.session, port.session->ending ? port.session->endWhy : "ended at exit");
            port.session.reset();
        }
        if (port.readFd >= 0) ::close(port.readFd);
        if (port.keeperFd >= 0) ::close(port.keeperFd);
        if (port.device.master >= 0) ::close(port.device.master);
        port.readFd = port.keeperFd = port.device.master = -1;
        RemoveUsbDevice(port.device);
    }
    usb_.clear();
    if (tcpFd_ >= 0) ::close(tcpFd_);
    if (udpFd_ >= 0) ::close(udpFd_);
    tcpFd_ = udpFd_ = -1;
    if (rawFd_ >= 0) ::close(rawFd_);
    rawFd_ = -1;
    if (log_) std::fclose(log_);
    log_ = nullptr;
}

}  // namespace sim
