#pragma once
// Watches a print job from a thread of its own: SIGTERM (CUPS cancels the
// job) and device calls that take long (a printer that stops taking data:
// paper out, cover open, a full buffer).
//
// A device call that has taken nothing for `askAside` makes the watch ask the
// printer how it is without touching the job's stream (the job's "aside"
// question: a second connection, a port's status line), again every
// `askEvery` while the call lasts; what it answers is shown (StatusReport) and
// cleared when the call ends. A printer that says nothing about itself is
// reported as not taking data after `stallReport`.
//
// A cancel before any byte went to the printer stops the job at once. After
// that it lets the job finish what is in hand, so that the printer is never
// left inside a command: the rest of the filter's output (the driver ends a
// cancelled job at the end of a band, then closes its output) or the rest of
// the copy being sent. Only when that takes longer than `drain` is the stop
// event set, which ends the device call in progress.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "driver/backend/StatusReport.h"
#include "link/StopEvent.h"
#include "protocol/PrinterStatus.h"

namespace portmon {

// Asks the printer how it is while the job's stream is stuck; not known when
// it cannot say. Called from the watch's thread.
using AskAside = std::function<protocol::PrinterStatus()>;

class JobWatch {
public:
    struct Times {
        std::chrono::milliseconds stallReport{10000};  // a device call this long is reported
        std::chrono::milliseconds drain{10000};        // after SIGTERM, to finish what is in hand
        std::chrono::milliseconds askAside{1000};      // a device call this long makes the watch ask aside
        std::chrono::milliseconds askEvery{1000};      // and again this often while it lasts
    };
    // Blocks SIGTERM in the calling thread and receives it through a signalfd;
    // construct it before any other thread starts, so that every thread
    // inherits the mask.
    JobWatch(LogLine log, Times times);
    ~JobWatch();
    JobWatch(const JobWatch&) = delete;
    JobWatch& operator=(const JobWatch&) = delete;

    bool ok() const { return signalFd_ >= 0 && wakeFd_ >= 0; }
    const printer_link::StopEvent& Stop() const { return stop_; }
    bool CancelRequested() const;
    // What the job shows CUPS about the printer; the watch shows stalls there.
    StatusReport& Report() { return report_; }

    // How to ask the printer aside while a device call is stuck; empty: no
    // way. Setting it waits for a question in progress, so that whatever the
    // old one used may go away once this returns.
    void SetAskAside(AskAside ask);

    // Bytes are about to go to the printer: from now on a cancel lets the
    // job finish what is in hand.
    void Writing();
    // A device call starts / has ended. A stall reported in between is
    // cleared when it ends.
    void Busy();
    void Idle();

private:
    using Clock = std::chrono::steady_clock;
    void Run();
    void Wake();
    int PollTimeoutMs(Clock::time_point now) const;  // with mutex_ held
    // While a device call lasts: asks aside when it is time and shows what
    // the printer said. Called without mutex_ held.
    void WatchStall();

    LogLine log_;
    Times times_;
    StatusReport report_;
    printer_link::StopEvent stop_;
    int signalFd_ = -1;
    int wakeFd_ = -1;

    mutable std::mutex mutex_;
    bool quit_ = false;
    bool writing_ = false;
    bool cancelled_ = false;
    Clock::time_point cancelledAt_{};
    bool busy_ = false;
    std::uint64_t busyCount_ = 0;  // device calls begun: tells a stall from the next one
    Clock::time_point busySince_{};
    Clock::time_point nextAsk_{};
    bool stallReported_ = false;   // the report shows this call's stall

    std::mutex askMutex_;          // held while the question is asked
    AskAside ask_;
    bool canAsk_ = false;          // ask_ is set (read under mutex_)
    std::thread thread_;
};

}  // namespace portmon
