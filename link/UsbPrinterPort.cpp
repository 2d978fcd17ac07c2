#include "link/UsbPrinterPort.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <utility>

namespace printer_link {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, rounded up so that poll() never wakes
// early and spins; -1 (no limit) when the caller asked for no time-out.
int RemainingMs(bool bounded, Clock::time_point deadline) {
    if (!bounded) return -1;
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

enum class WaitResult { Writable, TimedOut, Stopped, Failed };

// Waits until the device takes more data (after a submitted write: until that
// write has completed), the stop event is set, or the deadline passes. The
// stop event wins when both are ready.
WaitResult WaitWritable(int fd, const StopEvent* stop, bool bounded, Clock::time_point deadline) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stop ? stop->Fd() : -1, POLLIN, 0}};
    const nfds_t count = stop ? 2 : 1;
    for (;;) {
        const int timeout = RemainingMs(bounded, deadline);
        const int r = ::poll(fds, count, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            return WaitResult::Failed;
        }
        if (count == 2 && (fds[1].revents & POLLIN)) return WaitResult::Stopped;
        if (fds[0].revents & POLLOUT) return WaitResult::Writable;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return WaitResult::Failed;
        if (r == 0 && timeout == 0) return WaitResult::TimedOut;
        // poll() returned early (timer slack or a spurious wake-up): wait on.
        if (bounded && Clock::now() >= deadline) return WaitResult::TimedOut;
    }
}

}  // namespace

const std::vector<std::string>& SettingsToolProductIds() {
    static const std::vector<std::string> ids = {"pid_5011", "pid_0055", "pid_0200", "pid_2016",
                                                 "pid_5743", "pid_0500", "pid_0600"};
    return ids;
}

const std::vector<std::string>& UpdateToolProductIds() {
    static const std::vector<std::string> ids(SettingsToolProductIds().begin(),
                                              SettingsToolProductIds().begin() + 6);
    return ids;
}

bool MatchesProductId(std::string_view identity, const std::vector<std::string>& productIds) {
    for (const auto& id : productIds)
        if (!id.empty() && identity.find(id) != std::string_view::npos) return true;
    return false;
}

CUsbPrinterPort::CUsbPrinterPort(UsbDeviceSource& source, const std::vector<std::string>& productIds)
    : source_(source), productIds_(productIds) {}

CUsbPrinterPort::~CUsbPrinterPort() { Close(); }

void CUsbPrinterPort::SetOpenedCallback(std::function<void(const std::string&)> callback) {
    opened_ = std::move(callback);
}

bool CUsbPrinterPort::Open() {
    Close();
    for (const UsbDeviceInfo& device : source_.Enumerate()) {
        // The identity and its terminating zero must fit the path buffer.
        if (device.path.size() >= kDevicePathBufferSize) continue;
        if (!MatchesProductId(device.path, productIds_)) continue;
        if (!source_.Probe(device)) continue;
        // A device that passes the probe but refuses the real open (busy,
        // no permission, gone meanwhile) is passed over like a refused probe.
        const int fd = source_.OpenReadWrite(device);
        if (fd < 0) continue;
        fd_ = fd;
        completesOnWrite_ = source_.CompletesOnWrite(fd);
        path_ = device.path;
        if (opened_) opened_(path_);
        return true;
    }
    return false;
}

bool CUsbPrinterPort::Write(const std::uint8_t* data, std::size_t length, std::size_t* written,
                            int timeoutMs) {
    if (written) *written = 0;
    if (fd_ < 0) return false;
    if (length == 0) return true;

    // A set stop event fails the write before anything is sent.
    if (stop_ && stop_->IsSet()) return false;

    const bool bounded = timeoutMs >= 0;
    Clock::time_point deadline{};
    bool waited = false;
    std::size_t accepted = 0;
    bool submitted = false;
    for (;;) {
        if (!submitted) {
            const ssize_t n = ::write(fd_, data, length);
            if (n >= 0) {
                accepted = static_cast<std::size_t>(n);
                submitted = true;
                if (completesOnWrite_) break;
            } else if (errno == EINTR) {
                continue;
            } else if (errno != EAGAIN) {
                return false;
            }
        }
        // Not submitted yet: wait for room and try again within the same
        // deadline. Submitted: wait until the device has taken the data.
        if (!waited) {
            // The deadline is only needed once a wait begins.
            deadline = Clock::now() + std::chrono::milliseconds(bounded ? timeoutMs : 0);
            waited = true;
        }
        switch (WaitWritable(fd_, stop_, bounded, deadline)) {
            case WaitResult::Writable:
                if (!submitted) continue;
                break;
            case WaitResult::TimedOut:
            case WaitResult::Stopped:
            case WaitResult::Failed:
                return false;
        }
        break;
    }
    if (written) *written = accepted;
    return true;
}

void CUsbPrinterPort::Close() {
    if (fd_ >= 0) {
        // Closing the node cancels what the device has not taken yet.
        ::close(fd_);
        fd_ = -1;
    }
    completesOnWrite_ = false;
    path_.clear();
}

}  // namespace printer_link
