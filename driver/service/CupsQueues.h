#pragma once
// The service's side of CUPS: the queues and their jobs as IPP reports
// them, and the three operator requests it makes (Resume-Printer,
// Release-Job, Restart-Job), through libcups on the scheduler's local
// socket ($CUPS_SERVER, else the system's). cupsd grants the operator
// requests to root and to users the group database lists in a SystemGroup
// (lpadmin on Debian); see the README for what the unit runs as.
#include <optional>
#include <string>
#include <vector>

#include "driver/service/Recovery.h"

namespace service {

// Every request is bounded: a scheduler that takes no connection, or takes a
// request and never answers, fails it after kRequestLimit, and at once when
// the stop descriptor turns readable, so that the service stops in time
// whatever the scheduler does.
class CupsQueues {
public:
    static constexpr int kConnectLimitMs = 1000;
    static constexpr int kRequestLimitMs = 10000;

    // `stopFd` (the service's signalfd; -1 for none) is only polled, never read.
    explicit CupsQueues(int stopFd = -1) : stopFd_(stopFd) {}

    // Nullopt when the scheduler cannot be asked; `why` then holds its error.
    std::optional<std::vector<QueueStatus>> Queues(std::string* why);
    // The queue's jobs that are not done yet, and those it aborted.
    std::optional<std::vector<JobStatus>> Jobs(const std::string& queue, std::string* why);

    // "" when done; otherwise the scheduler's answer ("client-error-forbidden").
    std::string Resume(const std::string& queue);
    std::string Release(int job);
    std::string Restart(int job);

    // True once the stop descriptor is readable: requests fail at once.
    bool Stopping() const;

private:
    int stopFd_;
};

}  // namespace service
