// The device schemes without a server: the schemes are registered in this
// process and driven through papplDeviceOpen/Write/GetStatus/Close, against
// printer-sim's TCP port and its fake USB tree (a pty node).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/ProductIds.h"
#include "platform/linux/usb/SystemUsbDeviceSource.h"
#include "printer-app/Devices.h"
#include "protocol/PrinterStatus.h"
#include "sim/testing/SimProcess.h"

namespace {

using namespace std::chrono_literals;
using printer_app::JobHooks;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

enum class Via { Tcp, Usb };
const char* Name(Via via) { return via == Via::Tcp ? "TCP" : "USB"; }

// A raster image of `rows` rows of 72 bytes, then a cut.
std::vector<std::uint8_t> Job(unsigned rows) {
    std::vector<std::uint8_t> job{0x1d, 'v', '0', 0, 72, 0, static_cast<std::uint8_t>(rows & 0xff),
                                  static_cast<std::uint8_t>(rows >> 8)};
    for (unsigned i = 0; i < 72 * rows; ++i) job.push_back(static_cast<std::uint8_t>((i * 7 + i / 72) % 251));
    for (int b : {0x1d, 0x56, 0x42, 0x00}) job.push_back(static_cast<std::uint8_t>(b));
    return job;
}

using simtest::WithoutStatusRequests;

// The print data of every stream that carried any (the aside connections carry requests only).
std::vector<std::vector<std::uint8_t>> Printed(const simtest::SimProcess& sim) {
    std::vector<std::vector<std::uint8_t>> printed;
    for (const std::string& file : sim.StreamFiles()) {
        auto data = WithoutStatusRequests(simtest::SimProcess::ReadFile(file));
        if (!data.empty()) printed.push_back(std::move(data));
    }
    return printed;
}

// The job's printer as the hooks see it.
class Hooks {
public:
    JobHooks Make() {
        JobHooks hooks;
        hooks.condition = [this](pappl_preason_t add, pappl_preason_t remove) {
            std::lock_guard<std::mutex> lock(mutex_);
            reasons_ = (reasons_ & ~remove) | add;
            ++calls_;
            changed_.notify_all();
        };
        hooks.cancelled = [this] { return cancel.load(); };
        return hooks;
    }
    bool WaitFor(pappl_preason_t wanted, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return reasons_ == wanted; });
    }
    pappl_preason_t Reasons() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reasons_;
    }
    std::atomic<bool> cancel{false};

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    pappl_preason_t reasons_ = PAPPL_PREASON_NONE;
    int calls_ = 0;
};

void CollectError(const char* message, void* data) { static_cast<std::vector<std::string>*>(data)->push_back(message); }

struct Outcome {
    bool opened = false;
    ssize_t written = 0;
    std::vector<std::string> errors;
};

// A job: open, hooks, one write, end of the job, close.
Outcome RunJob(const std::string& uri, const std::vector<std::uint8_t>& data, Hooks* hooks) {
    Outcome outcome;
    pappl_device_t* device = papplDeviceOpen(uri.c_str(), "job", CollectError, &outcome.errors);
    if (!device) return outcome;
    outcome.opened = true;
    if (hooks) printer_app::SetJobHooks(device, hooks->Make());
    outcome.written = papplDeviceWrite(device, data.data(), data.size());
    if (hooks) printer_app::SetJobHooks(device, {});
    papplDeviceClose(device);
    return outcome;
}

// printer-sim with a control socket, its TCP port and one fake USB printer, and the schemes set up for it.
class Printer {
public:
    explicit Printer(std::vector<std::string> args = {}, std::chrono::milliseconds notTakingData = 10s) {
        simtest::SimOptions options;
        options.usb = true;
        options.control = true;
        options.args = std::move(args);
        sim = std::make_unique<simtest::SimProcess>(options);
        if (!sim->ok()) return;
        usb = platform_linux::MakeSystemUsbDeviceSource(sim->UsbRoot());
        printer_app::DeviceSetup setup;
        setup.usb = usb.get();
        setup.productIds = printer_link::ReceiptPrinterProductIds();
        setup.discovery.broadcastAddress = "127.0.0.1";
        setup.discovery.probePort = sim->ProbePort();
        setup.discovery.replyPort = sim->ReplyPort();
        setup.listen = 1500ms;
        setup.tcpPort = sim->TcpPort();
        setup.notTakingData = notTakingData;
        printer_app::RegisterDeviceSchemes(setup);
    }
    std::string Uri(Via via) const {
        return via == Via::Tcp ? "receipt-socket://127.0.0.1:" + std::to_string(sim->TcpPort())
                               : std::string("receipt-usb://0418/5011");
    }
    std::unique_ptr<simtest::SimProcess> sim;
    std::unique_ptr<printer_link::UsbDeviceSource> usb;
};

TEST(DeviceUris, MapOneToOneOntoTheDeviceLayer) {
    struct Row {
        const char* pappl;
        std::optional<std::string> link;
    } rows[] = {
        {"receipt-usb://0418/5011?serial=SN42", "usb://0418/5011?serial=SN42"},
        {"receipt-usb:", "usb:"},
        {"RECEIPT-Socket://127.0.0.1:9101", "socket://127.0.0.1:9101"},
        {"receipt-serial:/dev/ttyS0?baud=115200", "serial:/dev/ttyS0?baud=115200"},
        {"usb://0418/5011", std::nullopt},
        {"socket://127.0.0.1", std::nullopt},
        {"receipt-usbx://0418/5011", std::nullopt},
        {"receipt-socket", std::nullopt},
    };
    for (const Row& row : rows) EXPECT_EQ(printer_app::LinkUriOf(row.pappl), row.link) << row.pappl;
}

TEST(DeviceSchemes, DeliverTheBytesExactlyAndReportHowThePrinterIs) {
    Printer printer;
    ASSERT_TRUE(printer.sim->ok()) << printer.sim->error();
    const std::vector<std::uint8_t> job = Job(300);
    for (Via via : {Via::Tcp, Via::Usb}) {
        SCOPED_TRACE(Name(via));
        // A job (asked before and after) and a plain write (never asked).
        for (bool asJob : {true, false}) {
            const std::size_t streams = printer.sim->StreamFiles().size();
            Hooks hooks;
            const Outcome outcome = RunJob(printer.Uri(via), job, asJob ? &hooks : nullptr);
            ASSERT_TRUE(outcome.opened) << ::testing::PrintToString(outcome.errors);
            EXPECT_EQ(outcome.written, static_cast<ssize_t>(job.size()));
            EXPECT_THAT(outcome.errors, ::testing::IsEmpty());
            ASSERT_TRUE(printer.sim->WaitFor([&](const std::vector<std::string>&) {
                return printer.sim->StreamFiles().size() > streams;
            }));
            ASSERT_TRUE(printer.sim->WaitForStreamsClosed(streams + 1));
            const std::string file = printer.sim->StreamFiles().back();
            const auto raw = simtest::SimProcess::ReadFile(file);
            EXPECT_EQ(WithoutStatusRequests(raw), job);
            if (!asJob) {
                EXPECT_EQ(raw, job) << "a write outside a job asks nothing";
            }
            EXPECT_EQ(hooks.Reasons(), PAPPL_PREASON_NONE);
        }

        struct Row {
            const char* state;  // control line, and its "off" after the row
            pappl_preason_t reasons;
        } rows[] = {
            {nullptr, PAPPL_PREASON_NONE},
            {"paper-out", PAPPL_PREASON_MEDIA_EMPTY},  // not offline as well
            {"paper-near-end", PAPPL_PREASON_MEDIA_LOW},
            {"cover-open", PAPPL_PREASON_COVER_OPEN},
            {"offline", PAPPL_PREASON_OFFLINE},
            {"status-silent", PAPPL_PREASON_NONE},
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(row.state ? row.state : "ready");
            if (row.state) {
                ASSERT_THAT(printer.sim->Control(std::string(row.state) + " on"), HasSubstr("ok"));
            }
            std::vector<std::string> errors;
            pappl_device_t* device = papplDeviceOpen(printer.Uri(via).c_str(), "status", CollectError, &errors);
            ASSERT_NE(device, nullptr) << ::testing::PrintToString(errors);
            EXPECT_EQ(papplDeviceGetStatus(device), row.reasons);
            char id[1024];
            ASSERT_NE(papplDeviceGetID(device, id, sizeof id), nullptr);
            EXPECT_THAT(id, HasSubstr("CMD:ESC/POS;"));
            papplDeviceClose(device);
            if (row.state) {
                ASSERT_THAT(printer.sim->Control(std::string(row.state) + " off"), HasSubstr("ok"));
            }
        }
    }
}

// A job that meets a printer that cannot print waits for it with no time
// limit, shows why on the job's printer, and goes on once it can: the job
// arrives once, whole.
TEST(DeviceSchemes, AWriteWaitsForThePrinterAndGoesOnOnce) {
    struct Row {
        const char* name;
        Via via;
        std::vector<std::string> simArgs;
        unsigned rows;
        const char* before;             // control line before the job
        const char* event;              // printer-sim's line once the job is stuck
        pappl_preason_t shown;          // what the hooks show meanwhile
        std::chrono::milliseconds within;  // after the event
        const char* after;              // puts it right
        bool cancel;                    // the job is cancelled while it waits instead
    } rows[] = {
        {"paper out before the job (TCP)", Via::Tcp, {}, 300, "paper-out on", "# paper out",
         PAPPL_PREASON_MEDIA_EMPTY, 2s, "paper-out off", false},
        {"paper out before the job (USB)", Via::Usb, {}, 300, "paper-out on", "# paper out",
         PAPPL_PREASON_MEDIA_EMPTY, 2s, "paper-out off", false},
        {"cover open before the job (USB)", Via::Usb, {}, 300, "cover-open on", "# cover open",
         PAPPL_PREASON_COVER_OPEN, 2s, "cover-open off", false},
        {"paper out mid-job with the buffers full: asked over a second connection", Via::Tcp,
         {"--buffer", "8192"}, 60000, "paper-out after 100000", "buffer full", PAPPL_PREASON_MEDIA_EMPTY, 3s,
         "paper-out off", false},
        {"USB stuck mid-job, the port says nothing: offline once it takes nothing for long", Via::Usb,
         {"--buffer", "8192"}, 20000, "paper-out after 100000", "buffer full", PAPPL_PREASON_OFFLINE, 4s,
         "paper-out off", false},
        {"paper runs out with the job's end in the printer's buffer: asked after its last byte (TCP)", Via::Tcp, {},
         300, "paper-out after 10000", "# paper out", PAPPL_PREASON_MEDIA_EMPTY, 3s, "paper-out off", false},
        {"paper runs out with the job's end in the printer's buffer: asked after its last byte (USB)", Via::Usb, {},
         300, "paper-out after 10000", "# paper out", PAPPL_PREASON_MEDIA_EMPTY, 3s, "paper-out off", false},
        {"cancelled while paper is out (TCP)", Via::Tcp, {}, 300, "paper-out on", "# paper out",
         PAPPL_PREASON_MEDIA_EMPTY, 2s, "paper-out off", true},
        {"cancelled while paper is out (USB)", Via::Usb, {}, 300, "paper-out on", "# paper out",
         PAPPL_PREASON_MEDIA_EMPTY, 2s, "paper-out off", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Printer printer(row.simArgs, 1500ms);
        ASSERT_TRUE(printer.sim->ok()) << printer.sim->error();
        const std::vector<std::uint8_t> job = Job(row.rows);
        ASSERT_THAT(printer.sim->Control(row.before), HasSubstr("ok"));
        Hooks hooks;
        auto running = std::async(std::launch::async, [&] { return RunJob(printer.Uri(row.via), job, &hooks); });
        ASSERT_TRUE(printer.sim->WaitForLine(row.event, 10s));
        EXPECT_TRUE(hooks.WaitFor(row.shown, row.within)) << "shown: " << hooks.Reasons();
        EXPECT_EQ(running.wait_for(0s), std::future_status::timeout) << "the job waits";
        if (row.cancel) {
            hooks.cancel = true;
            if (running.wait_for(10s) != std::future_status::ready) {
                printer.sim->Control(row.after);  // lets the job end, so that the test does not hang
                FAIL() << "a cancelled job gives up";
            }
            const Outcome outcome = running.get();
            EXPECT_EQ(outcome.written, -1);
            EXPECT_THAT(::testing::PrintToString(outcome.errors), HasSubstr("cancelled"));
            ASSERT_THAT(printer.sim->Control(row.after), HasSubstr("ok"));
            EXPECT_THAT(Printed(*printer.sim), ::testing::IsEmpty()) << "nothing of it printed";
        } else {
            ASSERT_THAT(printer.sim->Control(row.after), HasSubstr("ok"));
            ASSERT_EQ(running.wait_for(30s), std::future_status::ready);
            const Outcome outcome = running.get();
            EXPECT_EQ(outcome.written, static_cast<ssize_t>(job.size()));
            EXPECT_THAT(outcome.errors, ::testing::IsEmpty());
            EXPECT_EQ(hooks.Reasons(), PAPPL_PREASON_NONE) << "removed again";
            ASSERT_TRUE(printer.sim->WaitFor([&](const std::vector<std::string>&) {
                const auto printed = Printed(*printer.sim);
                return !printed.empty() && printed[0].size() >= job.size();
            }, 10s));
            const auto printed = Printed(*printer.sim);
            ASSERT_EQ(printed.size(), 1u) << "once";
            EXPECT_TRUE(printed[0] == job) << printed[0].size() << " bytes of " << job.size();
        }
    }
}

TEST(DeviceSchemes, AFailedOpenSaysWhy) {
    Printer printer({"--refuse"});
    ASSERT_TRUE(printer.sim->ok()) << printer.sim->error();
    // A tree without a USB printer.
    const std::filesystem::path empty = printer.sim->TempDir() + "/empty";
    std::filesystem::create_directories(empty / "sys/bus/usb/devices");
    auto none = platform_linux::MakeSystemUsbDeviceSource(empty.string());
    printer_app::DeviceSetup setup;
    setup.usb = none.get();
    setup.productIds = printer_link::ReceiptPrinterProductIds();
    printer_app::RegisterDeviceSchemes(setup);
    struct Row {
        std::string uri;
        const char* says;
    } rows[] = {
        {"receipt-socket://127.0.0.1:" + std::to_string(simtest::FreeTcpPort()), "is not reachable"},
        {"receipt-usb://0418/5011", "no USB receipt printer is connected"},
        {"receipt-usb:", "no USB receipt printer is connected"},
        {"receipt-socket://0.0.0.0", "names no printer"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.uri);
        std::vector<std::string> errors;
        EXPECT_EQ(papplDeviceOpen(row.uri.c_str(), "job", CollectError, &errors), nullptr);
        EXPECT_THAT(::testing::PrintToString(errors), HasSubstr(row.says));
    }
}

TEST(DeviceSchemes, TheListHoldsTheUsbAndTheNetworkPrinter) {
    Printer printer({"--printer", "mac=02:00:00:00:00:02,ip=127.0.0.1"});
    ASSERT_TRUE(printer.sim->ok()) << printer.sim->error();
    struct Found {
        std::string info, uri, id;
    };
    std::vector<Found> found;
    papplDeviceList(
        PAPPL_DEVTYPE_CUSTOM_LOCAL | PAPPL_DEVTYPE_CUSTOM_NETWORK,
        [](const char* info, const char* uri, const char* id, void* data) {
            static_cast<std::vector<Found>*>(data)->push_back({info, uri, id ? id : ""});
            return false;
        },
        &found, nullptr, nullptr);
    std::vector<std::string> lines;
    for (const Found& f : found) lines.push_back(f.uri + " \"" + f.info + "\" " + f.id);
    const std::string id = printer_app::kReceiptPrinterDeviceId;
    EXPECT_THAT(lines, ::testing::UnorderedElementsAre(
                           "receipt-usb://0418/5011 \"Receipt printer USB 0418:5011\" " + id,
                           "receipt-socket://127.0.0.1:" + std::to_string(printer.sim->TcpPort()) +
                               " \"Receipt printer 127.0.0.1 (02:00:00:00:00:02)\" " + id));
    // What the list gives opens.
    for (const Found& f : found) {
        std::vector<std::string> errors;
        pappl_device_t* device = papplDeviceOpen(f.uri.c_str(), "job", CollectError, &errors);
        EXPECT_NE(device, nullptr) << f.uri << ::testing::PrintToString(errors);
        if (device) papplDeviceClose(device);
    }
}

}  // namespace
