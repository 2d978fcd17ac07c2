#include "driver/service/CupsQueues.h"

#include <cups/cups.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>

namespace service {
namespace {

using Response = std::unique_ptr<ipp_t, decltype(&ippDelete)>;

// "client-error-forbidden (Forbidden)": the status and, where it says more, the text.
std::string LastError() {
    std::string text = ippErrorString(cupsLastError());
    const char* detail = cupsLastErrorString();
    if (detail && *detail && text != detail) text += std::string(" (") + detail + ")";
    return text;
}

bool Failed(ipp_status_t status) { return status > IPP_STATUS_OK_EVENTS_COMPLETE; }

std::string QueueUri(const std::string& queue) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/printers/%s",
                     queue.c_str());
    return uri;
}

ipp_t* NewRequest(ipp_op_t op) {
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return request;
}

bool StopAsked(int stopFd) {
    pollfd ready{stopFd, POLLIN, 0};
    return stopFd >= 0 && ::poll(&ready, 1, 0) == 1;
}

// While a request waits for the scheduler, libcups asks this every kWaitStep
// whether to go on waiting.
constexpr double kWaitStep = 0.2;
struct Bound {
    int stopFd;
    std::chrono::steady_clock::time_point end;
    std::string why;  // why the wait was given up
};

int GoOnWaiting(http_t*, void* data) {
    auto& bound = *static_cast<Bound*>(data);
    if (StopAsked(bound.stopFd)) bound.why = "stopping";
    else if (std::chrono::steady_clock::now() >= bound.end)
        bound.why = "no answer within " + std::to_string(CupsQueues::kRequestLimitMs / 1000) + " s";
    return bound.why.empty() ? 1 : 0;
}

struct Answer {
    Response response{nullptr, ippDelete};
    ipp_status_t status = IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
    std::string error;  // what went wrong, whenever `status` is an error
};

// One request on a connection of its own, bounded in time (CupsQueues.h).
// Takes `request`.
Answer Send(int stopFd, ipp_t* request, const char* resource) {
    Answer answer;
    if (StopAsked(stopFd)) {
        ippDelete(request);
        answer.error = "stopping";
        return answer;
    }
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                CupsQueues::kConnectLimitMs, nullptr);
    if (!http) {
        const int error = errno;
        ippDelete(request);
        answer.error = std::string("cannot connect to ") + cupsServer() + ": " + std::strerror(error);
        return answer;
    }
    Bound bound{stopFd, std::chrono::steady_clock::now() + std::chrono::milliseconds(CupsQueues::kRequestLimitMs), {}};
    httpSetTimeout(http, kWaitStep, &GoOnWaiting, &bound);
    answer.response.reset(cupsDoRequest(http, request, resource));
    answer.status = cupsLastError();
    if (!bound.why.empty()) {
        answer.response.reset();
        answer.status = IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
        answer.error = bound.why;
    } else if (!answer.response || Failed(answer.status)) {
        if (!Failed(answer.status)) answer.status = IPP_STATUS_ERROR_INTERNAL;
        answer.error = LastError();
    }
    httpClose(http);
    return answer;
}

// Each object (printer, job) of a response's `group`, one attribute at a time;
// `done` after the last attribute of each.
void ForEachObject(ipp_t* response, ipp_tag_t group, const std::function<void(ipp_attribute_t*)>& attribute,
                   const std::function<void()>& done) {
    bool inObject = false;
    for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
        if (ippGetGroupTag(a) != group || !ippGetName(a)) {
            if (inObject) done();
            inObject = false;
            continue;
        }
        inObject = true;
        attribute(a);
    }
    if (inObject) done();
}

bool Is(ipp_attribute_t* a, const char* name) { return std::strcmp(ippGetName(a), name) == 0; }

std::string Text(ipp_attribute_t* a) {
    const char* text = ippGetString(a, 0, nullptr);
    return text ? text : "";
}

std::string JobRequest(int stopFd, ipp_op_t op, int job) {
    ipp_t* request = NewRequest(op);
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/jobs/%d", job);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    return Send(stopFd, request, "/jobs/").error;
}

}  // namespace

std::optional<std::vector<QueueStatus>> CupsQueues::Queues(std::string* why) {
    ipp_t* request = NewRequest(IPP_OP_CUPS_GET_PRINTERS);
    static const char* const kWanted[] = {"printer-name", "device-uri", "printer-state", "printer-state-change-time",
                                          "queued-job-count"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 5, nullptr, kWanted);
    const Answer answer = Send(stopFd_, request, "/");
    const Response& response = answer.response;
    // No queues at all is an error to IPP.
    if (!response || (Failed(answer.status) && answer.status != IPP_STATUS_ERROR_NOT_FOUND)) {
        if (why) *why = answer.error;
        return std::nullopt;
    }
    std::vector<QueueStatus> queues;
    QueueStatus queue;
    ForEachObject(
        response.get(), IPP_TAG_PRINTER,
        [&](ipp_attribute_t* a) {
            if (Is(a, "printer-name")) queue.name = Text(a);
            else if (Is(a, "device-uri")) queue.deviceUri = Text(a);
            else if (Is(a, "printer-state")) queue.state = static_cast<QueueState>(ippGetInteger(a, 0));
            else if (Is(a, "printer-state-change-time")) queue.stateChanged = ippGetInteger(a, 0);
            else if (Is(a, "queued-job-count")) queue.queuedJobs = ippGetInteger(a, 0);
        },
        [&] {
            if (!queue.name.empty()) queues.push_back(queue);
            queue = QueueStatus{};
        });
    return queues;
}

std::optional<std::vector<JobStatus>> CupsQueues::Jobs(const std::string& queue, std::string* why) {
    std::vector<JobStatus> jobs;
    for (const char* which : {"not-completed", "aborted"}) {
        ipp_t* request = NewRequest(IPP_OP_GET_JOBS);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, QueueUri(queue).c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, which);
        static const char* const kWanted[] = {"job-id", "job-state", "job-state-reasons", "time-at-processing",
                                              "time-at-completed"};
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 5, nullptr, kWanted);
        const Answer answer = Send(stopFd_, request, "/");
        const Response& response = answer.response;
        if (!response || Failed(answer.status)) {
            if (why) *why = answer.error;
            return std::nullopt;
        }
        JobStatus job;
        ForEachObject(
            response.get(), IPP_TAG_JOB,
            [&](ipp_attribute_t* a) {
                if (Is(a, "job-id")) {
                    job.id = ippGetInteger(a, 0);
                } else if (Is(a, "job-state")) {
                    job.state = static_cast<JobState>(ippGetInteger(a, 0));
                } else if (Is(a, "job-state-reasons")) {
                    for (int i = 0; i < ippGetCount(a); ++i) job.reasons.push_back(ippGetString(a, i, nullptr));
                } else if ((Is(a, "time-at-processing") || Is(a, "time-at-completed")) &&
                           ippGetValueTag(a) == IPP_TAG_INTEGER) {
                    job.lastActive = std::max<std::time_t>(job.lastActive, ippGetInteger(a, 0));
                }
            },
            [&] {
                if (job.id > 0) jobs.push_back(job);
                job = JobStatus{};
            });
    }
    return jobs;
}

std::string CupsQueues::Resume(const std::string& queue) {
    ipp_t* request = NewRequest(IPP_OP_RESUME_PRINTER);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, QueueUri(queue).c_str());
    return Send(stopFd_, request, "/admin/").error;
}

bool CupsQueues::Stopping() const { return StopAsked(stopFd_); }

std::string CupsQueues::Release(int job) { return JobRequest(stopFd_, IPP_OP_RELEASE_JOB, job); }

std::string CupsQueues::Restart(int job) { return JobRequest(stopFd_, IPP_OP_RESTART_JOB, job); }

}  // namespace service
