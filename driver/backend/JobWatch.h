#pragma once
// Watches a print job from a thread of its own: SIGTERM (CUPS cancels the
// job) and device calls that take long (a printer that stops taking data:
// paper out, cover open, a full buffer).
//
// A cancel before any byte went to the printer stops the job at once. After
// that it lets the job finish what is in hand, so that the printer is never
// left inside a command: the rest of the filter's output (the driver ends a
// cancelled job at the end of a band, then closes its output) or the rest of
// the copy being sent. Only when that takes longer than `drain` is the stop
// event set, which ends the device call in progress.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "link/StopEvent.h"

namespace portmon {

// Writes one line for CUPS ("STATE: +offline-report", "INFO: ..."); called
// from the job's thread and the watch's thread.
using LogLine = std::function<void(const std::string& line)>;

class JobWatch {
public:
    struct Times {
        std::chrono::milliseconds stallReport{10000};  // a device call this long is reported
        std::chrono::milliseconds drain{10000};        // after SIGTERM, to finish what is in hand
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

    LogLine log_;
    Times times_;
    printer_link::StopEvent stop_;
    int signalFd_ = -1;
    int wakeFd_ = -1;

    mutable std::mutex mutex_;
    bool quit_ = false;
    bool writing_ = false;
    bool cancelled_ = false;
    Clock::time_point cancelledAt_{};
    bool busy_ = false;
    Clock::time_point busySince_{};
    bool stallReported_ = false;
    std::thread thread_;
};

}  // namespace portmon
