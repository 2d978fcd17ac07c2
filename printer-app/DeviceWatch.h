#pragma once
// Watches the writes of one open device from a thread of its own, as the job
// waits for a printer that takes nothing: a write that has taken nothing for
// `askAside` makes it ask the printer how it is without touching the job's
// stream (a second connection, a port's status line), again every `askAside`
// while the write lasts, and show the answer on the job's printer through the
// job's hooks. A write that has taken nothing for `notTakingData` with no
// cause known shows the printer offline. What a stuck write showed goes away
// once data flows again. A job cancelled meanwhile sets the stop event, which
// ends the write.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "link/StopEvent.h"
#include "printer-app/Devices.h"
#include "protocol/PrinterStatus.h"

namespace printer_app {

class DeviceWatch {
public:
    // Asks the printer aside, giving up when `stop` is set; not known when it
    // cannot say. Called from the watch's thread while a write is stuck.
    using Ask = std::function<protocol::PrinterStatus(const printer_link::StopEvent& stop)>;
    struct Times {
        std::chrono::milliseconds askAside{1000};
        std::chrono::milliseconds notTakingData{10000};
        std::chrono::milliseconds cancelCheck{100};  // how often a stuck write asks whether the job was cancelled
    };

    DeviceWatch(Ask ask, Times times);
    ~DeviceWatch();  // Shutdown()
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Ends the thread; no question is asked after it returns.
    void Shutdown();

    // The job's hooks; setting them waits for a hook call in progress. New
    // (non-empty) hooks start a job: the stop event is reset, and the first
    // condition shown replaces whatever the printer showed before.
    void SetHooks(JobHooks hooks);
    bool HasHooks() const;
    // The job's cancelled() (false without hooks); a cancelled job also sets
    // the stop event.
    bool Cancelled();
    const printer_link::StopEvent& Stop() const { return stop_; }

    // Shows `reasons` on the job's printer in place of what this device
    // showed (reasons added, and removed again when no longer wanted).
    void Show(pappl_preason_t reasons);
    // Removes what this device showed: `all` at the job's end, else only the
    // reasons that stop the printer (data flows again; paper near end stays).
    void Resume(bool all);
    pappl_preason_t Shown() const;

    // A write starts, has taken data, has ended.
    void Busy();
    void Progress();
    void Idle();

private:
    using Clock = std::chrono::steady_clock;
    void Run();
    void Restart();  // with mutex_ held: a stall starts from now

    Ask ask_;
    Times times_;
    printer_link::StopEvent stop_;

    mutable std::mutex hooksMutex_;  // held while a hook is called
    JobHooks hooks_;
    pappl_preason_t shown_ = PAPPL_PREASON_NONE;
    bool fresh_ = true;  // nothing shown since the hooks were set

    // Taken before hooksMutex_ where both are held.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool quit_ = false;
    bool busy_ = false;
    std::uint64_t calls_ = 0;  // changes of busy_ and progress: tells a stall from the next one
    Clock::time_point since_{};    // the write's last progress
    Clock::time_point nextAsk_{};
    Clock::time_point nextCheck_{};
    bool longShown_ = false;   // this stall was shown as a long one
    std::thread thread_;
};

}  // namespace printer_app
