#pragma once
// What the service does for a queue whose printer came back, decided from
// the queue's and its jobs' states alone (no CUPS here), and the presence
// record of a printer that tells when it went away.
//
// While a printer is away the port monitor exits "retry later": cupsd holds
// the job (job-state-reasons resources-are-not-ready) for JobRetryInterval,
// and after JobRetryLimit tries aborts it; a device that refuses the port
// monitor stops the queue. When the printer is back:
//   - held jobs that wait for a retry are released; a job a user held stays held;
//   - jobs aborted or stopped while the printer was away are restarted;
//   - a stopped queue is resumed when it stopped after the printer was last
//     seen, or when the port monitor stopped it for a job that waits in it (a
//     pending job that began processing before the stop); a queue an
//     administrator stopped while the printer was there stays stopped.
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "protocol/PrinterStatus.h"

namespace service {

// IPP printer-state and job-state values.
enum class QueueState { Idle = 3, Processing = 4, Stopped = 5 };
enum class JobState { Pending = 3, Held = 4, Processing = 5, Stopped = 6, Canceled = 7, Aborted = 8, Completed = 9 };

struct QueueStatus {
    std::string name;
    std::string deviceUri;
    QueueState state = QueueState::Idle;
    std::time_t stateChanged = 0;  // printer-state-change-time
    int queuedJobs = 0;            // queued-job-count: pending, held and printing jobs
};

struct JobStatus {
    int id = 0;
    JobState state = JobState::Pending;
    std::vector<std::string> reasons;  // job-state-reasons
    std::time_t lastActive = 0;        // the later of time-at-processing and time-at-completed
};

struct RecoveryPlan {
    bool resumeQueue = false;
    std::vector<int> release;  // held jobs
    std::vector<int> restart;  // aborted or stopped jobs
    bool Empty() const { return !resumeQueue && release.empty() && restart.empty(); }
};

// `awaySince`: the last moment the printer was known to be there (or when
// the service began to watch it, if it never was).
RecoveryPlan PlanRecovery(const QueueStatus& queue, const std::vector<JobStatus>& jobs, std::time_t awaySince);

// The held jobs that wait for the printer (a retry the port monitor asked
// for); jobs a user held are not among them.
std::vector<int> HeldForPrinter(const std::vector<JobStatus>& jobs);

// Whether the jobs held for a printer that is there may go to it: a printer
// that tells it cannot print now (paper out, cover open, offline, an error)
// keeps them; one that does not tell (no status support, no way back) takes
// them, as it always did.
bool TakesHeldJobs(const protocol::PrinterStatus& status);
// What keeps a printer from printing, for log lines: "paper out",
// "cover open, offline"; "" when nothing does or nothing is known.
std::string WhyNotReady(const protocol::PrinterStatus& status);

// Whether to look at a queue's jobs after a report that its printer is there,
// though the printer was not seen coming back: a printer that was away
// between two probes, or already there when the service began, may have a
// job held for it. The look costs one request to the scheduler, so it is
// made only when the queue holds jobs, is not printing, and has changed
// (its job count, its state or the time of that) since a look that found no
// job held for the printer.
class HeldJobLook {
public:
    bool Worth(const QueueStatus& queue) const;
    // `settled`: the look found nothing to release; until the queue changes,
    // no further look. Otherwise (jobs released, or kept for a printer that
    // is not ready) the next report looks again.
    void Looked(const QueueStatus& queue, bool settled);

private:
    struct Key {
        int queuedJobs;
        QueueState state;
        std::time_t stateChanged;
        bool operator==(const Key&) const = default;
    };
    static Key KeyOf(const QueueStatus& queue) { return {queue.queuedJobs, queue.state, queue.stateChanged}; }
    std::optional<Key> settled_;
};

// One printer's presence as the probes and hot-plug checks report it.
class Presence {
public:
    enum class Change { None, Gone, Back };
    struct Reported {
        Change change = Change::None;
        std::time_t awaySince = 0;  // Back: the last report of presence before the absence
    };
    explicit Presence(std::time_t now) : lastSeen_(now) {}

    // The first report only sets the state.
    Reported Report(bool present, std::time_t now);
    std::optional<bool> Present() const { return present_; }

private:
    std::optional<bool> present_;
    std::time_t lastSeen_;
};

}  // namespace service
