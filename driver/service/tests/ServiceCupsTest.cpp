// The printer service end to end: `lumbra install` puts POS80 on a network
// port and POS80USB on a USB port of a private cupsd that keeps a packaged
// system's access rules (--stock-policy); the service runs as the installed
// RcptSpoolSvc.exe with the identity its unit gives it (root's user id, no
// capabilities) and no system bus. A shop's job waits while its printer is
// away (cupsd would retry only after 300 s); printer-sim comes back, and the
// service alone gets the job printed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "driver/raster/tests/FilterHarness.h"
#include "driver/service/CupsQueues.h"
#include "driver/service/tests/ServiceProcess.h"
#include "protocol/PrinterStatus.h"
#include "sim/testing/SimProcess.h"
#include "tests/support/HexMatch.h"

namespace {

namespace fs = std::filesystem;
using drivertest::Shell;
using service::JobState;
using service::QueueState;

constexpr auto kPatience = std::chrono::seconds(60);

using servicetest::Eventually;
using servicetest::ServiceProcess;

struct Queue {
    const char* name;
    bool usb;
};
const Queue kNetwork{"POS80", false};
const Queue kUsb{"POS80USB", true};

class ServiceCups : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::random_device rd;
        tree = fs::path("/tmp") / ("printer-service-" + std::to_string(rd() % 1000000));
        usbRoot = tree / "usbroot";
        tcpPort = simtest::FreeTcpPort();
        // cupsd would hold a job for 300 s before it tries again, and aborts
        // it at the second failure.
        std::string out;
        if (!drivertest::StartPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string(),
                                           "--stock-policy --env USB_PRINTER_ROOT=" + usbRoot.string() +
                                               " --conf 'JobRetryInterval 300' --conf 'JobRetryLimit 1'",
                                           &out))
            return Fail("the private cupsd did not start: " + out);
        ::setenv("LUMBRA_ROOT", tree.c_str(), 1);
        ::setenv("USB_PRINTER_ROOT", usbRoot.c_str(), 1);
        ::setenv("HOME", "/home/installer", 1);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_DOCUMENTS_DIR");
        cupsSetServer((tree / "cups.sock").c_str());

        const std::string lumbra = LUMBRA_PROGRAM;
        const fs::path folder = tree / "opt/printers";
        if (!Install(lumbra + " install --model POS80 --name POS80 --folder " + folder.string() +
                     " --port net:127.0.0.1:" + std::to_string(tcpPort)))
            return;
        StartService();
        if (!service->WaitForLine("POS80: printer not there (127.0.0.1:"))
            return Fail("the service does not watch POS80: " + Log());
        // A queue installed while the service runs is picked up. (The USB
        // install looks for a connected printer.)
        printer = StartPrinter();
        if (!printer->ok()) return Fail("printer-sim did not start: " + printer->error());
        if (!Install(lumbra + " install --model POS80 --name POS80USB --folder " + folder.string() + " --port usb"))
            return;
        if (!service->WaitForLine("POS80USB: watching the printer at USB vid_0418&pid_5011"))
            return Fail("the service does not watch POS80USB: " + Log());
    }
    static void TearDownTestSuite() {
        printer.reset();
        service.reset();
        drivertest::StopPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string());
    }
    void SetUp() override {
        if (!setupError.empty()) GTEST_FAIL() << setupError;
    }

    // The program the unit runs, as the unit runs it (a new log each time).
    static void StartService() {
        service.reset();
        service = std::make_unique<ServiceProcess>(
            std::vector<std::string>{"setpriv", "--bounding-set=-all", "--inh-caps=-all", "--no-new-privs", "--",
                                     (tree / "opt/printers/POS80/RcptSpoolSvc.exe").string()},
            tree / "service.log");
    }
    // The printer's connections in `lines` from `from` on (the service's probes among them).
    static std::size_t ConnectionsSince(const std::vector<std::string>& lines, std::size_t from) {
        return static_cast<std::size_t>(
            std::count_if(lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())), lines.end(),
                          [](const std::string& l) { return l.rfind("# tcp ", 0) == 0 && l.find(" open") != std::string::npos; }));
    }

    static void Fail(const std::string& why) { setupError = why; }
    static bool Install(const std::string& command) {
        int status = -1;
        const std::string said = Shell(command, &status);
        if (status != 0) Fail(command + ": " + said);
        return status == 0;
    }
    static std::string Log() { return service->Text(); }

    // printer-sim on the queues' TCP port and USB tree. Its node is made
    // writable for the port monitor (user lp), as a udev rule makes it.
    static std::unique_ptr<simtest::SimProcess> StartPrinter(const std::string& state = "") {
        simtest::SimOptions options;
        options.args = {"--tcp-port", std::to_string(tcpPort), "--usb", usbRoot.string()};
        options.control = true;
        if (!state.empty()) options.args.insert(options.args.end(), {"--state", state});
        const mode_t umask = ::umask(0);
        auto started = std::make_unique<simtest::SimProcess>(options);
        ::umask(umask);
        return started;
    }

    // The printer goes away (comes back); true once the service's last word
    // on `queue`'s printer says so.
    static bool PrinterAway(const Queue& queue) {
        printer.reset();
        return ServiceSays(queue, false);
    }
    static bool PrinterBack(const Queue& queue) {
        printer.reset();
        printer = StartPrinter();
        return printer->ok() && ServiceSays(queue, true);
    }
    static bool ServiceSays(const Queue& queue, bool present) {
        const bool said = service->Says(queue.name, present);
        EXPECT_TRUE(said) << queue.name << (present ? " back" : " away") << Log();
        return said;
    }

    static std::string Where(const Queue& queue) {
        return queue.usb ? (usbRoot / "dev/usb/lp0").string() : "127.0.0.1:" + std::to_string(tcpPort);
    }

    // lp as a shop's user; the job's id, or -1.
    static int Submit(const Queue& queue, const std::string& options = "") {
        int status = -1;
        const std::string out =
            Shell("lp -U shop -d " + std::string(queue.name) + " -o raw " + options + " " + job.string(), &status);
        const std::string prefix = "request id is " + std::string(queue.name) + "-";
        const auto at = out.find(prefix);
        EXPECT_NE(at, std::string::npos) << out;
        return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + prefix.size());
    }

    static std::optional<service::JobStatus> Job(const Queue& queue, int id) {
        const auto jobs = service::CupsQueues().Jobs(queue.name, nullptr);
        if (jobs)
            for (const service::JobStatus& j : *jobs)
                if (j.id == id) return j;
        return std::nullopt;
    }
    static std::optional<QueueState> StateOf(const Queue& queue) {
        const auto queues = service::CupsQueues().Queues(nullptr);
        if (queues)
            for (const service::QueueStatus& q : *queues)
                if (q.name == std::string(queue.name)) return q.state;
        return std::nullopt;
    }
    static bool JobIn(const Queue& queue, int id, JobState state) {
        return Eventually([&] {
            const auto j = Job(queue, id);
            return j && j->state == state;
        });
    }

    static inline fs::path tree, usbRoot, job;
    static inline std::uint16_t tcpPort = 0;
    static inline std::string setupError;
    static inline std::unique_ptr<ServiceProcess> service;
    static inline std::unique_ptr<simtest::SimProcess> printer;
    // ESC @, a line of text, a partial cut.
    static inline const std::string kReceipt = std::string("\x1b@receipt 42\n\x1dV\x42", 16) + '\0';
};

struct Row {
    const char* name;
    Queue queue;
    // What became of the job while the printer was away, made to happen.
    enum class Away {
        Held,
        AbortedAfterRetries,
        QueueStoppedByRefusedDevice,
        // The service did not see the printer go: it began while the
        // printer was back already, or the printer was away between two probes.
        HeldBeforeTheServiceBegan,
        HeldBetweenTwoProbes,
        // The printer is back with its paper out; the paper comes back later.
        HeldAndBackWithPaperOut,
    } away;
    const char* says;  // the service's line after "printer back at <where>" ("printer ready at <where>")
};
// The printer is back after the case, and the service saw it go.
bool SeesItGo(const Row& row) { return row.away <= Row::Away::QueueStoppedByRefusedDevice; }

// What the printer received, the service's and the port monitor's status
// requests left out.
std::string Printed(const std::vector<std::uint8_t>& raw) {
    std::string bytes(raw.begin(), raw.end());
    const std::string query(protocol::kStatusQuery.begin(), protocol::kStatusQuery.end());
    for (auto at = bytes.find(query); at != std::string::npos; at = bytes.find(query, at)) bytes.erase(at, query.size());
    return bytes;
}
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class ServiceBringsBack : public ServiceCups, public ::testing::WithParamInterface<Row> {};

TEST_P(ServiceBringsBack, TheJobThatWaitedPrints) {
    const Row& row = GetParam();
    const Queue& queue = row.queue;
    job = tree / "receipt.bin";
    std::ofstream(job, std::ios::binary) << kReceipt;
    int id = -1;
    std::size_t from = 0;  // the service's first line about the printer's return
    switch (row.away) {
        case Row::Away::Held:
            ASSERT_TRUE(PrinterAway(queue));
            id = Submit(queue);
            ASSERT_TRUE(JobIn(queue, id, JobState::Held));
            break;
        case Row::Away::AbortedAfterRetries: {
            ASSERT_TRUE(PrinterAway(queue));
            id = Submit(queue);
            ASSERT_TRUE(JobIn(queue, id, JobState::Held));
            // Someone tries again at once: the second failure is past the limit.
            int status = -1;
            EXPECT_EQ(Shell("lp -i " + std::to_string(id) + " -H resume", &status), "");
            ASSERT_TRUE(JobIn(queue, id, JobState::Aborted));
            break;
        }
        case Row::Away::QueueStoppedByRefusedDevice: {
            // The device refuses user lp (no udev rule yet): the port monitor stops the queue.
            ASSERT_TRUE(PrinterBack(queue));
            ASSERT_EQ(::chmod((usbRoot / "dev/usb/lp0").c_str(), 0600), 0);
            id = Submit(queue);
            ASSERT_TRUE(Eventually([&] { return StateOf(queue) == QueueState::Stopped; }));
            ASSERT_TRUE(JobIn(queue, id, JobState::Pending));
            ASSERT_TRUE(PrinterAway(queue));  // unplugged, and plugged in again with the rule in place
            break;
        }
        case Row::Away::HeldBeforeTheServiceBegan:
            service->Stop();
            printer.reset();
            id = Submit(queue);
            ASSERT_TRUE(JobIn(queue, id, JobState::Held));
            printer = StartPrinter();
            ASSERT_TRUE(printer->ok()) << printer->error();
            StartService();
            break;
        case Row::Away::HeldBetweenTwoProbes:
            // Right after a probe the printer goes, the job is held, the
            // printer is back: all before the next probe (2 s on). Should a
            // probe have come in between after all, the service saw the
            // printer go and brings the job back as it did before; then
            // once more.
            for (int attempt = 0; attempt < 5 && id <= 0; ++attempt) {
                ASSERT_TRUE(PrinterBack(queue));
                const std::size_t probed = printer->Lines().size();
                ASSERT_TRUE(printer->WaitFor([&](const auto& lines) { return ConnectionsSince(lines, probed) > 0; }, kPatience));
                const std::size_t before = service->Lines().size();
                printer.reset();
                const int sent = Submit(queue);
                ASSERT_TRUE(JobIn(queue, sent, JobState::Held));
                printer = StartPrinter();
                ASSERT_TRUE(printer->ok()) << printer->error();
                std::string outcome;
                ASSERT_TRUE(Eventually([&] {
                    const auto lines = service->Lines();
                    for (std::size_t i = before; i < lines.size() && outcome.empty(); ++i)
                        for (const char* verb : {": printer ready at ", ": printer back at "})
                            if (lines[i].rfind(queue.name + std::string(verb), 0) == 0) outcome = verb;
                    return !outcome.empty();
                })) << Log();
                if (outcome == ": printer ready at ") {
                    id = sent;
                    from = before;
                } else {
                    ASSERT_TRUE(Eventually([&] { return !Job(queue, sent); })) << Log();
                }
            }
            break;
        case Row::Away::HeldAndBackWithPaperOut: {
            ASSERT_TRUE(PrinterAway(queue));
            id = Submit(queue);
            ASSERT_TRUE(JobIn(queue, id, JobState::Held));
            from = service->Lines().size();
            printer = StartPrinter("paper-out");
            ASSERT_TRUE(printer->ok()) << printer->error();
            const std::string kept = std::string(queue.name) + ": printer back at " + Where(queue) +
                                     ", paper out: 1 held job waits";
            EXPECT_EQ(service->WaitForLine(std::string(queue.name) + ": printer back at ", from), kept) << Log();
            // The service asks again on later probes, and keeps the job.
            ASSERT_TRUE(printer->WaitForLineCount("status request 4 answered", 3, kPatience)) << Log();
            const auto waits = Job(queue, id);
            ASSERT_TRUE(waits && waits->state == JobState::Held) << Log();
            EXPECT_EQ(printer->Control("paper-out off").rfind("ok", 0), 0u);
            break;
        }
    }
    ASSERT_GT(id, 0);

    const bool seesItGo = SeesItGo(row);
    if (seesItGo) {
        from = service->Lines().size();
        printer = StartPrinter();
        ASSERT_TRUE(printer->ok()) << printer->error();
    }
    const std::string said = std::string(queue.name) + (seesItGo ? ": printer back at " : ": printer ready at ");
    const auto back = service->WaitForLine(said, from);
    ASSERT_TRUE(back) << Log();
    EXPECT_EQ(*back, said + Where(queue) + row.says);
    ASSERT_TRUE(Eventually([&] { return Printed(printer->RawBytes()).size() >= kReceipt.size(); }, kPatience));
    EXPECT_TRUE(testhex::SameBytes(kReceipt, Printed(printer->RawBytes())));
    EXPECT_TRUE(Eventually([&] { return !Job(queue, id); })) << "the job is done";
    EXPECT_EQ(StateOf(queue), QueueState::Idle);
}

const Row kRows[] = {
    {"NetworkPrinterSwitchedOnAgain", kNetwork, Row::Away::Held, ", 1 held job released"},
    {"UsbPrinterPluggedInAgain", kUsb, Row::Away::Held, ", 1 held job released"},
    {"NetworkJobAbortedAfterItsRetries", kNetwork, Row::Away::AbortedAfterRetries, ", 1 job restarted"},
    {"UsbQueueStoppedByARefusedDevice", kUsb, Row::Away::QueueStoppedByRefusedDevice, ", queue enabled"},
    {"NetworkPrinterThereWhenTheServiceBegins", kNetwork, Row::Away::HeldBeforeTheServiceBegan, ", 1 held job released"},
    {"UsbPrinterThereWhenTheServiceBegins", kUsb, Row::Away::HeldBeforeTheServiceBegan, ", 1 held job released"},
    {"NetworkPrinterBackBetweenTwoProbes", kNetwork, Row::Away::HeldBetweenTwoProbes, ", 1 held job released"},
    {"NetworkPrinterBackWithPaperOut", kNetwork, Row::Away::HeldAndBackWithPaperOut, ", 1 held job released"},
};
INSTANTIATE_TEST_SUITE_P(Printer, ServiceBringsBack, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

// A queue an administrator stopped and a job its user held stay as they
// are when the printer comes back.
TEST_F(ServiceCups, LeavesWhatPeopleDecided) {
    job = tree / "receipt.bin";
    std::ofstream(job, std::ios::binary) << kReceipt;
    int status = -1;
    ASSERT_TRUE(PrinterBack(kNetwork));
    EXPECT_EQ(Shell("cupsdisable POS80", &status), "");
    const int held = Submit(kNetwork, "-H indefinite");
    ASSERT_TRUE(JobIn(kNetwork, held, JobState::Held));
    // The service probes the printer after that (two probes: the first may
    // have been under way): all of it happened while the printer was there.
    const std::size_t before = printer->Lines().size();
    ASSERT_TRUE(printer->WaitFor([&](const std::vector<std::string>& lines) {
        return std::count_if(lines.begin() + static_cast<std::ptrdiff_t>(std::min(before, lines.size())), lines.end(),
                             [](const std::string& l) { return l.rfind("# tcp ", 0) == 0 && l.find(" open ") != std::string::npos; }) >= 2;
    }, kPatience));
    ASSERT_TRUE(PrinterAway(kNetwork));

    const std::size_t from = service->Lines().size();
    printer = StartPrinter();
    ASSERT_TRUE(printer->ok()) << printer->error();
    EXPECT_EQ(service->WaitForLine("POS80: printer back at ", from), "POS80: printer back at " + Where(kNetwork));
    EXPECT_EQ(StateOf(kNetwork), QueueState::Stopped);
    const auto left = Job(kNetwork, held);
    EXPECT_TRUE(left && left->state == JobState::Held);
    Shell("cupsenable POS80; cancel POS80-" + std::to_string(held), &status);
}

// Uninstalls are picked up too; SIGTERM ends the service at once, cleanly.
TEST_F(ServiceCups, DropsAnUninstalledQueueAndStopsOnSigterm) {
    int status = -1;
    const std::string said = Shell(std::string(LUMBRA_PROGRAM) + " uninstall POS80USB", &status);
    EXPECT_EQ(status, 0) << said;
    EXPECT_TRUE(service->WaitForLine("POS80USB: queue removed, no longer watched")) << Log();
    EXPECT_EQ(service->Stop(), 0);
    EXPECT_EQ(service->Lines().back(), "stopping on Terminated");
}

}  // namespace
