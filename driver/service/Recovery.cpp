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

RecoveryPlan PlanRecovery(const QueueStatus& queue, const std::vector<JobStatus>& jobs, std::time_t awaySince) {
    RecoveryPlan plan;
    bool stoppedForJob = false;
    for (const JobStatus& job : jobs) {
        switch (job.state) {
            case JobState::Held:
                if (Has(job, kWaitsForPrinter)) plan.release.push_back(job.id);
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
