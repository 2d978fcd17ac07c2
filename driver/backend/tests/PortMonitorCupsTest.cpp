// The port monitor end to end: `lumbra install` puts POS80 on a network port
// and on a USB port of a private cupsd; CUPS runs the driver and the port
// monitor as it would for a user; printer-sim (its TCP port and its fake USB
// tree) renders the receipts. cupsd hands the backends the fake USB tree and
// a loopback discovery destination (private-cupsd.sh --env).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cups/cups.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <thread>

#include "driver/raster/tests/FilterHarness.h"
#include "protocol/PrinterStatus.h"
#include "sim/Receipt.h"
#include "tests/support/HexMatch.h"

namespace {

namespace fs = std::filesystem;
using namespace drivertest;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

struct Queue {
    const char* name;
    bool usb;
};
const Queue kNetwork{"POS80", false};
const Queue kUsb{"POS80USB", true};

// Polls `condition` until it holds or `timeout` has passed.
bool Eventually(const std::function<bool()>& condition, std::chrono::seconds timeout = std::chrono::seconds(60)) {
    const Clock::time_point end = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// A multi-valued attribute ("printer-state-reasons") gives its values joined by commas.
std::string Attribute(ipp_t* response, const char* name) {
    ipp_attribute_t* a = ippFindAttribute(response, name, IPP_TAG_ZERO);
    if (!a) return {};
    if (ippGetValueTag(a) == IPP_TAG_ENUM || ippGetValueTag(a) == IPP_TAG_INTEGER)
        return std::to_string(ippGetInteger(a, 0));
    std::string values;
    for (int i = 0; i < ippGetCount(a); ++i) {
        const char* text = ippGetString(a, i, nullptr);
        values += (i ? "," : "") + std::string(text ? text : "");
    }
    return values;
}

// Attributes of a job ("job-state", "job-printer-state-message") or of a
// queue ("printer-state-message", "printer-alert-description").
std::map<std::string, std::string> Attributes(ipp_op_t op, const char* uriName, const std::string& resource,
                                              const std::vector<const char*>& names) {
    ipp_t* request = ippNewRequest(op);
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "%s", resource.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, uriName, nullptr, uri);
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    std::map<std::string, std::string> values;
    if (response && cupsLastError() <= IPP_STATUS_OK_CONFLICTING)
        for (const char* name : names) values[name] = Attribute(response, name);
    ippDelete(response);
    return values;
}

std::map<std::string, std::string> JobAttributes(int id) {
    return Attributes(IPP_OP_GET_JOB_ATTRIBUTES, "job-uri", "/jobs/" + std::to_string(id),
                      {"job-state", "job-printer-state-message"});
}

std::map<std::string, std::string> QueueAttributes(const Queue& queue) {
    return Attributes(IPP_OP_GET_PRINTER_ATTRIBUTES, "printer-uri", std::string("/printers/") + queue.name,
                      {"printer-state-message", "printer-alert-description", "printer-state-reasons", "device-uri"});
}

// Printer-sim's lines from `from` on.
std::vector<std::string> Since(const simtest::SimProcess& printer, std::size_t from) {
    const auto all = printer.Messages();
    return {all.begin() + static_cast<long>(std::min(from, all.size())), all.end()};
}

std::ptrdiff_t IndexOf(const std::vector<std::string>& lines, const std::function<bool(const std::string&)>& is,
                       bool last = false) {
    std::ptrdiff_t found = -1;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (is(lines[i]) && (found < 0 || last)) found = static_cast<std::ptrdiff_t>(i);
    return found;
}

// 576 dots wide, every row inked somewhere (no feeds, no blank tail).
TestPage PatternPage(unsigned rows) {
    TestPage page;
    page.height = rows;
    page.ink = [](unsigned x, unsigned y) { return ((x * 7 + y * 3) % 11 < 4 || x % 97 == y % 97) ? 255u : 0u; };
    return page;
}

// Equal bytes; a mismatch shows the 64 bytes from the first difference as hex.
::testing::AssertionResult SameJob(const std::string& expected, const std::vector<std::uint8_t>& actual) {
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && static_cast<std::uint8_t>(expected[at]) == actual[at]) ++at;
    if (at == expected.size() && at == actual.size()) return ::testing::AssertionSuccess();
    const auto window = [at](const auto& bytes) {
        const std::size_t from = std::min(at, bytes.size());
        return std::vector<std::uint8_t>(bytes.begin() + static_cast<long>(from),
                                         bytes.begin() + static_cast<long>(std::min(from + 64, bytes.size())));
    };
    return testhex::SameBytes(window(expected), window(actual))
           << "\n(from offset " << at << " of " << expected.size() << " expected, " << actual.size() << " received)";
}

// A raw ESC/POS receipt: ESC @, a raster image of 576 x `rows` dots (72 bytes
// a row, every byte in use), a cut.
std::string ImageJob(unsigned rows) {
    std::string text = "\x1b@\x1dv0";
    text += std::string{'\0', 72, '\0', static_cast<char>(rows & 0xff), static_cast<char>(rows >> 8)};
    for (unsigned i = 0; i < 72 * rows; ++i) text.push_back(static_cast<char>((i * 7 + i / 72) % 251));
    text += "\x1dV\x42";
    text.push_back('\0');
    return text;
}

using simtest::WithoutStatusRequests;

class PortMonitorCups : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::random_device rd;
        tree = fs::path("/tmp") / ("port-monitor-cups-" + std::to_string(rd() % 1000000));
        usbRoot = tree / "usbroot";
        tcpPort = simtest::FreeTcpPort();
        probePort = simtest::FreeUdpPort();
        replyPort = simtest::FreeUdpPort();
        std::string out;
        if (!StartPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string(),
                               "--env USB_PRINTER_ROOT=" + usbRoot.string() +
                                   " --env PRINTER_BROADCAST_ADDR=127.0.0.1 --env PRINTER_PROBE_PORT=" +
                                   std::to_string(probePort) + " --env PRINTER_REPLY_PORT=" +
                                   std::to_string(replyPort) + " --conf 'JobRetryInterval 1'",
                               &out)) {
            setupError = "the private cupsd did not start: " + out;
            return;
        }
        ::setenv("LUMBRA_ROOT", tree.c_str(), 1);
        ::setenv("USB_PRINTER_ROOT", usbRoot.c_str(), 1);
        ::setenv("HOME", "/home/installer", 1);
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_DOCUMENTS_DIR");
        cupsSetServer((tree / "cups.sock").c_str());

        // The USB install looks for a connected printer.
        const auto printer = StartPrinter();
        if (!printer->ok()) {
            setupError = "printer-sim did not start: " + printer->error();
            return;
        }
        const std::string lumbra = LUMBRA_PROGRAM;
        int status = -1;
        for (const std::string& install :
             {lumbra + " install --model POS80 --name POS80 --port net:127.0.0.1:" + std::to_string(tcpPort),
              lumbra + " install --model POS80 --name POS80USB --port usb"}) {
            const std::string said = Shell(install, &status);
            if (status != 0) {
                setupError = install + ": " + said;
                return;
            }
        }
    }
    static void TearDownTestSuite() { StopPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string()); }
    void SetUp() override {
        if (!setupError.empty()) GTEST_FAIL() << setupError;
    }

    // printer-sim on the queues' TCP port and USB tree, rendering receipts,
    // answering discovery as a printer at 127.0.0.1.
    static std::unique_ptr<simtest::SimProcess> StartPrinter(const std::vector<std::string>& extra = {}) {
        simtest::SimOptions options;
        options.args = {"--tcp-port", std::to_string(tcpPort), "--probe-port", std::to_string(probePort),
                        "--usb", usbRoot.string(), "--printer", "mac=02:00:00:00:00:02,ip=127.0.0.1",
                        "--receipts", "{tmp}/receipts"};
        options.args.insert(options.args.end(), extra.begin(), extra.end());
        options.replyPort = replyPort;
        auto printer = std::make_unique<simtest::SimProcess>(options);
        // The node as a udev rule makes it: writable for group lp, which the backend runs as.
        if (printer->ok()) ::chmod((usbRoot / "dev/usb/lp0").c_str(), 0666);
        return printer;
    }

    // lp; the job's id, or -1.
    static int Submit(const Queue& queue, const fs::path& file, const std::string& options = "") {
        int status = -1;
        const std::string out = Shell("lp -d " + std::string(queue.name) + " " + options + " " + file.string(), &status);
        const std::string prefix = "request id is " + std::string(queue.name) + "-";
        const auto at = out.find(prefix);
        EXPECT_NE(at, std::string::npos) << out;
        return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + prefix.size());
    }

    static std::optional<sim::Bitmap> Receipt(const simtest::SimProcess& printer, unsigned number, std::string* line) {
        return WaitForReceipt(printer, number, line, (tree / "var/log/cups/error_log").string());
    }

    static fs::path File(const std::string& name, const std::string& bytes) {
        const fs::path path = tree / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    static fs::path RasterFile(const std::string& name, const TestPage& page) {
        const Bytes raster = MakeRaster({page});
        return File(name, std::string(raster.begin(), raster.end()));
    }

    static inline fs::path tree, usbRoot;
    static inline std::uint16_t tcpPort = 0, probePort = 0, replyPort = 0;
    static inline std::string setupError;
};

TEST_F(PortMonitorCups, ReceiptsThroughTheNetworkAndTheUsbPort) {
    const TestPage page = PatternPage(300);
    const fs::path raster = RasterFile("pattern.ras", page);
    const fs::path pdf = File("receipt.pdf", ReceiptPdf());
    const fs::path png = tree / "square.png";
    std::string error;
    ASSERT_TRUE(WriteSquarePng(png.string(), &error)) << error;

    struct Job {
        const char* name;
        fs::path file;
        std::string options;
        // The receipt, its printer-sim line and the job's printer-sim lines.
        std::function<void(const sim::Bitmap&, const std::string&, const std::vector<std::string>&)> check;
    };
    const Job jobs[] = {
        {"raster, bit-exact", raster, "",
         [&](const sim::Bitmap& r, const std::string& line, const std::vector<std::string>&) {
             EXPECT_THAT(line, ::testing::EndsWith(": 576 x 340 dots, partial cut"));  // 300 rows and 5 mm of feed
             EXPECT_TRUE(SameBitmap(Expected(page, 576, 340), r));
         }},
        {"PDF", pdf, "",
         [](const sim::Bitmap& r, const std::string& line, const std::vector<std::string>&) {
             EXPECT_THAT(line, ::testing::EndsWith("partial cut"));
             CheckPdfReceipt(r);
         }},
        {"PNG", png, "",
         [](const sim::Bitmap& r, const std::string& line, const std::vector<std::string>&) {
             EXPECT_THAT(line, ::testing::EndsWith("partial cut"));
             CheckSquareReceipt(r);
         }},
        {"raster with the drawer after it", raster, "-o CashDrawer=After",
         [](const sim::Bitmap&, const std::string& line, const std::vector<std::string>& lines) {
             EXPECT_THAT(line, ::testing::EndsWith("partial cut, drawer pin 2"));
             const auto image = IndexOf(lines, [](const std::string& l) { return l.rfind("raster ", 0) == 0; }, true);
             const auto pulse = IndexOf(lines, [](const std::string& l) { return l.rfind("drawer pulse pin 2", 0) == 0; });
             const auto cut = IndexOf(lines, [](const std::string& l) { return l == "partial cut"; });
             EXPECT_GE(image, 0);
             EXPECT_LT(image, pulse) << ::testing::PrintToString(lines);
             EXPECT_LT(pulse, cut) << ::testing::PrintToString(lines);
         }},
    };

    for (const Queue& queue : {kNetwork, kUsb}) {
        SCOPED_TRACE(queue.name);
        const auto printer = StartPrinter();
        ASSERT_TRUE(printer->ok()) << printer->error();
        unsigned number = 0;
        for (const Job& job : jobs) {
            SCOPED_TRACE(job.name);
            const std::size_t before = printer->Messages().size();
            ASSERT_GT(Submit(queue, job.file, job.options), 0);
            std::string line;
            const auto receipt = Receipt(*printer, ++number, &line);
            ASSERT_TRUE(receipt);
            job.check(*receipt, line, Since(*printer, before));
        }
        const auto lines = printer->Lines();
        const std::string stream = queue.usb ? "# usb lp0 open" : "# tcp ";
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.rfind(stream, 0) == 0 && l.find(" open ") != std::string::npos; }),
                  4)
            << "one stream per job through the queue's port";
    }
}

// A printer that cannot be reached or drops the connection: the job waits in
// the queue with the state message and prints whole once the printer is back.
// A printer that stops taking data is reported while the job waits for it.
TEST_F(PortMonitorCups, JobWaitsForAnUnreachablePrinterAndPrintsWhenItIsBack) {
    // ESC @, a raster image of 576 x 28000 dots (2 MB: more than a loopback
    // connection holds, so that a printer that reads nothing holds the job up), a cut.
    const std::string text = ImageJob(28000);
    const fs::path job = File("long.bin", text);
    struct Case {
        const char* name;
        Queue queue;
        std::optional<std::vector<std::string>> first;  // the printer at the first attempt, if any
        const char* message;
        ipp_jstate_t state;  // of the job while it shows the message
    };
    const std::vector<std::string> stalls = {"--stall"};
    const Case cases[] = {
        {"network printer switched off", kNetwork, std::nullopt, "printer not reachable", IPP_JSTATE_HELD},
        {"USB printer unplugged", kUsb, std::nullopt, "printer not reachable", IPP_JSTATE_HELD},
        {"network printer drops the connection", kNetwork, std::vector<std::string>{"--reset-after", "1000"},
         "printer connection lost", IPP_JSTATE_HELD},
        // (It is then switched off: the job is held and printed again.)
        {"network printer stops taking data", kNetwork, stalls, "printer not taking data", IPP_JSTATE_PROCESSING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<simtest::SimProcess> first;
        if (c.first) {
            first = StartPrinter(*c.first);
            ASSERT_TRUE(first->ok()) << first->error();
        }
        const int id = Submit(c.queue, job, "-o raw");
        ASSERT_GT(id, 0);
        std::map<std::string, std::string> state;
        EXPECT_TRUE(Eventually([&] {
            state = JobAttributes(id);
            return state["job-state"] == std::to_string(c.state) && state["job-printer-state-message"] == c.message;
        })) << state["job-state"] << " " << state["job-printer-state-message"];
        const auto queue = QueueAttributes(c.queue);
        EXPECT_EQ(queue.at("printer-state-message"), c.message);
        EXPECT_EQ(queue.at("printer-alert-description"), c.message);
        first.reset();

        const auto printer = StartPrinter();
        ASSERT_TRUE(printer->ok()) << printer->error();
        EXPECT_TRUE(printer->WaitForLine("receipt 1: ", std::chrono::seconds(90)));
        EXPECT_TRUE(Eventually([&] { return JobAttributes(id)["job-state"] == std::to_string(IPP_JSTATE_COMPLETED); }));
        EXPECT_TRUE(SameJob(text, WithoutStatusRequests(printer->RawBytes())));
        EXPECT_EQ(QueueAttributes(c.queue).at("printer-alert-description"), "");
    }
}

// Cancelled while a slow printer takes a 4 m receipt: the driver ends at a
// band and the port monitor sends what it has whole, so no command is left
// unfinished. (Through the USB port: the node's small buffer keeps the job in
// the pipeline, where a loopback socket would take it all at once.)
TEST_F(PortMonitorCups, CancelledJobLeavesNoCommandUnfinished) {
    const TestPage page = PatternPage(32000);
    const fs::path raster = RasterFile("long.ras", page);
    const auto printer = StartPrinter({"--read-size", "4096", "--delay", "2"});
    ASSERT_TRUE(printer->ok()) << printer->error();
    const int id = Submit(kUsb, raster);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(printer->WaitForRawSize(100000, std::chrono::seconds(60)));
    int status = -1;
    EXPECT_EQ(Shell("cancel POS80USB-" + std::to_string(id), &status), "");
    EXPECT_TRUE(Eventually([&] { return JobAttributes(id)["job-state"] == std::to_string(IPP_JSTATE_CANCELED); }));
    ASSERT_TRUE(printer->WaitForStreamsClosed(1, std::chrono::seconds(60)));
    const auto lines = printer->Messages();
    for (const auto& line : lines) EXPECT_THAT(line, ::testing::Not(::testing::StartsWith("incomplete"))) << line;
    EXPECT_LT(printer->RawBytes().size(), std::size_t{32000} * 72) << "the whole job went out before the cancel";
    EXPECT_EQ(lines.front(), "initialize");
}

// How the printer is, told through printer-sim's control channel: while it
// cannot print the job waits and the queue says why (lpstat -p), within 2 s
// of the printer stopping; once it can, the job goes on where it stopped and
// prints whole and once. A printer that says nothing about itself prints as
// before; one not reachable at the start says so on the queue, even when the
// raster filter goes on after the monitor gave up.
TEST_F(PortMonitorCups, PrinterThatCannotPrintIsShownWaitedForAndPrintsOnce) {
    const std::string small = ImageJob(1000);   // 72 KB: fits in printer-sim's receive buffer
    const std::string large = ImageJob(28000);  // 2 MB: fills it and the connection before it ends
    const fs::path smallJob = File("small.bin", small), largeJob = File("large.bin", large);
    const fs::path pdf = File("receipt.pdf", ReceiptPdf());
    struct Case {
        const char* name;
        Queue queue;
        const fs::path* job;
        const std::string* bytes;             // the job's bytes (-o raw), or null for the PDF
        std::vector<std::string> simArgs;     // further printer-sim options
        std::vector<std::string> before;      // control lines before the job
        const char* shows;                    // the queue's message while it waits, or null: no wait
        const char* reason;                   // in printer-state-reasons meanwhile
        const char* event;                    // printer-sim's event the 2 s count from, or null
        std::vector<std::string> after;       // control lines that let it print
        bool startsLater = false;             // no printer until the queue shows `shows`
    };
    const Case cases[] = {
        {"paper out in the middle of a network job", kNetwork, &smallJob, &small, {}, {"paper-out after 30000"},
         "paper out", "media-empty-error", "# paper out", {"paper-out off"}},
        {"paper out in the middle of a USB job", kUsb, &smallJob, &small, {}, {"paper-out after 30000"},
         "paper out", "media-empty-error", "# paper out", {"paper-out off"}},
        {"paper out with the printer's buffer and the connection full: asked over a second connection", kNetwork,
         &largeJob, &large, {}, {"paper-out after 300000"}, "paper out", "media-empty-error", "# paper out",
         {"paper-out off"}},
        {"cover open before the job", kUsb, &smallJob, &small, {}, {"cover-open on"}, "cover open",
         "cover-open-error", nullptr, {"cover-open off"}},
        {"a printer that never answers status prints as before", kNetwork, &smallJob, &small, {},
         {"status-silent on"}, nullptr, nullptr, nullptr, {}},
        {"a USB node with no way back prints as before", kUsb, &smallJob, &small, {"--usb-fifo"}, {}, nullptr,
         nullptr, nullptr, {}},
        // (The job is tried again meanwhile, and each start resets the queue's reasons: only the message is
        // sure to be seen.)
        {"not reachable at the start of a PDF job", kNetwork, &pdf, nullptr, {}, {}, "printer not reachable",
         nullptr, nullptr, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--control", "{tmp}/control.sock"};  // SimProcess::ControlPath()
        args.insert(args.end(), c.simArgs.begin(), c.simArgs.end());
        std::unique_ptr<simtest::SimProcess> printer;
        if (!c.startsLater) {
            printer = StartPrinter(args);
            ASSERT_TRUE(printer->ok()) << printer->error();
            for (const std::string& line : c.before) ASSERT_THAT(printer->Control(line), ::testing::StartsWith("ok")) << line;
        }
        const int id = Submit(c.queue, *c.job, c.bytes ? "-o raw" : "");
        ASSERT_GT(id, 0);
        if (c.shows) {
            std::optional<Clock::time_point> began, shown;
            std::map<std::string, std::string> queue;
            std::string listed;
            // One look sees the queue (as lpstat -p shows it), its alert and the job say it.
            EXPECT_TRUE(Eventually([&] {
                const auto now = Clock::now();
                if (!began && c.event && printer) {
                    const auto lines = printer->Lines();
                    if (std::find(lines.begin(), lines.end(), c.event) != lines.end()) began = now;
                }
                queue = QueueAttributes(c.queue);
                if (!shown && queue["printer-state-message"] == c.shows &&
                    (!c.reason || queue["printer-state-reasons"].find(c.reason) != std::string::npos) &&
                    // (A job held for its printer is tried again meanwhile, which resets these.)
                    (!printer || (queue["printer-alert-description"] == c.shows &&
                                  JobAttributes(id)["job-printer-state-message"] == c.shows))) {
                    int status = -1;
                    listed = Shell(std::string("lpstat -p ") + c.queue.name, &status);
                    if (listed.find(c.shows) != std::string::npos) shown = now;
                }
                return shown && (began || !c.event);
            })) << queue["printer-state-message"] << " / " << queue["printer-state-reasons"] << " / " << listed;
            if (began && shown) {
                EXPECT_LT(std::chrono::duration<double>(*shown - *began).count(), 2.0) << "from " << c.event;
            }
            if (printer) {
                EXPECT_EQ(JobAttributes(id)["job-state"], std::to_string(IPP_JSTATE_PROCESSING)) << "the job waits";
                // A printer that could not print before the job got nothing of it.
                if (!c.event) {
                    EXPECT_TRUE(WithoutStatusRequests(printer->RawBytes()).empty());
                }
                for (const std::string& line : c.after) EXPECT_THAT(printer->Control(line), ::testing::StartsWith("ok"));
            }
        }
        if (!printer) {
            printer = StartPrinter(args);
            ASSERT_TRUE(printer->ok()) << printer->error();
        }
        EXPECT_TRUE(Eventually([&] { return JobAttributes(id)["job-state"] == std::to_string(IPP_JSTATE_COMPLETED); }))
            << JobAttributes(id)["job-printer-state-message"];
        EXPECT_TRUE(printer->WaitForLine("receipt 1: ", std::chrono::seconds(30)));
        if (c.bytes) {
            // The job's own stream (a question asked over a second connection has its own).
            std::vector<std::uint8_t> stream;
            for (const std::string& file : printer->StreamFiles()) {
                auto bytes = simtest::SimProcess::ReadFile(file);
                if (bytes.size() > stream.size()) stream = std::move(bytes);
            }
            EXPECT_TRUE(SameJob(*c.bytes, WithoutStatusRequests(stream)));
        }
        const auto lines = printer->Lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("receipt ", 0) == 0; }), 1)
            << "printed exactly once";
        const auto queue = QueueAttributes(c.queue);
        EXPECT_EQ(queue.at("printer-alert-description"), "");
        for (const char* reason : {"media-empty-error", "cover-open-error", "offline-report", "media-low-report"})
            EXPECT_EQ(queue.at("printer-state-reasons").find(reason), std::string::npos) << queue.at("printer-state-reasons");
    }
}

TEST_F(PortMonitorCups, LpinfoListsTheNetworkAndTheUsbPrinter) {
    const auto printer = StartPrinter();
    ASSERT_TRUE(printer->ok()) << printer->error();
    int status = -1;
    const std::string listed = Shell("lpinfo -l --include-schemes pos-usb-printer-monitor -v", &status);
    EXPECT_EQ(status, 0) << listed;
    EXPECT_THAT(listed, HasSubstr("uri = pos-usb-printer-monitor://127.0.0.1:9100\n"
                                  "        class = network\n"
                                  "        info = Receipt printer 127.0.0.1 (02:00:00:00:00:02)\n"));
    EXPECT_THAT(listed, HasSubstr("uri = pos-usb-printer-monitor:/usb?VidAndPid=vid_0418%26pid_5011\n"
                                  "        class = direct\n"
                                  "        info = Receipt printer USB 0418:5011\n"));
    EXPECT_TRUE(printer->WaitForLine("probe from 127.0.0.1"));
}

// The port monitor run as CUPS runs it, without a queue: the URIs it refuses
// (stop the queue: an administrator must mend the URI), an IPv6 printer, and
// copies of a file that cannot be read twice.
TEST(PortMonitorByHand, RefusedUrisIpv6AndCopiesOfAFifo) {
    const auto printer = std::make_unique<simtest::SimProcess>(simtest::SimOptions{});
    ASSERT_TRUE(printer->ok()) << printer->error();
    // A printer on ::1 (printer-sim listens on IPv4): takes one stream, counts its bytes.
    const int v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_loopback;
    socklen_t size = sizeof any6;
    ASSERT_EQ(::bind(v6, reinterpret_cast<const sockaddr*>(&any6), sizeof any6), 0);
    ASSERT_EQ(::listen(v6, 1), 0);
    ASSERT_EQ(::getsockname(v6, reinterpret_cast<sockaddr*>(&any6), &size), 0);
    std::size_t v6Bytes = 0;
    std::thread v6Printer([&] {
        pollfd ready{v6, POLLIN, 0};
        const int c = ::poll(&ready, 1, 60000) == 1 ? ::accept(v6, nullptr, nullptr) : -1;
        char buffer[4096];
        for (ssize_t n; c >= 0 && (n = ::read(c, buffer, sizeof buffer)) > 0;) v6Bytes += static_cast<std::size_t>(n);
        if (c >= 0) ::close(c);
    });

    const std::string tcp = "127.0.0.1:" + std::to_string(printer->TcpPort());
    const std::string receipt = std::string("\x1b@receipt 42\n\x1dV\x42", 16) + '\0';
    const fs::path folder = printer->TempDir();
    const fs::path file = folder / "receipt.bin", fifo = folder / "receipt.fifo";
    std::ofstream(file, std::ios::binary) << receipt;
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Row {
        std::string uri;
        bool fromFifo;
        int copies;
        int status;          // 4: stop the queue
        std::string says;    // in its output
        std::size_t copiesPrinted;
    };
    const Row rows[] = {
        {"m://127.0.0.1%2F:" + std::to_string(printer->TcpPort()) + "/P", false, 1, 4,
         "ERROR: the device URI names no printer (bad printer address \"127.0.0.1%2F\")", 0},
        {"m://127.0.0.1%3A9100:" + std::to_string(printer->TcpPort()) + "/P", false, 1, 4, "bad printer address", 0},
        {"m://lp%40127.0.0.1:" + std::to_string(printer->TcpPort()) + "/P", false, 1, 4, "bad printer address", 0},
        {"m://[127.0.0.1]:" + std::to_string(printer->TcpPort()) + "/P", false, 1, 4, "bad printer address", 0},
        {"m://" + tcp + "/P", false, 2, 0, "INFO: printing on " + tcp, 2},
        {"m://" + tcp + "/P", true, 2, 0, "INFO: printing on " + tcp, 2},
        {"m://[::1]:" + std::to_string(ntohs(any6.sin6_port)) + "/P", false, 1, 0, "INFO: printing on [::1]:", 0},
    };
    // Every job that reaches printer-sim is asked how the printer is before
    // its first byte and after its last.
    const std::size_t asked = 2 * protocol::kStatusQuery.size();
    std::size_t expected = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.uri + (row.fromFifo ? " (FIFO)" : ""));
        const std::string input = row.fromFifo ? fifo.string() : file.string();
        const std::string command = (row.fromFifo ? "cat " + file.string() + " > " + input + " & " : std::string()) +
                                    "DEVICE_URI='" + row.uri + "' " + PORT_MONITOR_PROGRAM + " 7 shop receipt " +
                                    std::to_string(row.copies) + " '' " + input;
        int status = -1;
        const std::string said = Shell(command, &status);
        EXPECT_EQ(status, row.status) << said;
        EXPECT_THAT(said, HasSubstr(row.says));
        if (row.copiesPrinted > 0) expected += row.copiesPrinted * receipt.size() + asked;
        EXPECT_TRUE(printer->WaitForRawSize(expected));
        EXPECT_EQ(printer->RawBytes().size(), expected) << said;
    }
    v6Printer.join();
    ::close(v6);
    // This printer does not answer the requests before the job, so it is not asked after it.
    EXPECT_EQ(v6Bytes, protocol::kStatusQuery.size() + receipt.size());
}

}  // namespace
