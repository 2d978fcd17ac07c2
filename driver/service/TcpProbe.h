#pragma once
// Whether a network printer is there: a TCP connection to its port that is
// closed as soon as it is made (nothing is sent, so nothing prints). The
// connection is made without blocking: Start() begins it, the caller's
// poll() waits for POLLOUT on Fd() beside everything else until the
// deadline, and Finish() tells the outcome. A printer that does not answer
// within the deadline counts as away.
#include <chrono>
#include <cstdint>
#include <string>

namespace service {

class TcpProbe {
public:
    using Clock = std::chrono::steady_clock;
    enum class State { Waiting, Reached, Failed };

    // `host` is a numeric address (WatchedPrinter).
    TcpProbe(const std::string& host, std::uint16_t port, Clock::time_point deadline);
    ~TcpProbe();
    TcpProbe(const TcpProbe&) = delete;
    TcpProbe& operator=(const TcpProbe&) = delete;

    State Current() const { return state_; }
    int Fd() const { return fd_; }  // poll for POLLOUT while Waiting
    Clock::time_point Deadline() const { return deadline_; }
    // After poll() reported the descriptor, or once the deadline has passed.
    State Finish(Clock::time_point now);

private:
    void Close();
    int fd_ = -1;
    State state_ = State::Failed;
    Clock::time_point deadline_;
};

}  // namespace service
