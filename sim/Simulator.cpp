#include "sim/Simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "base/Io.h"

namespace sim {

struct Simulator::Stream {
    int fd = -1;
    StreamKind kind = StreamKind::Tcp;
    std::string name;  // "tcp 3", "usb lp0"
    std::unique_ptr<ByteStream> bytes;
    int rawFd = -1;
    Clock::time_point nextRead{};
    bool stalled = false;
};

// A fake USB printer. `keeperFd` holds the FIFO open for reading for the
// simulator's whole life, so that a writer can always open it and no byte is
// lost while `readFd` is reopened; `readFd` reports the end of each writer
// session (all writers gone), which ends the stream.
struct Simulator::UsbPort {
    UsbDevice device;
    int keeperFd = -1;
    int readFd = -1;
    std::unique_ptr<Stream> session;  // bytes since the last end of session
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
        if (!CreateUsbDevice(wanted, port->device, error)) return false;
        usb_.push_back(std::move(port));
        UsbPort& p = *usb_.back();
        p.keeperFd = ::open(p.device.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (p.keeperFd < 0 || !ReopenUsb(p)) {
            return fail("cannot open the FIFO " + p.device.node + ": " + std::strerror(errno));
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
    Emit(event);
    return stream;
}

void Simulator::AcceptTcp() {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int fd = ::accept4(tcpFd_, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    ++tcpCount_;
    tcp_.push_back(NewStream(StreamKind::Tcp, fd, "tcp " + std::to_string(tcpCount_), Address(from)));
}

void Simulator::WriteRaw(Stream& stream, const std::uint8_t* data, std::size_t length) {
    // The raw copies are a record for tests and people: a failed write loses
    // only the record, never what the printer took.
    if (rawFd_ >= 0) base::WriteAll(rawFd_, data, length);
    if (stream.rawFd >= 0) base::WriteAll(stream.rawFd, data, length);
}

// Reads what is there (at most the read size, and for TCP at most up to the
// close-after limit) and decodes it. A TCP stream whose peer closed ends here.
void Simulator::ReadStream(Stream& stream) {
    std::size_t want = config_.readSize;
    if (stream.kind == StreamKind::Tcp && config_.closeAfter) {
        const std::uint64_t left = *config_.closeAfter - std::min(*config_.closeAfter, stream.bytes->TotalBytes());
        want = static_cast<std::size_t>(std::min<std::uint64_t>(want, left));
    }
    std::vector<std::uint8_t> buffer(std::max<std::size_t>(want, 1));
    ssize_t n = 0;
    if (want > 0) {
        n = ::read(stream.fd, buffer.data(), want);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    }
    if (n > 0) {
        WriteRaw(stream, buffer.data(), static_cast<std::size_t>(n));
        for (const auto& line : stream.bytes->Feed(ByteSpan(buffer.data(), static_cast<std::size_t>(n)))) Emit(line);
        if (config_.delayMs > 0) stream.nextRead = Clock::now() + std::chrono::milliseconds(config_.delayMs);
    }
    if (stream.kind == StreamKind::Tcp) {
        if (config_.closeAfter && stream.bytes->TotalBytes() >= *config_.closeAfter) {
            if (config_.resetOnClose) {
                const linger reset{1, 0};  // close() sends a reset
                ::setsockopt(stream.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            EndStream(stream, std::string(config_.resetOnClose ? "reset" : "closed") + " by the printer after " +
                                  std::to_string(stream.bytes->TotalBytes()) + " bytes");
        } else if (n == 0) {
            EndStream(stream, "closed");
        } else if (n < 0) {
            EndStream(stream, std::string("failed: ") + std::strerror(errno));
        }
    }
}

void Simulator::EndStream(Stream& stream, const std::string& why) {
    for (const auto& line : stream.bytes->Close()) Emit(line);
    if (stream.kind == StreamKind::Tcp && stream.fd >= 0) ::close(stream.fd);
    stream.fd = -1;
    if (stream.rawFd >= 0) ::close(stream.rawFd);
    stream.rawFd = -1;
    Emit("# " + stream.name + " " + why + " (" + std::to_string(stream.bytes->TotalBytes()) + " bytes)");
}

void Simulator::ServiceUsb(UsbPort& port, short revents) {
    const std::string name = "usb " + port.device.lp;
    if (revents & POLLIN) {
        if (!port.session) port.session = NewStream(StreamKind::Usb, port.readFd, name, port.device.node);
        port.session->fd = port.readFd;
        std::vector<std::uint8_t> buffer(config_.readSize);
        const ssize_t n = ::read(port.readFd, buffer.data(), buffer.size());
        if (n > 0) {
            WriteRaw(*port.session, buffer.data(), static_cast<std::size_t>(n));
            for (const auto& line : port.session->bytes->Feed(ByteSpan(buffer.data(), static_cast<std::size_t>(n))))
                Emit(line);
            if (config_.delayMs > 0) port.session->nextRead = Clock::now() + std::chrono::milliseconds(config_.delayMs);
            return;
        }
        // EAGAIN: a writer still holds the node open.
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    } else if (!(revents & (POLLHUP | POLLERR))) {
        return;
    }
    // Every writer has closed the node and nothing is left: the session ends.
    if (port.session) {
        EndStream(*port.session, "closed");
        port.session.reset();
    }
    ReopenUsb(port);
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
        for (auto& stream : tcp_) {
            if (stream->fd < 0 || stream->stalled) continue;
            if (stream->nextRead > now) {
                waitUntil(stream->nextRead);
                continue;
            }
            fds.push_back({stream->fd, POLLIN, 0});
            Stream* s = stream.get();
            handlers.push_back([this, s](short) { ReadStream(*s); });
        }
        std::vector<UsbPort*> sessions;
        for (auto& port : usb_) {
            if (config_.stall) continue;
            if (port->session && port->session->nextRead > now) {
                waitUntil(port->session->nextRead);
                continue;
            }
            fds.push_back({port->readFd, POLLIN, 0});
            UsbPort* p = port.get();
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
        tcp_.erase(std::remove_if(tcp_.begin(), tcp_.end(), [](const auto& s) { return s->fd < 0; }), tcp_.end());
    }
    Shutdown();
}

void Simulator::Shutdown() {
    for (auto& stream : tcp_) {
        if (stream->fd >= 0) EndStream(*stream, "ended at exit");
    }
    tcp_.clear();
    for (auto it = usb_.rbegin(); it != usb_.rend(); ++it) {
        UsbPort& port = **it;
        if (port.session) {
            // Bytes still in the FIFO belong to the session.
            if (!config_.stall) {
                std::uint8_t buffer[4096];
                ssize_t n;
                while (port.readFd >= 0 && (n = ::read(port.readFd, buffer, sizeof buffer)) > 0) {
                    WriteRaw(*port.session, buffer, static_cast<std::size_t>(n));
                    for (const auto& line : port.session->bytes->Feed(ByteSpan(buffer, static_cast<std::size_t>(n))))
                        Emit(line);
                }
            }
            EndStream(*port.session, "ended at exit");
            port.session.reset();
        }
        if (port.readFd >= 0) ::close(port.readFd);
        if (port.keeperFd >= 0) ::close(port.keeperFd);
        port.readFd = port.keeperFd = -1;
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
