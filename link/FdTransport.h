#pragma once
// The transport over a file descriptor that the usb (usblp node), serial,
// parallel, file and socket schemes share: non-blocking writes that wait for
// room within the piece's deadline, and, where the descriptor has a way back,
// non-blocking reads that wait for the first byte within the deadline.
#include <fcntl.h>
#include <linux/lp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>

#include "link/Transport.h"

namespace printer_link {

// A transport that writes to a descriptor opened with O_NONBLOCK. A write the
// device has no room for waits for room within the piece's deadline.
class FdTransport : public Transport {
public:
    enum class Completion {
        OnWrite,     // bytes are taken when write() returns (files, FIFOs, sockets, ttys)
        OnWritable,  // write() starts a transfer; the node turns writable once the printer took it (usblp)
    };
    enum class Way {
        Out,   // nothing comes back (a plain file, a FIFO, a parallel port)
        Both,  // the printer's answers are read from the same descriptor
    };
    FdTransport(int fd, std::string node, Completion completion, bool hasStatus, Way way = Way::Out)
        : Transport(std::move(node)),
          fd_(fd),
          completion_(completion),
          hasStatus_(hasStatus),
          way_(way),
          // read() returning 0 is the other side's end on a tty (a hang-up),
          // a socket (its close); a usblp node returns 0 for a zero-length answer.
          endOnEmpty_(completion == Completion::OnWrite || ::isatty(fd) == 1) {}
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

    bool CanRead() const override { return way_ == Way::Both; }

    // Reads what is there; when nothing is, waits for it within the deadline.
    // An end of input (a hang-up, the peer's close) or a failed read is Reset.
    PieceResult Read(std::uint8_t* data, std::size_t capacity, const Deadline& deadline,
                     const StopEvent* stop) override {
        if (way_ != Way::Both) return {Outcome::Unsupported, 0, 0};
        if (capacity == 0) return {};
        bool saidFailed = false;
        // A read that may wait looks with poll() first: an answer is rarely
        // there the moment the request went out. A look without waiting reads
        // at once (and learns that a usblp printer without a way back refuses).
        const bool look = deadline.Bounded() && deadline.PollMs() == 0;
        if (!look) {
            switch (WaitFor(fd_, POLLIN, deadline, stop)) {
                case Ready::Yes:
                    break;
                case Ready::Failed:
                    saidFailed = true;
                    break;
                case Ready::TimedOut:
                    return {Outcome::TimedOut, 0, 0};
                case Ready::Stopped:
                    return {Outcome::Stopped, 0, 0};
            }
        }
        for (;;) {
            const ssize_t n = Get(data, capacity);
            if (n > 0) return {Outcome::Sent, 0, static_cast<std::size_t>(n)};
            if (n == 0 && endOnEmpty_) return Dropped(0);
            if (n == 0) {
                // A zero-length answer: nothing this time, wait on.
                if (deadline.Passed()) return {Outcome::TimedOut, 0, 0};
                if (Pause(deadline, stop) == Ready::Stopped) return {Outcome::Stopped, 0, 0};
                continue;
            }
            if (errno == EINTR) continue;
            // A usblp printer without a way back refuses reads.
            if (errno == EINVAL) return {Outcome::Unsupported, 0, 0};
            if (errno != EAGAIN && errno != EWOULDBLOCK) return Dropped(errno);
            // An error or hang-up that the read does not report.
            if (saidFailed) return Dropped(PendingError());
            if (look || deadline.Passed()) return {Outcome::TimedOut, 0, 0};
            switch (WaitFor(fd_, POLLIN, deadline, stop)) {
                case Ready::Yes:
                    continue;
                case Ready::Failed:  // the read tells what the hang-up or error is
                    saidFailed = true;
                    continue;
                case Ready::TimedOut:
                    return {Outcome::TimedOut, 0, 0};
                case Ready::Stopped:
                    return {Outcome::Stopped, 0, 0};
            }
        }
    }

    // The port's status ioctl. Safe beside a Write, Flush or Read on another
    // thread: it touches no state of the transport but the descriptor.
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
    virtual ssize_t Get(std::uint8_t* data, std::size_t capacity) { return ::read(fd_, data, capacity); }
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
    Way way_;
    bool endOnEmpty_;
};

}  // namespace printer_link
