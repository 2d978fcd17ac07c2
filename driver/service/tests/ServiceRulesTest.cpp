// The service's rules without CUPS: which queues it serves, what it does
// when a printer is back, and the hot-plug events of a fake USB tree.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>

#include "driver/service/Recovery.h"
#include "driver/service/WatchedPrinter.h"
#include "driver/service/tests/ServiceProcess.h"
#include "platform/fake/usb/FakeUsbTree.h"
#include "platform/linux/usb/UsbHotplug.h"

namespace {

using namespace service;

TEST(ServiceRules, QueuesOnAMonitorPortAreServed) {
    struct Case {
        const char* uri;
        const char* where;  // "" when not served
        const char* why;    // for a monitor port that cannot be watched
    };
    const Case cases[] = {
        {"pos-usb-printer-monitor://127.0.0.1:9100/POS80-Port", "127.0.0.1:9100", ""},
        {"pos-usb-printer-monitor://%5B::1%5D:9101/POS80-Port", "[::1]:9101", ""},
        {"m://10.0.0.5:9100/Kitchen%20Bon%2F1-Port", "10.0.0.5:9100", ""},
        {"pos-usb-printer-monitor:/POS80USB-Port?VidAndPid=vid_0418%26pid_5011", "USB vid_0418&pid_5011", ""},
        {"m:/POS80-Port", "USB printer", ""},
        // A host name would need a resolver in the probe.
        {"m://printer.local:9100/POS80-Port", "", "the printer's address \"printer.local\" is not numeric"},
        {"m:/POS80-Port?PortType=1", "", "the port names no printer address"},
        // CUPS's own backends, and ports of other names, are not ours.
        {"socket://127.0.0.1:9100", "", ""},
        {"usb://0418/5011?serial=SN42", "", ""},
        {"ipp://10.0.0.9:631/printers/Office", "", ""},
        {"parallel:/dev/usb/lp0", "", ""},
        {"m://127.0.0.1:9100/-Port", "", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uri);
        std::string why = "stale";
        const auto printer = WatchedPrinterFor(c.uri, &why);
        EXPECT_EQ(printer ? printer->Where() : "", c.where);
        EXPECT_EQ(why, c.why);
    }
    const auto serial = WatchedPrinterFor("m:/P-Port?VidAndPid=vid_0418%26pid_5011&serial=SN%2042");
    ASSERT_TRUE(serial);
    EXPECT_EQ(serial->usbUri, "usb://0418/5011?serial=SN%2042");
}

TEST(ServiceRules, WhatABackPrinterGets) {
    const std::time_t away = 1000;
    auto job = [](int id, JobState state, std::vector<std::string> reasons, std::time_t active = 0) {
        return JobStatus{id, state, std::move(reasons), active};
    };
    struct Case {
        const char* name;
        QueueStatus queue;
        std::vector<JobStatus> jobs;
        bool resume;
        std::vector<int> release, restart;
    };
    const QueueStatus idle{"POS80", "", QueueState::Idle, 900};
    const Case cases[] = {
        {"held for a retry: released; held by its user: left", idle,
         {job(1, JobState::Held, {"resources-are-not-ready"}), job(2, JobState::Held, {"job-hold-until-specified"})},
         false, {1}, {}},
        {"aborted or stopped while away: restarted; before: left", idle,
         {job(3, JobState::Aborted, {"processing-to-stop-point"}, 1000),
          job(4, JobState::Stopped, {"job-completed-with-errors"}, 1005),
          job(5, JobState::Aborted, {"aborted-by-system"}, 999)},
         false, {}, {3, 4}},
        {"done, cancelled, printing or pending: nothing", idle,
         {job(6, JobState::Completed, {}, 1100), job(7, JobState::Canceled, {}, 1100),
          job(8, JobState::Processing, {}, 1100), job(9, JobState::Pending, {"none"})},
         false, {}, {}},
        {"stopped while away: resumed", {"POS80", "", QueueState::Stopped, 1001}, {}, true, {}, {}},
        {"stopped by an administrator while it was there: left", {"POS80", "", QueueState::Stopped, 1000},
         {job(10, JobState::Pending, {"printer-stopped"})}, false, {}, {}},
        {"stopped before, by the port monitor for a job that waits: resumed",
         {"POS80", "", QueueState::Stopped, 500}, {job(11, JobState::Pending, {"resources-are-not-ready"})}, true,
         {}, {}},
        {"stopped by the port monitor in the second the printer was seen: the job it began is back, resumed",
         {"POS80", "", QueueState::Stopped, 1000}, {job(12, JobState::Pending, {"printer-stopped"}, 1000)}, true,
         {}, {}},
        {"stopped by an administrator before a job began: left",
         {"POS80", "", QueueState::Stopped, 1000}, {job(13, JobState::Pending, {"printer-stopped"}, 0)}, false,
         {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RecoveryPlan plan = PlanRecovery(c.queue, c.jobs, away);
        EXPECT_EQ(plan.resumeQueue, c.resume);
        EXPECT_EQ(plan.release, c.release);
        EXPECT_EQ(plan.restart, c.restart);
    }
}

// A printer that is there takes its held jobs unless it says it cannot
// print now; one that says nothing takes them, as it always did.
TEST(ServiceRules, HeldJobsGoToAReadyPrinter) {
    auto status = [](auto set) {
        protocol::PrinterStatus s;
        s.known = true;
        s.online = true;
        set(s);
        return s;
    };
    struct Case {
        const char* name;
        protocol::PrinterStatus status;
        bool takes;
        const char* why;
    };
    const Case cases[] = {
        {"not known: no status support, no way back", {}, true, ""},
        {"ready", status([](auto&) {}), true, ""},
        {"paper near its end, drawer open", status([](auto& s) { s.paperNearEnd = s.drawerOpen = true; }), true, ""},
        {"paper out", status([](auto& s) { s.paperOut = true; s.online = false; }), false, "paper out"},
        {"cover open and paper out",
         status([](auto& s) { s.coverOpen = s.paperOut = true; s.online = false; }), false, "paper out, cover open"},
        {"offline, nothing else", status([](auto& s) { s.online = false; }), false, "offline"},
        {"cutter error", status([](auto& s) { s.cutterError = s.recoverableError = true; }), false,
         "cutter error, recoverable error"},
        {"unrecoverable error", status([](auto& s) { s.unrecoverableError = true; }), false, "unrecoverable error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TakesHeldJobs(c.status), c.takes);
        EXPECT_EQ(WhyNotReady(c.status), c.why);
    }
}

// The jobs of a queue whose printer is there are looked at when one may be
// held for it, and not again until the queue changes.
TEST(ServiceRules, HeldJobsAreLookedForWhenTheQueueChanged) {
    const QueueStatus one{"POS80", "", QueueState::Idle, 900, 1};
    struct Step {
        const char* name;
        QueueStatus queue;
        bool worth;
        std::optional<bool> settled;  // the look's outcome, when one is made
    };
    const Step steps[] = {
        {"no jobs: nothing to look for", {"POS80", "", QueueState::Idle, 900, 0}, false, {}},
        {"a job: looked at, none held for the printer", one, true, true},
        {"the same queue again: no look", one, false, {}},
        {"printing: the port monitor is at it", {"POS80", "", QueueState::Processing, 905, 1}, false, {}},
        {"idle again, the job held for a retry: looked at, kept (paper out)", {"POS80", "", QueueState::Idle, 907, 1},
         true, false},
        {"kept: looked at on every report", {"POS80", "", QueueState::Idle, 907, 1}, true, true},
        {"a second job: looked at", {"POS80", "", QueueState::Idle, 907, 2}, true, true},
        {"a stopped queue", {"POS80", "", QueueState::Stopped, 907, 2}, true, true},
    };
    HeldJobLook look;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_EQ(look.Worth(step.queue), step.worth);
        if (step.settled) look.Looked(step.queue, *step.settled);
    }
}

TEST(ServiceRules, PresenceTellsWhenThePrinterWentAway) {
    Presence presence(100);
    EXPECT_EQ(presence.Report(false, 110).change, Presence::Change::None) << "the first report is no change";
    const auto back = presence.Report(true, 120);
    EXPECT_EQ(back.change, Presence::Change::Back);
    EXPECT_EQ(back.awaySince, 100) << "never seen before: away since the watch began";
    EXPECT_EQ(presence.Report(true, 130).change, Presence::Change::None);
    EXPECT_EQ(presence.Report(false, 140).change, Presence::Change::Gone);
    EXPECT_EQ(presence.Report(false, 150).change, Presence::Change::None);
    const auto again = presence.Report(true, 160);
    EXPECT_EQ(again.change, Presence::Change::Back);
    EXPECT_EQ(again.awaySince, 130) << "the last report of presence";
}

// A fake tree reports printers coming and going at once, also when the tree
// is made after the watch began (printer-sim makes and removes its folders).
TEST(ServiceRules, FakeTreeHotplugEvents) {
    namespace fs = std::filesystem;
    const platform_fake::FakeUsbTree scratch;  // a folder that goes with the test
    const fs::path root = fs::path(scratch.Root()) / "usbroot";
    platform_linux::UsbHotplug hotplug(root.string());
    auto readable = [&] {
        pollfd fd{hotplug.Fd(), POLLIN, 0};
        return ::poll(&fd, 1, 2000) == 1;
    };
    ASSERT_TRUE(hotplug.Watching()) << "the root's parent stands in for the root";
    fs::create_directories(root);
    ASSERT_TRUE(readable());
    EXPECT_TRUE(hotplug.Take());

    platform_fake::FakeUsbTree tree(root.string());
    const std::string node = tree.AddPrinter("1-1", "0418", "5011", 0);
    ASSERT_TRUE(readable());
    EXPECT_TRUE(hotplug.Take());
    // The watch went down to dev/usb, where the node stands; its removal shows.
    while (hotplug.Take()) {}
    fs::remove(node);
    ASSERT_TRUE(readable());
    EXPECT_TRUE(hotplug.Take());
    pollfd quiet{hotplug.Fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&quiet, 1, 0), 0) << "no events of the watch's own moves";
}

// A scheduler that takes the connection and the request and then hangs
// (no answer at all, or an answer's head without its body): SIGTERM still
// ends the service within 3 s.
TEST(ServiceRules, StopsOnSigtermWhileTheSchedulerHangs) {
    namespace fs = std::filesystem;
    const platform_fake::FakeUsbTree scratch;
    const fs::path socketPath = fs::path(scratch.Root()) / "cups.sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ::setenv("CUPS_SERVER", socketPath.c_str(), 1);
    ::setenv("USB_PRINTER_ROOT", scratch.Root().c_str(), 1);
    const auto readable = [](int fd) {
        pollfd ready{fd, POLLIN, 0};
        return ::poll(&ready, 1, 30000) == 1;
    };
    for (const char* head : {"", "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: 1000\r\n\r\n"}) {
        SCOPED_TRACE(*head ? "the head of an answer" : "no answer");
        servicetest::ServiceProcess service({SERVICE_PROGRAM, "--interval", "1"}, fs::path(scratch.Root()) / "log");
        ASSERT_TRUE(readable(listener)) << service.Text();
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(connection, 0);
        // The request is in: the service waits for its answer.
        char request[4096];
        ASSERT_TRUE(readable(connection));
        ASSERT_GT(::read(connection, request, sizeof request), 0);
        ASSERT_EQ(::write(connection, head, std::strlen(head)), static_cast<ssize_t>(std::strlen(head)));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(service.Stop(), 0) << service.Text();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << service.Text();
        ::close(connection);
    }
    ::close(listener);
    ::unsetenv("CUPS_SERVER");
    ::unsetenv("USB_PRINTER_ROOT");
}

}  // namespace
