// receipt-printer-app and the printer's condition, end to end: printer-sim
// told through its control channel that paper is out, the cover open, the
// paper near its end or the printer offline; what Get-Printer-Attributes
// says of it, and what a job does that is sent while paper is out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>

#include "printer-app/tests/AppHarness.h"

namespace {

using namespace apptest;
using drivertest::TestPage;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Polls `condition` until it holds or the generous deadline passes; the time
// it first held, counted from `from`.
std::optional<double> SecondsUntil(const std::function<bool()>& condition, Clock::time_point from,
                                   std::chrono::seconds deadline = std::chrono::seconds(30)) {
    while (Clock::now() - from < deadline) {
        if (condition()) return Seconds(Clock::now() - from);
        ::poll(nullptr, 0, 20);
    }
    return std::nullopt;
}

bool HasReason(const std::string& reasons, const std::string& keyword) {
    // "media-empty-error,media-low-warning": a keyword with or without its suffix.
    std::istringstream in(reasons);
    for (std::string r; std::getline(in, r, ',');) {
        if (r == keyword || r == keyword + "-error" || r == keyword + "-warning" || r == keyword + "-report")
            return true;
    }
    return false;
}

unsigned Stripes(unsigned x, unsigned y) { return (y / 8 + x / 16) % 3 == 0 ? 255 : 0; }

class AppStatus : public ::testing::Test {
protected:
    void SetUp() override {
        simtest::SimOptions options;
        options.args = {"--receipts", "{tmp}/receipts"};
        options.control = true;
        printer = std::make_unique<simtest::SimProcess>(options);
        ASSERT_TRUE(printer->ok()) << printer->error();
        server = std::make_unique<AppServer>();
        ASSERT_TRUE(server->ok()) << server->error();
        std::string said;
        ASSERT_TRUE(server->AddPrinter("R80", "receipt_80mm",
                                       "receipt-socket://127.0.0.1:" + std::to_string(printer->TcpPort()), &said))
            << said << server->Log();
        uri = server->PrinterUri("R80");
    }
    void TearDown() override {
        server.reset();
        printer.reset();
    }
    std::map<std::string, std::string> Printer() const { return IppAttributes(uri); }

    std::unique_ptr<simtest::SimProcess> printer;
    std::unique_ptr<AppServer> server;
    std::string uri;
};

// An idle printer: each change of the printer shows in printer-state-reasons
// within 2 s, and goes again within 2 s once it clears.
TEST_F(AppStatus, IdlePrinterFollowsThePrintersCondition) {
    struct Case {
        const char* control;  // printer-sim's word
        const char* reason;   // printer-state-reasons keyword
    } cases[] = {
        {"paper-out", "media-empty"},
        {"cover-open", "cover-open"},
        {"paper-near-end", "media-low"},
        {"offline", "offline"},
    };
    std::map<std::string, std::string> seen;
    ASSERT_TRUE(SecondsUntil([&] { return (seen = Printer())["printer-state-reasons"] == "none"; }, Clock::now()))
        << seen["printer-state-reasons"] << "\n" << server->Log();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        ASSERT_THAT(printer->Control(std::string(c.control) + " on"), StartsWith("ok"));
        const auto changed = Clock::now();
        const auto shown = SecondsUntil(
            [&] {
                seen = Printer();
                return HasReason(seen["printer-state-reasons"], c.reason);
            },
            changed);
        ASSERT_TRUE(shown) << seen["printer-state-reasons"] << "\n" << server->Log();
        std::printf("%-15s shown after %.2f s (%s, printer-state %s)\n", c.control, *shown,
                    seen["printer-state-reasons"].c_str(), seen["printer-state"].c_str());
        EXPECT_LT(*shown, 2.0);
        EXPECT_EQ(seen["printer-state"], "idle") << "nothing to print: the printer is idle";

        ASSERT_THAT(printer->Control(std::string(c.control) + " off"), StartsWith("ok"));
        const auto cleared = Clock::now();
        const auto gone = SecondsUntil([&] { return (seen = Printer())["printer-state-reasons"] == "none"; }, cleared);
        ASSERT_TRUE(gone) << seen["printer-state-reasons"] << "\n" << server->Log();
        std::printf("%-15s cleared after %.2f s\n", c.control, *gone);
        EXPECT_LT(*gone, 2.0);
        EXPECT_EQ(seen["printer-state"], "idle");
    }
}

// A job sent while paper is out waits with the printer showing why, and
// prints once the paper is back: once, as the raster driver's bytes, the
// drawer pulsed after the last band and before the cut.
TEST_F(AppStatus, JobSentWhilePaperIsOutWaitsAndPrintsOnce) {
    ASSERT_THAT(printer->Control("paper-out on"), StartsWith("ok"));
    std::map<std::string, std::string> seen;
    ASSERT_TRUE(SecondsUntil([&] { return HasReason((seen = Printer())["printer-state-reasons"], "media-empty"); },
                             Clock::now()))
        << seen["printer-state-reasons"];

    TestPage page;
    page.width = 576;
    page.height = 300;
    page.bits = 8;
    page.ink = Stripes;
    const std::vector<TestPage> pages = {page, page};
    const Bytes raster = MakePwgRaster(pages);
    const std::string file = server->Dir() + "/job.pwg";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(raster.data()), static_cast<std::streamsize>(raster.size()));
    // The document goes to the idle printer as it arrives: the answer to the
    // Print-Job comes once it has printed, so it is sent aside. The server's
    // first job is job 1.
    auto sending = std::async(std::launch::async, [&] {
        int status = -1;
        std::string out = IppPrint(uri, file, "image/pwg-raster",
                                   {"receipt-drawer keyword after", "receipt-drawer-pin integer 2"}, &status, 300);
        return std::make_pair(status, out);
    });
    const int id = 1;
    // A row that fails while the job waits lets it print, so the answer comes.
    struct PaperBack {
        const simtest::SimProcess& printer;
        ~PaperBack() { printer.Control("paper-out off"); }
    } paperBack{*printer};

    // It waits: processing, the printer showing paper out, nothing printed.
    const auto sent = Clock::now();
    std::map<std::string, std::string> job;
    const auto waiting = SecondsUntil(
        [&] {
            job = IppAttributes(uri, id);
            seen = Printer();
            return job["job-state"] == "processing" && HasReason(seen["printer-state-reasons"], "media-empty") &&
                   seen["printer-state"] == "processing";
        },
        sent);
    ASSERT_TRUE(waiting) << job["job-state"] << " / " << seen["printer-state"] << " / "
                         << seen["printer-state-reasons"] << "\n" << server->Log();
    std::printf("waiting job shown after %.2f s (%s)\n", *waiting, seen["printer-state-reasons"].c_str());
    // Asked again about once a second while it waits: two answers more and
    // it is still waiting, with nothing printed.
    const std::size_t asked = printer->Lines().size();
    ASSERT_TRUE(printer->WaitFor(
        [&](const std::vector<std::string>& lines) {
            return std::count_if(lines.begin() + static_cast<std::ptrdiff_t>(asked), lines.end(),
                                 [](const std::string& l) { return l.find("# status request") == 0; }) >= 2;
        },
        std::chrono::seconds(30)));
    EXPECT_EQ(IppAttributes(uri, id)["job-state"], "processing");
    EXPECT_TRUE(HasReason(Printer()["printer-state-reasons"], "media-empty"));
    for (const std::string& line : printer->Lines()) EXPECT_THAT(line, ::testing::Not(StartsWith("receipt "))) << line;

    ASSERT_THAT(printer->Control("paper-out off"), StartsWith("ok"));
    const auto back = Clock::now();
    const auto completed = SecondsUntil([&] { return (job = IppAttributes(uri, id))["job-state"] == "completed"; }, back);
    ASSERT_TRUE(completed) << job["job-state"] << " " << job["job-state-reasons"] << "\n" << server->Log();
    std::printf("job completed %.2f s after the paper came back\n", *completed);
    ASSERT_EQ(sending.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const auto [status, out] = sending.get();
    EXPECT_EQ(status, 0) << out;
    EXPECT_THAT(out, HasSubstr("job-id (integer) = 1")) << out;
    ASSERT_TRUE(printer->WaitForLine("receipt 1: ", std::chrono::seconds(30)));
    EXPECT_TRUE(SecondsUntil([&] { return (seen = Printer())["printer-state-reasons"] == "none"; }, Clock::now()))
        << seen["printer-state-reasons"];

    // Once: one receipt, one stream with print data (the others only asked).
    const auto lines = printer->Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("receipt ", 0) == 0; }),
              1);
    Bytes stream;
    std::size_t printing = 0;
    for (const std::string& name : printer->StreamFiles()) {
        Bytes bytes = simtest::SimProcess::ReadFile(name);
        if (!simtest::WithoutStatusRequests(bytes).empty()) ++printing;
        if (bytes.size() > stream.size()) stream = std::move(bytes);
    }
    EXPECT_EQ(printing, 1u);
    const drivertest::FilterRun expected =
        drivertest::RunFilter(drivertest::MakeRaster(pages), "CashDrawer=After DrawerPin=Pin2");
    ASSERT_EQ(expected.status, 0) << expected.log;
    EXPECT_EQ(simtest::WithoutStatusRequests(stream), expected.output)
        << "the app sent " << simtest::WithoutStatusRequests(stream).size() << " bytes, the raster driver " << expected.output.size();

    // The printer pulsed the drawer after the last band, before the cut.
    const auto messages = printer->Messages();
    const auto lastBand = std::find_if(messages.rbegin(), messages.rend(), [](const std::string& l) {
                              return l.rfind("raster ", 0) == 0;
                          }).base();
    const auto pulse = std::find_if(messages.begin(), messages.end(),
                                    [](const std::string& l) { return l.rfind("drawer pulse pin 2 ", 0) == 0; });
    const auto cut = std::find(messages.begin(), messages.end(), "partial cut");
    ASSERT_NE(lastBand, messages.begin()) << ::testing::PrintToString(messages);
    ASSERT_NE(pulse, messages.end()) << ::testing::PrintToString(messages);
    ASSERT_NE(cut, messages.end()) << ::testing::PrintToString(messages);
    EXPECT_LT(lastBand - 1, pulse);
    EXPECT_LT(pulse, cut);
    EXPECT_THAT(*std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("receipt 1:", 0) == 0; }),
                HasSubstr("drawer pin 2"));
}

}  // namespace
