#include "driver/backend/StatusReport.h"

namespace portmon {

Condition ConditionOf(const protocol::PrinterStatus& status) {
    Condition c;
    if (!status.known) return c;
    // The first cause found names the state; every cause adds its reason.
    const auto cause = [&c](bool present, const char* reason, const char* text) {
        if (!present) return;
        c.reasons.insert(reason);
        if (c.text.empty()) c.text = text;
    };
    cause(status.coverOpen, "cover-open-error", "cover open");
    cause(status.paperOut, "media-empty-error", "paper out");
    // An auto-cutter that stops is most often paper caught in it.
    cause(status.cutterError, "media-jam-error", "cutter error");
    cause(status.unrecoverableError, "other-error", "printer error");
    // Recovers by itself (a print head too hot): the job waits meanwhile.
    cause(status.recoverableError, "other-warning", "printer error, recovering");
    // Offline on its own (a feed button held, a printer taken offline).
    cause(!status.online && c.text.empty(), "offline-report", "printer offline");
    // Paper near its end still prints: a report, no text.
    if (status.paperNearEnd) c.reasons.insert("media-low-report");
    return c;
}

std::string StatusFacts(const protocol::PrinterStatus& status) {
    if (!status.known) return "not known";
    std::string facts;
    const auto fact = [&facts](bool present, const char* name) {
        if (present) facts += (facts.empty() ? "" : ", ") + std::string(name);
    };
    fact(!status.online, "offline");
    fact(status.coverOpen, "cover open");
    fact(status.paperOut, "paper out");
    fact(status.paperNearEnd, "paper near end");
    fact(status.drawerOpen, "drawer open");
    fact(status.cutterError, "cutter error");
    fact(status.unrecoverableError, "unrecoverable error");
    fact(status.recoverableError, "recoverable error");
    return facts.empty() ? "ready" : facts;
}

Condition NotTakingData() { return Condition{{"offline-report"}, "printer not taking data"}; }

void StatusReport::Show(const Condition& wanted, const std::string& resumed) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& reason : shown_.reasons)
        if (!wanted.reasons.count(reason)) log_("STATE: -" + reason);
    for (const std::string& reason : wanted.reasons)
        if (!shown_.reasons.count(reason)) log_("STATE: +" + reason);
    if (wanted.text != shown_.text) {
        log_("ATTR: printer-alert-description='" + wanted.text + "'");
        if (!wanted.text.empty())
            log_("INFO: " + wanted.text);
        else if (!resumed.empty())
            log_("INFO: " + resumed);
    }
    shown_ = wanted;
}

Condition StatusReport::Shown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}

}  // namespace portmon
