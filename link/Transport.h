#pragma once
// What one scheme of the device layer provides: an open connection to a
// printer that takes one piece at a time within a deadline. The shared write
// path (Device::Write) cuts the bytes into pieces, gives each its deadline,
// watches the stop event and counts what was taken; a transport only moves
// bytes and waits.
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "link/Device.h"

namespace printer_link {

// A piece's time limit. It runs from the first moment the piece has to wait
// (the device has no room, or a transfer is under way), so that a piece the
// device takes at once costs no clock reading.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;
    // `ms` < 0: no limit.
    static Deadline After(int ms) {
        Deadline d;
        d.ms_ = ms;
        return d;
    }
    bool Bounded() const { return ms_ >= 0; }
    bool Passed() const { return Bounded() && Clock::now() >= At(); }
    // Milliseconds left for poll(): rounded up so that it never wakes early
    // and spins, 0 once passed, -1 without limit.
    int PollMs() const;

private:
    Clock::time_point At() const {
        if (!started_) {
            at_ = Clock::now() + std::chrono::milliseconds(ms_);
            started_ = true;
        }
        return at_;
    }
    int ms_ = -1;
    mutable bool started_ = false;
    mutable Clock::time_point at_{};
};

struct PieceResult {
    Outcome outcome = Outcome::Sent;
    int error = 0;
    std::size_t taken = 0;  // bytes of the piece the device took, also when the outcome is a failure
};

class Transport {
public:
    explicit Transport(std::string node) : node_(std::move(node)) {}
    virtual ~Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Hands up to `length` bytes to the device and waits until it took them,
    // the deadline passed or `stop` (may be null) was set. A device may take
    // part of a piece; the caller offers the rest again.
    virtual PieceResult Write(const std::uint8_t* data, std::size_t length, const Deadline& deadline,
                              const StopEvent* stop) = 0;
    // True where a taken piece is with the printer already; false where the
    // printer confirms only at Finish (a socket's buffer, a tty's queue).
    virtual bool ConfirmsPieces() const { return true; }
    // Waits until the printer has confirmed every piece taken so far and keeps
    // the connection open (a socket's send queue acknowledged, a tty's queue
    // drained). Transports that confirm pieces as they go have nothing to wait for.
    virtual PieceResult Flush(const Deadline& deadline, const StopEvent* stop) {
        (void)deadline;
        (void)stop;
        return {};
    }
    // After the last piece: waits until the printer has confirmed everything.
    virtual PieceResult Finish(const Deadline& deadline, const StopEvent* stop) {
        (void)deadline;
        (void)stop;
        return {};
    }
    // Reads up to `capacity` bytes the printer sent back, waiting for the
    // first within the deadline; `taken` holds the bytes read.
    virtual PieceResult Read(std::uint8_t* data, std::size_t capacity, const Deadline& deadline,
                             const StopEvent* stop) {
        (void)data;
        (void)capacity;
        (void)deadline;
        (void)stop;
        return {Outcome::Unsupported, 0, 0};
    }
    virtual bool CanRead() const { return false; }
    virtual DeviceStatus Status() const { return {}; }
    const std::string& Node() const { return node_; }

private:
    std::string node_;
};

struct OpenedTransport {
    std::unique_ptr<Transport> transport;  // null when the open failed
    Result failure;
    std::string identity;  // usb: the identity string of the printer opened
};

// A failed open of a kind the entry knows (a URI that names no device, no
// printer found), with the error number as detail.
inline OpenedTransport OpenFailure(Outcome kind, int error, std::string node) {
    OpenedTransport failed;
    failed.failure.outcome = kind;
    failed.failure.error = error;
    failed.failure.node = std::move(node);
    return failed;
}

// The kind of a failed open the system reported with `error`: no rights, held
// by another program, or otherwise not reachable.
constexpr Outcome OpenFailureKind(int error) {
    if (error == EACCES || error == EPERM) return Outcome::NoPermission;
    if (error == EBUSY) return Outcome::Busy;
    return Outcome::OpenFailed;
}

// A failed open as the system reported it.
inline OpenedTransport OpenFailure(int error, std::string node) {
    return OpenFailure(OpenFailureKind(error), error, std::move(node));
}

// Waits for `events` on `fd` beside the stop event (either may be absent:
// fd < 0, stop null). Errors and hang-ups on fd count as ready; the next
// call on it tells what they are.
enum class Ready { Yes, TimedOut, Stopped, Failed };
Ready WaitFor(int fd, short events, const Deadline& deadline, const StopEvent* stop);

// An errno after a failed write, as an outcome: the device is gone or the
// connection was dropped.
PieceResult Dropped(int error);

}  // namespace printer_link
