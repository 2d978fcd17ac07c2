#include "printer-app/DeviceWatch.h"

#include <algorithm>

#include "printer-app/Condition.h"

namespace printer_app {

DeviceWatch::DeviceWatch(Ask ask, Times times) : ask_(std::move(ask)), times_(times) {
    thread_ = std::thread([this] { Run(); });
}

DeviceWatch::~DeviceWatch() { Shutdown(); }

void DeviceWatch::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void DeviceWatch::SetHooks(JobHooks hooks) {
    std::lock_guard<std::mutex> lock(hooksMutex_);
    const bool job = hooks.condition || hooks.cancelled;
    hooks_ = std::move(hooks);
    if (job) {
        stop_.Reset();
        shown_ = PAPPL_PREASON_NONE;
        fresh_ = true;
    }
}

bool DeviceWatch::HasHooks() const {
    std::lock_guard<std::mutex> lock(hooksMutex_);
    return hooks_.condition || hooks_.cancelled;
}

bool DeviceWatch::Cancelled() {
    bool cancelled = false;
    {
        std::lock_guard<std::mutex> lock(hooksMutex_);
        cancelled = hooks_.cancelled && hooks_.cancelled();
    }
    if (cancelled) stop_.Set();
    return cancelled;
}

void DeviceWatch::Show(pappl_preason_t reasons) {
    std::lock_guard<std::mutex> lock(hooksMutex_);
    // The first picture of a job replaces what the printer showed before it
    // (a paper out that has been put right meanwhile).
    const pappl_preason_t remove = fresh_ ? (kConditionReasons & ~reasons) : (shown_ & ~reasons);
    const pappl_preason_t add = fresh_ ? reasons : (reasons & ~shown_);
    fresh_ = false;
    shown_ = reasons;
    if ((add || remove) && hooks_.condition) hooks_.condition(add, remove);
}

void DeviceWatch::Resume(bool all) {
    std::lock_guard<std::mutex> lock(hooksMutex_);
    const pappl_preason_t remove = all ? shown_ : (shown_ & ~PAPPL_PREASON_MEDIA_LOW);
    if (!remove) return;
    shown_ &= ~remove;
    if (hooks_.condition) hooks_.condition(PAPPL_PREASON_NONE, remove);
}

pappl_preason_t DeviceWatch::Shown() const {
    std::lock_guard<std::mutex> lock(hooksMutex_);
    return shown_;
}

void DeviceWatch::Restart() {
    ++calls_;
    since_ = Clock::now();
    nextAsk_ = since_ + times_.askAside;
    nextCheck_ = since_ + times_.cancelCheck;
    longShown_ = false;
}

void DeviceWatch::Busy() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = true;
        Restart();
    }
    changed_.notify_all();
}

void DeviceWatch::Progress() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Restart();
        // Data flows: what a stall showed goes (paper near end stays).
        if (Stopped(Shown())) Resume(false);
    }
}

void DeviceWatch::Idle() {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
    ++calls_;
}

void DeviceWatch::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        if (!busy_) {
            changed_.wait(lock);
            continue;
        }
        const Clock::time_point now = Clock::now();
        const Clock::time_point longAt = since_ + times_.notTakingData;
        const bool isLong = now >= longAt;
        const bool askDue = ask_ && now >= nextAsk_;
        const bool longDue = isLong && !longShown_;
        const bool checkDue = now >= nextCheck_;
        if (!askDue && !longDue && !checkDue) {
            Clock::time_point wake = nextCheck_;
            if (ask_) wake = std::min(wake, nextAsk_);
            if (!longShown_) wake = std::min(wake, longAt);
            changed_.wait_until(lock, wake);
            continue;
        }
        const std::uint64_t call = calls_;
        if (checkDue) nextCheck_ = now + times_.cancelCheck;
        if (askDue) nextAsk_ = now + times_.askAside;
        // Outside the lock: a question takes up to a connection's and an
        // answer's wait, while the write may end meanwhile.
        lock.unlock();
        protocol::PrinterStatus status;
        if (!Cancelled() && askDue) status = ask_(stop_);
        lock.lock();
        // The write ended or took data while the printer was asked: what it
        // said is about a stall that is over.
        if (quit_ || !busy_ || calls_ != call || stop_.IsSet()) continue;
        if (!askDue && !longDue) continue;  // a cancel check only
        const pappl_preason_t shown = Shown();
        pappl_preason_t wanted = PAPPL_PREASON_NONE;
        if (status.known) {
            wanted = ReasonsOf(status);
            // It says it could print, yet it has taken nothing for long.
            if (isLong && !Stopped(wanted)) wanted |= PAPPL_PREASON_OFFLINE;
        } else if (longDue && !Stopped(shown)) {
            wanted = shown | PAPPL_PREASON_OFFLINE;  // says nothing and takes nothing
        } else {
            longShown_ = longShown_ || longDue;
            continue;  // nothing new: what is shown stays
        }
        longShown_ = longShown_ || isLong;
        // Under the lock, so that data that flows meanwhile clears it after.
        if (wanted != shown) Show(wanted);
    }
}

}  // namespace printer_app
