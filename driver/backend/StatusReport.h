#pragma once
// What the port monitor tells CUPS about how the printer is: a set of
// printer-state-reasons (STATE: +... / -...), the queue's alert text
// (ATTR: printer-alert-description) and the job's message (INFO:). The set is
// changed as a whole, so that a reason it added is removed again when the
// printer no longer says so, and nothing stays behind at the end of a job.
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "link/Device.h"
#include "link/StatusQuery.h"
#include "protocol/PrinterStatus.h"

namespace portmon {

// Writes one line for CUPS ("STATE: +offline-report", "INFO: ..."); called
// from the job's thread and the watch's thread.
using LogLine = std::function<void(const std::string& line)>;

// One state to show: its reasons and its text (empty: nothing that keeps the
// printer from printing; the reasons are reports only, such as paper near end).
struct Condition {
    std::set<std::string> reasons;
    std::string text;
    bool operator==(const Condition&) const = default;
};

// What an answered status shows; nothing for a status that is not known.
Condition ConditionOf(const protocol::PrinterStatus& status);
// The facts of a status for a DEBUG line: "not known", "ready", or the list
// ("offline, paper out").
std::string StatusFacts(const protocol::PrinterStatus& status);
// A printer that takes no data and says nothing about why.
Condition NotTakingData();
// A USB port's status line read as a printer status (not known when the port
// cannot say); the device layer's.
using printer_link::FromPortStatus;

// Safe to call from the job's thread and the watch's thread.
class StatusReport {
public:
    explicit StatusReport(LogLine log) : log_(std::move(log)) {}

    // Shows `wanted` in place of what is shown: reasons no longer wanted are
    // removed, new ones added; a changed text goes to the alert and the job's
    // message, and when the text goes away `resumed` is said instead (when
    // not empty).
    void Show(const Condition& wanted, const std::string& resumed = "printing");
    // Removes everything this report set.
    void Clear(const std::string& resumed = "printing") { Show({}, resumed); }
    // What is shown now.
    Condition Shown() const;

private:
    LogLine log_;
    mutable std::mutex mutex_;
    Condition shown_;
};

}  // namespace portmon
