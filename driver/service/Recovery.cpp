#include "driver/service/Recovery.h"

#include <algorithm>

namespace service {
namespace {

// cupsd's reason for a job the backend asked to retry later (and for the
// job that waits in a queue the backend stopped).
constexpr const char* kWaitsForPrinter = "resources-are-not-ready";

bool Has(const JobStatus& job, const char* reason) {
    return std::find(job.reasons.begin(), job.reasons.end(), reason) != job.reasons.end();
}

}  // namespace

std::vector<int> HeldForPrinter(const std::vector<JobStatus>& jobs) {
    std::vector<int> held;
    for (const JobStatus& job : jobs)
        if (job.state == JobState::Held && Has(job, kWaitsForPrinter)) held.push_back(job.id);
    return held;
}

bool TakesHeldJobs(const protocol::PrinterStatus& status) { return !status.known || status.Ready(); }

std::string WhyNotReady(const protocol::PrinterStatus& status) {
    if (!status.known) return "";
    std::string why;
    const auto add = [&](bool holds, const char* what) {
        if (holds) why += (why.empty() ? "" : ", ") + std::string(what);
    };
    add(status.paperOut, "paper out");
    add(status.coverOpen, "cover open");
    add(status.cutterError, "cutter error");
    add(status.unrecoverableError, "unrecoverable error");
    add(status.recoverableError, "recoverable error");
    // Offline follows from each of those; alone it is the printer's own state.
    if (why.empty() && !status.online) why = "offline";
    return why;
}

bool HeldJobLook::Worth(const QueueStatus& queue) const {
    // Printing: the port monitor is at the printer, and a job it gives up on
    // changes the queue's state.
    if (queue.queuedJobs <= 0 || queue.state == QueueState::Processing) return false;
    return settled_ != KeyOf(queue);
}

void HeldJobLook::Looked(const QueueStatus& queue, bool settled) {
    if (settled) settled_ = KeyOf(queue);
    else settled_.reset();
}

RecoveryPlan PlanRecovery(const QueueStatus& queue, const std::vector<JobStatus>& jobs, std::time_t awaySince) {
    RecoveryPlan plan;
    plan.release = HeldForPrinter(jobs);
    bool stoppedForJob = false;
    for (const JobStatus& job : jobs) {
        switch (job.state) {
            case JobState::Held:
                break;
            case JobState::Pending:
                // cupsd puts the job the port monitor stopped the queue for
                // back in it, with the time it began processing; a job that
                // never began, or began after the stop, waits for whoever
                // stopped the queue.
                stoppedForJob = stoppedForJob || Has(job, kWaitsForPrinter) ||
                                (job.lastActive > 0 && job.lastActive <= queue.stateChanged);
                break;
            case JobState::Stopped:
            case JobState::Aborted:
                if (job.lastActive >= awaySince) plan.restart.push_back(job.id);
                break;
            case JobState::Processing:
            case JobState::Canceled:
            case JobState::Completed:
                break;
        }
    }
    // Times are whole seconds: a queue stopped in the second the printer was
    // last seen may have been stopped by someone while it was there.
    plan.resumeQueue = queue.state == QueueState::Stopped && (queue.stateChanged > awaySince || stoppedForJob);
    return plan;
}

Presence::Reported Presence::Report(bool present, std::time_t now) {
    Reported reported;
    reported.awaySince = lastSeen_;
    if (present_ && *present_ != present) reported.change = present ? Change::Back : Change::Gone;
    present_ = present;
    if (present) lastSeen_ = now;
    return reported;
}

}  // namespace service
