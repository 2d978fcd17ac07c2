#include "driver/service/Service.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "driver/service/CupsQueues.h"
#include "driver/service/Recovery.h"
#include "driver/service/TcpProbe.h"
#include "driver/service/WatchedPrinter.h"
#include "link/StatusQuery.h"
#include "link/UsbDeviceSource.h"
#include "platform/linux/usb/LinuxUsbDeviceSource.h"
#include "platform/linux/usb/UsbHotplug.h"

namespace service {
namespace {

using Clock = TcpProbe::Clock;

// A probe that gets no answer within this (or half the interval) finds the printer away.
constexpr std::chrono::milliseconds kProbeTimeout{1000};
// With hot-plug events, the USB printers are also looked for every this many intervals.
constexpr int kIntervalsBesideEvents = 15;

std::string Plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

class Loop {
public:
    Loop(const ServiceOptions& options, const LogLine& log, int stopFd)
        : options_(options),
          log_(log),
          cups_(stopFd),
          usb_(std::make_unique<platform_linux::LinuxUsbDeviceSource>(options.usbRoot)),
          hotplug_(options.usbRoot) {}

    bool Run(int stopFd, std::string* why);

private:
    struct Watch {
        WatchedPrinter printer;
        Presence presence;
        QueueStatus status;
        HeldJobLook look;
        std::string keptFor;  // what the printer said when it last kept held jobs ("paper out")
    };
    struct Probe {
        std::string where;  // the printer's "address:port"
        std::unique_ptr<TcpProbe> probe;
    };

    void Tick();
    void ReadQueues();
    void StartProbes();
    void FinishProbes(Clock::time_point now);
    void LookForUsbPrinters();
    void Report(const std::string& queue, bool present, const std::string& where);
    void Recover(const std::string& queue, std::time_t awaySince, const std::string& where);
    void ReleaseHeldJobs(const std::string& queue, const std::string& where);
    std::optional<protocol::PrinterStatus> AskPrinter(const WatchedPrinter& printer) const;
    static std::string Kept(Watch& watch, const protocol::PrinterStatus& status, std::size_t held, bool always);
    std::string ReleaseAll(std::vector<int> ids, std::size_t* released);
    int PollTimeout(Clock::time_point now) const;

    ServiceOptions options_;
    const LogLine& log_;
    CupsQueues cups_;
    std::unique_ptr<printer_link::UsbDeviceSource> usb_;
    platform_linux::UsbHotplug hotplug_;
    std::map<std::string, Watch> watches_;              // by queue
    std::map<std::string, std::string> passedOver_;     // queue -> the device URI not watched
    std::vector<Probe> probes_;
    bool cupsAnswered_ = true;
    int intervalsSinceUsbLook_ = 0;
};

bool Loop::Run(int stopFd, std::string* why) {
    const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (timer < 0) {
        *why = std::string("timerfd: ") + std::strerror(errno);
        return false;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(options_.interval).count();
    itimerspec every{};
    every.it_interval.tv_sec = static_cast<time_t>(ns / 1000000000);
    every.it_interval.tv_nsec = static_cast<long>(ns % 1000000000);
    every.it_value.tv_nsec = 1;  // the first round at once
    ::timerfd_settime(timer, 0, &every, nullptr);
    log_(std::string("started: printers probed every ") + std::to_string(options_.interval.count()) + " ms, USB " +
         (options_.usbRoot == "/" ? "" : "tree " + options_.usbRoot + ", ") +
         (hotplug_.Watching() ? "hot-plug events" : "no hot-plug events, looked for every interval"));

    for (;;) {
        std::vector<pollfd> fds = {{stopFd, POLLIN, 0}, {timer, POLLIN, 0}, {hotplug_.Fd(), POLLIN, 0}};
        for (const Probe& p : probes_) fds.push_back({p.probe->Fd(), POLLOUT, 0});
        const int n = ::poll(fds.data(), fds.size(), PollTimeout(Clock::now()));
        if (n < 0 && errno != EINTR) {
            *why = std::string("poll: ") + std::strerror(errno);
            ::close(timer);
            return false;
        }
        if (fds[0].revents) {
            signalfd_siginfo info{};
            const ssize_t got = ::read(stopFd, &info, sizeof info);
            log_(std::string("stopping on ") + (got == sizeof info ? strsignal(static_cast<int>(info.ssi_signo)) : "a signal"));
            break;
        }
        FinishProbes(Clock::now());
        if (fds[1].revents) {
            std::uint64_t expired = 0;
            while (::read(timer, &expired, sizeof expired) > 0) {}
            Tick();
        }
        if (fds[2].revents && hotplug_.Take()) LookForUsbPrinters();
    }
    ::close(timer);
    return true;
}

int Loop::PollTimeout(Clock::time_point now) const {
    if (probes_.empty()) return -1;
    Clock::time_point first = probes_.front().probe->Deadline();
    for (const Probe& p : probes_) first = std::min(first, p.probe->Deadline());
    if (first <= now) return 0;
    // Rounded up, so that the wait never ends just before the deadline.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(first - now).count());
}

void Loop::Tick() {
    ReadQueues();
    StartProbes();
    // Without events, every interval; with them, now and then in case one was missed.
    if (!hotplug_.Watching() || ++intervalsSinceUsbLook_ >= kIntervalsBesideEvents) {
        hotplug_.Take();
        LookForUsbPrinters();
    }
}

void Loop::ReadQueues() {
    std::string why;
    const auto queues = cups_.Queues(&why);
    if (!queues) {
        if (cups_.Stopping()) return;  // the loop ends next
        if (cupsAnswered_) log_("CUPS does not answer: " + why);
        cupsAnswered_ = false;
        return;
    }
    if (!cupsAnswered_) log_("CUPS answers again");
    cupsAnswered_ = true;

    const std::time_t now = std::time(nullptr);
    std::map<std::string, Watch> kept;
    bool newUsb = false;
    for (const QueueStatus& queue : *queues) {
        const auto printer = WatchedPrinterFor(queue.deviceUri, &why);
        if (!printer) {
            if (!why.empty() && passedOver_[queue.name] != queue.deviceUri)
                log_(queue.name + ": not watched, " + why + " (" + queue.deviceUri + ")");
            passedOver_[queue.name] = queue.deviceUri;
            continue;
        }
        passedOver_.erase(queue.name);
        auto known = watches_.find(queue.name);
        if (known != watches_.end() && known->second.printer == *printer) {
            known->second.status = queue;
            kept.emplace(queue.name, std::move(known->second));
            continue;
        }
        log_(queue.name + ": watching the printer at " + printer->Where());
        kept.emplace(queue.name, Watch{*printer, Presence(now), queue, {}, {}});
        newUsb = newUsb || printer->kind == WatchedPrinter::Kind::Usb;
    }
    for (const auto& [name, watch] : watches_)
        if (!kept.count(name)) log_(name + ": queue removed, no longer watched");
    for (auto it = passedOver_.begin(); it != passedOver_.end();) {
        const bool exists = std::any_of(queues->begin(), queues->end(),
                                        [&](const QueueStatus& q) { return q.name == it->first; });
        it = exists ? std::next(it) : passedOver_.erase(it);
    }
    watches_ = std::move(kept);
    // A new USB queue learns its printer's state without waiting for an event.
    if (newUsb) LookForUsbPrinters();
}

void Loop::StartProbes() {
    const Clock::time_point deadline = Clock::now() + std::min(kProbeTimeout, options_.interval / 2);
    for (const auto& [name, watch] : watches_) {
        if (watch.printer.kind != WatchedPrinter::Kind::Network) continue;
        // The port monitor is talking to the printer (or trying to); a probe
        // beside it could be refused by a printer that takes one connection.
        if (watch.status.state == QueueState::Processing) continue;
        const std::string where = watch.printer.Where();
        // One probe per printer, also for several queues of it.
        if (std::any_of(probes_.begin(), probes_.end(), [&](const Probe& p) { return p.where == where; })) continue;
        probes_.push_back({where, std::make_unique<TcpProbe>(watch.printer.host, watch.printer.port, deadline)});
    }
    // Loopback and refused connections are answered at once.
    FinishProbes(Clock::now());
}

void Loop::FinishProbes(Clock::time_point now) {
    std::vector<std::pair<std::string, bool>> results;
    for (std::size_t i = 0; i < probes_.size();) {
        const TcpProbe::State state = probes_[i].probe->Finish(now);
        if (state == TcpProbe::State::Waiting) {
            ++i;
            continue;
        }
        results.emplace_back(probes_[i].where, state == TcpProbe::State::Reached);
        probes_.erase(probes_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (const auto& [where, reached] : results) {
        std::vector<std::string> queues;
        for (const auto& [name, watch] : watches_)
            if (watch.printer.kind == WatchedPrinter::Kind::Network && watch.printer.Where() == where)
                queues.push_back(name);
        for (const std::string& queue : queues) Report(queue, reached, where);
    }
}

void Loop::LookForUsbPrinters() {
    std::vector<std::pair<std::string, std::optional<printer_link::UsbDeviceInfo>>> found;
    for (const auto& [name, watch] : watches_) {
        if (watch.printer.kind != WatchedPrinter::Kind::Usb) continue;
        const auto& ids =
            watch.printer.productIds.empty() ? options_.productIds : watch.printer.productIds;
        found.emplace_back(name, printer_link::FindUsbPrinter(*usb_, watch.printer.usbUri, ids));
    }
    for (const auto& [queue, device] : found) {
        const std::string where = device ? (device->node.empty() ? device->path : device->node)
                                         : watches_.at(queue).printer.Where();
        Report(queue, device.has_value(), where);
    }
}

void Loop::Report(const std::string& queue, bool present, const std::string& where) {
    const auto watch = watches_.find(queue);
    if (watch == watches_.end()) return;
    const bool first = !watch->second.presence.Present().has_value();
    const Presence::Reported reported = watch->second.presence.Report(present, std::time(nullptr));
    if (first) {
        log_(queue + (present ? ": printer present at " + where : ": printer not there (" + where + ")"));
    } else if (reported.change == Presence::Change::Gone) {
        log_(queue + ": printer gone (" + where + ")");
    } else if (reported.change == Presence::Change::Back) {
        Recover(queue, reported.awaySince, where);
        return;
    }
    if (present && watch->second.look.Worth(watch->second.status)) ReleaseHeldJobs(queue, where);
}

std::optional<protocol::PrinterStatus> Loop::AskPrinter(const WatchedPrinter& printer) const {
    // A USB printer's node is the port monitor's: an open beside it could
    // take the device from a job that starts now. Its presence is its answer.
    if (printer.kind != WatchedPrinter::Kind::Network) return protocol::PrinterStatus{};
    printer_link::OpenOptions options;
    options.connectTimeoutMs = static_cast<int>(kProbeTimeout.count());
    const printer_link::StatusAnswer answer = printer_link::QueryStatusAt("socket://" + printer.Where(), options);
    // Gone again since the probe: the next probe tells.
    if (!answer.failure.Ok()) return std::nullopt;
    return answer.status;
}

// The line's tail for held jobs a printer that is there keeps: "" when this
// cause is in the log already, unless `always`.
std::string Loop::Kept(Watch& watch, const protocol::PrinterStatus& status, std::size_t held, bool always) {
    const std::string why = WhyNotReady(status);
    const bool told = !always && why == watch.keptFor;
    watch.keptFor = why;
    return told ? "" : ", " + why + ": " + Plural(held, "held job waits", "held jobs wait");
}

// Releases the jobs in the order they were sent, so that a released job does
// not pass an earlier one; the failures as a line's tail.
std::string Loop::ReleaseAll(std::vector<int> ids, std::size_t* released) {
    std::sort(ids.begin(), ids.end());
    std::string failures;
    for (int id : ids) {
        const std::string error = cups_.Release(id);
        if (error.empty()) ++*released;
        else failures += ", job " + std::to_string(id) + " not released: " + error;
    }
    return failures;
}

// A printer that is there, not seen coming back: the jobs held for it go to
// it once it is ready.
void Loop::ReleaseHeldJobs(const std::string& queue, const std::string& where) {
    Watch& watch = watches_.at(queue);
    std::string why;
    const auto jobs = cups_.Jobs(queue, &why);
    if (!jobs) {
        if (!cups_.Stopping()) log_(queue + ": printer present at " + where + ", but CUPS does not tell its jobs: " + why);
        return;
    }
    const std::vector<int> held = HeldForPrinter(*jobs);
    if (held.empty()) {
        watch.keptFor.clear();
        watch.look.Looked(watch.status, true);
        return;
    }
    watch.look.Looked(watch.status, false);
    const auto status = AskPrinter(watch.printer);
    if (!status) return;
    if (!TakesHeldJobs(*status)) {
        const std::string tail = Kept(watch, *status, held.size(), false);
        if (!tail.empty()) log_(queue + ": printer present at " + where + tail);
        return;
    }
    watch.keptFor.clear();
    std::size_t released = 0;
    const std::string failures = ReleaseAll(held, &released);
    log_(queue + ": printer ready at " + where + ", " + Plural(released, "held job", "held jobs") + " released" +
         failures);
}

void Loop::Recover(const std::string& queue, std::time_t awaySince, const std::string& where) {
    std::string line = queue + ": printer back at " + where;
    std::string why;
    // The queue as it is now: an event may come between two reads of the queues.
    std::optional<QueueStatus> status;
    if (const auto queues = cups_.Queues(&why)) {
        for (const QueueStatus& q : *queues)
            if (q.name == queue) status = q;
    }
    const auto jobs = status ? cups_.Jobs(queue, &why) : std::nullopt;
    if (!status || !jobs) {
        if (cups_.Stopping()) return;
        log_(line + ", but CUPS does not tell its state: " + why);
        return;
    }
    RecoveryPlan plan = PlanRecovery(*status, *jobs, awaySince);
    Watch& watch = watches_.at(queue);
    // Held jobs go to a printer that is ready; one that says it is not (paper
    // out) keeps them until a later probe finds it ready.
    std::string kept;
    if (!plan.release.empty()) {
        const auto printer = AskPrinter(watch.printer);
        if (!printer || !TakesHeldJobs(*printer)) {
            if (printer) kept = Kept(watch, *printer, plan.release.size(), true);
            plan.release.clear();
            watch.look.Looked(watch.status, false);
        } else {
            watch.keptFor.clear();
        }
    }

    // Jobs in the order they were sent: a released job must not pass an earlier one.
    std::vector<std::pair<int, bool>> actions;  // id, restart
    for (int id : plan.release) actions.emplace_back(id, false);
    for (int id : plan.restart) actions.emplace_back(id, true);
    std::sort(actions.begin(), actions.end());
    std::size_t released = 0, restarted = 0;
    std::string failures;
    for (const auto& [id, restart] : actions) {
        const std::string error = restart ? cups_.Restart(id) : cups_.Release(id);
        if (error.empty()) {
            ++(restart ? restarted : released);
        } else {
            failures += ", job " + std::to_string(id) + " not " + (restart ? "restarted: " : "released: ") + error;
        }
    }
    // The queue last, so that what was held goes before what waits in it.
    if (plan.resumeQueue) {
        const std::string error = cups_.Resume(queue);
        line += error.empty() ? ", queue enabled" : ", queue not enabled: " + error;
    }
    if (released) line += ", " + Plural(released, "held job", "held jobs") + " released";
    if (restarted) line += ", " + Plural(restarted, "job", "jobs") + " restarted";
    log_(line + kept + failures);
}

}  // namespace

bool RunService(const ServiceOptions& options, int stopFd, const LogLine& log, std::string* why) {
    // A request to the scheduler gives up at once when the stop signal comes.
    Loop loop(options, log, stopFd);
    return loop.Run(stopFd, why);
}

}  // namespace service
