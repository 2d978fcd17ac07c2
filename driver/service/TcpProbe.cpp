#include "driver/service/TcpProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace service {

TcpProbe::TcpProbe(const std::string& host, std::uint16_t port, Clock::time_point deadline) : deadline_(deadline) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
    } else {
        return;  // Failed
    }
    fd_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        state_ = State::Reached;
        Close();
    } else if (errno == EINPROGRESS) {
        state_ = State::Waiting;
    } else {
        Close();
    }
}

TcpProbe::~TcpProbe() { Close(); }

void TcpProbe::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

TcpProbe::State TcpProbe::Finish(Clock::time_point now) {
    if (state_ != State::Waiting) return state_;
    pollfd ready{fd_, POLLOUT, 0};
    if (::poll(&ready, 1, 0) == 1) {
        int error = 0;
        socklen_t size = sizeof error;
        const bool made = ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        state_ = made ? State::Reached : State::Failed;
        Close();
    } else if (now >= deadline_) {
        state_ = State::Failed;
        Close();
    }
    return state_;
}

}  // namespace service
