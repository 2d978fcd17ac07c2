#pragma once
// Shared pieces of the printer link tests: a loopback TCP printer (which may
// reset its connections), and hex dumps so that byte mismatches are readable.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/Device.h"
#include "tests/support/HexMatch.h"

namespace linktest {

using testhex::Hex;

inline std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t first = 0) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

inline std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t n) {
    return {bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + n)};
}

inline double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

inline const char* OutcomeName(printer_link::Outcome outcome) {
    switch (outcome) {
        case printer_link::Outcome::Sent: return "sent";
        case printer_link::Outcome::OpenFailed:
        case printer_link::Outcome::BadUri:
        case printer_link::Outcome::NotFound:
        case printer_link::Outcome::NoPermission:
        case printer_link::Outcome::Busy:
        case printer_link::Outcome::Unsupported: return "open failed";
        case printer_link::Outcome::TimedOut: return "timed out";
        case printer_link::Outcome::Reset: return "reset";
        case printer_link::Outcome::Stopped: return "stopped";
    }
    return "?";
}

// A printer on 127.0.0.1, port chosen by the system. It records the bytes of
// every connection once that connection has ended. Constructed with
// listening = false the port is bound but refuses connections until Listen().
class LoopbackPrinter {
public:
    // resetAfter >= 0: each connection is reset after that many bytes.
    explicit LoopbackPrinter(bool listening = true, int backlog = 16, long resetAfter = -1)
        : resetAfter_(resetAfter) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        if (listening) Listen(backlog);
    }
    ~LoopbackPrinter() {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(stop_, &one, sizeof one);
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
        ::close(stop_);
    }
    void Listen(int backlog = 16) {
        ::listen(fd_, backlog);
        if (backlog > 0) thread_ = std::thread([this] { Serve(); });
    }
    std::uint16_t Port() const { return port_; }
    int Fd() const { return fd_; }
    std::vector<std::vector<std::uint8_t>> Connections() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return connections_;
    }
    bool WaitForConnections(std::size_t count, int timeoutMs) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return connections_.size() >= count; });
    }

private:
    bool Wait(int fd) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}};
        return ::poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN);
    }
    void Serve() {
        while (Wait(fd_)) {
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::vector<std::uint8_t> bytes;
            std::uint8_t buffer[65536];
            while ((resetAfter_ < 0 || static_cast<long>(bytes.size()) < resetAfter_) && Wait(client)) {
                std::size_t want = sizeof buffer;
                if (resetAfter_ >= 0) want = std::min(want, static_cast<std::size_t>(resetAfter_) - bytes.size());
                const ssize_t n = ::read(client, buffer, want);
                if (n <= 0) break;
                bytes.insert(bytes.end(), buffer, buffer + n);
            }
            if (resetAfter_ >= 0) {
                const linger reset{1, 0};
                ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            ::close(client);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                connections_.push_back(std::move(bytes));
            }
            changed_.notify_all();
        }
    }
    long resetAfter_ = -1;
    int fd_ = -1;
    int stop_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::vector<std::uint8_t>> connections_;
};

}  // namespace linktest

namespace printer_link {
inline void PrintTo(Outcome outcome, std::ostream* os) { *os << linktest::OutcomeName(outcome); }
}  // namespace printer_link
