#include "driver/backend/JobWatch.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdint>

namespace portmon {

JobWatch::JobWatch(LogLine log, Times times) : log_(std::move(log)), times_(times), report_(log_) {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &term, nullptr);
    signalFd_ = ::signalfd(-1, &term, SFD_CLOEXEC | SFD_NONBLOCK);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ok()) thread_ = std::thread([this] { Run(); });
}

JobWatch::~JobWatch() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    Wake();
    if (thread_.joinable()) thread_.join();
    if (signalFd_ >= 0) ::close(signalFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool JobWatch::CancelRequested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
}

void JobWatch::SetAskAside(AskAside ask) {
    std::lock_guard<std::mutex> asking(askMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    canAsk_ = static_cast<bool>(ask);
    ask_ = std::move(ask);
}

void JobWatch::Writing() {
    std::lock_guard<std::mutex> lock(mutex_);
    writing_ = true;
}

void JobWatch::Busy() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = true;
        ++busyCount_;
        busySince_ = Clock::now();
        nextAsk_ = busySince_ + times_.askAside;
    }
    Wake();
}

void JobWatch::Idle() {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
    ++busyCount_;
    if (!stallReported_) return;
    stallReported_ = false;
    report_.Clear("printing");
}

void JobWatch::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

int JobWatch::PollTimeoutMs(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    if (busy_ && !stallReported_) next = std::min(next, busySince_ + times_.stallReport);
    if (busy_ && canAsk_) next = std::min(next, nextAsk_);
    if (cancelled_ && !stop_.IsSet()) next = std::min(next, cancelledAt_ + times_.drain);
    if (next == Clock::time_point::max()) return -1;
    if (next <= now) return 0;
    // Rounded up, so that the wait never ends just before the moment.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}

void JobWatch::Run() {
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (quit_) return;
            timeout = PollTimeoutMs(Clock::now());
        }
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        ::poll(fds, 2, timeout);
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        bool terminated = false;
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) terminated = true;
        }

        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (quit_) return;
            const Clock::time_point now = Clock::now();
            if (terminated && !cancelled_) {
                cancelled_ = true;
                cancelledAt_ = now;
                if (writing_) {
                    log_("DEBUG: job cancelled; finishing what is in hand");
                } else {
                    log_("DEBUG: job cancelled before printing");
                    stop_.Set();
                }
            }
            if (cancelled_ && !stop_.IsSet() && now >= cancelledAt_ + times_.drain) {
                log_("DEBUG: the rest of the cancelled job took too long; stopping");
                stop_.Set();
            }
        }
        WatchStall();
    }
}

void JobWatch::WatchStall() {
    std::uint64_t call = 0;
    bool ask = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!busy_ || stop_.IsSet()) return;
        call = busyCount_;
        const Clock::time_point now = Clock::now();
        const bool reportDue = !stallReported_ && now >= busySince_ + times_.stallReport;
        // A stall about to be reported is reported with a fresh answer.
        ask = canAsk_ && (now >= nextAsk_ || reportDue);
        if (!ask && !reportDue) return;
    }
    protocol::PrinterStatus status;
    if (ask) {
        // Outside mutex_: the question takes up to a connection's and an
        // answer's wait, while the job's thread may end its call meanwhile.
        std::lock_guard<std::mutex> asking(askMutex_);
        if (ask_) status = ask_();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    if (ask) nextAsk_ = now + times_.askEvery;
    // The call ended (or another began) while the printer was asked: what it
    // said is about a stall that is over.
    if (!busy_ || busyCount_ != call || stop_.IsSet()) return;
    const bool isLong = now >= busySince_ + times_.stallReport;
    Condition wanted = ConditionOf(status);
    if (!status.known) {
        // Nothing new: what is shown stays, else a long stall is shown as one.
        if (stallReported_ || !isLong) return;
        wanted = NotTakingData();
    } else if (wanted.text.empty()) {
        // The printer says it could print: a stall is still one once long.
        if (isLong) {
            const Condition stalled = NotTakingData();
            wanted.reasons.insert(stalled.reasons.begin(), stalled.reasons.end());
            wanted.text = stalled.text;
        } else if (!stallReported_) {
            return;
        }
    }
    stallReported_ = true;
    report_.Show(wanted);
}

}  // namespace portmon
