// The printer application against the CUPS queue the installer makes, for
// the same page, and what its server costs while nothing happens.
//
//   scripts/in-netns build/bench/printer_app_bench [ROUNDS] [IDLE_SECONDS]
//
// Print: a one-page PWG raster (576 x 2000 dots, 203 dpi, sgray_8: text-like
// lines with blank rows between them) to the last byte at printer-sim, both
// ways on one printer-sim: an IPP Print-Job to the application's printer
// (ipptool, receipt-socket://127.0.0.1) against `lp` to the POS80 queue that
// `lumbra install` adds to a private cupsd (the raster driver and the port
// monitor). CUPS is told the file is the CUPS raster it is
// (document-format=application/vnd.cups-raster), so that both ways hand the
// same page to the same encoder; left to type it, CUPS would turn it into a
// PDF and rasterise that again. The clock runs from the client's start to
// the job's last byte at printer-sim (its raw record of every byte taken);
// when the client returned and when the stream ended (after the status
// asked after the job) are information. Equal work: every job comes out at printer-sim as the
// same receipt (its PNG and its line). ROUNDS rounds (default 20), the order
// alternating every round; the median of the per-round ratios application /
// CUPS, target at most 0.5.
//
// Idle: the server's resident memory (VmRSS) after start and after the
// jobs, target under 20 MB each; then over IDLE_SECONDS (default 20) quiet
// seconds its voluntary context switches, summed over its threads, per
// second, and what woke it: the status requests and connections printer-sim
// saw meanwhile (the application's status probe of its printer).
//
// Exit status 0 when every target is met, 1 when one is missed, 2 when the
// run could not measure.
#include <cups/cups.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/ProcessCpu.h"
#include "driver/raster/tests/FilterHarness.h"
#include "sim/testing/SimProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using drivertest::Shell;

constexpr double kTargetRatio = 0.5;
constexpr long kTargetRssKb = 20 * 1024;
constexpr unsigned kWidth = 576, kHeight = 2000, kDpi = 203;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Text-like lines: 24-row bands of 20 dark rows of glyph cells, every other
// band blank; 0 is black in sgray.
unsigned char Pixel(unsigned x, unsigned y) {
    const unsigned band = y / 24, row = y % 24, cell = x / 12;
    const bool ink = band % 2 == 0 && row < 20 && x % 12 < 9 && (cell * 7 + band) % 5 != 0;
    return ink ? 0 : 255;
}

bool WritePwgRaster(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    cups_page_header2_t header;
    pwg_media_t* media = pwgMediaForSize(2540 * static_cast<int>(kWidth) / static_cast<int>(kDpi) + 1,
                                         2540 * static_cast<int>(kHeight) / static_cast<int>(kDpi) + 1);
    bool ok = raster && media &&
              cupsRasterInitPWGHeader(&header, media, "sgray_8", kDpi, kDpi, "one-sided", nullptr);
    if (ok) {
        header.cupsWidth = kWidth;
        header.cupsHeight = kHeight;
        header.cupsBytesPerLine = kWidth;
        ok = cupsRasterWriteHeader2(raster, &header);
    }
    std::vector<unsigned char> line(kWidth);
    for (unsigned y = 0; ok && y < kHeight; ++y) {
        for (unsigned x = 0; x < kWidth; ++x) line[x] = Pixel(x, y);
        ok = cupsRasterWritePixels(raster, line.data(), kWidth) == kWidth;
    }
    if (raster) cupsRasterClose(raster);
    return ::close(fd) == 0 && ok;
}

// /proc/PID/status fields summed over the process's threads (kB for VmRSS,
// which is the same in every thread: taken from the process), and its CPU
// time in ms.
struct Reading {
    long rssKb = 0, threads = 0;
    std::map<std::string, std::pair<long, long>> perThread;  // by thread ID: voluntary, involuntary
    double cpuMs = 0;
};
long Field(const fs::path& status, const std::string& name) {
    std::ifstream in(status);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
    return -1;
}
// The context switches from `a` to `b` (voluntary, involuntary): those of
// the threads that live at `b`, counted from `a` for the threads that lived
// then. (A thread that ended in between takes its count with it; taking the
// totals' difference would then count less than nothing.)
std::pair<long, long> SwitchesBetween(const Reading& a, const Reading& b) {
    std::pair<long, long> sum{0, 0};
    for (const auto& [tid, now] : b.perThread) {
        const auto then = a.perThread.find(tid);
        const std::pair<long, long> from = then == a.perThread.end() ? std::pair<long, long>{0, 0} : then->second;
        sum.first += now.first - from.first;
        sum.second += now.second - from.second;
    }
    return sum;
}
Reading Read(pid_t pid) {
    Reading r;
    const fs::path proc = fs::path("/proc") / std::to_string(pid);
    r.rssKb = Field(proc / "status", "VmRSS");
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(proc / "task", ec)) {
        const long v = Field(task.path() / "status", "voluntary_ctxt_switches");
        const long n = Field(task.path() / "status", "nonvoluntary_ctxt_switches");
        if (v < 0 || n < 0) continue;  // a thread that ended meanwhile
        ++r.threads;
        r.perThread[task.path().filename().string()] = {v, n};
    }
    r.cpuMs = bench::ProcessCpuMs(pid);
    return r;
}

// The application's server, started through a link of a name of its own
// (its client subcommands find the server by that name), on loopback, with
// its state and log in `dir`.
class AppServer {
public:
    AppServer(const fs::path& dir, std::uint16_t port) : dir_(dir), port_(port) {
        link_ = dir / ("rpa-bench-" + std::to_string(::getpid()));
        std::error_code ec;
        fs::create_directories(dir / "spool", ec);
        fs::create_symlink(PRINTER_APP, link_, ec);
        if (ec) return;
        const std::vector<std::string> args = {link_.string(),
                                               "server",
                                               "-o", "server-port=" + std::to_string(port),
                                               "-o", "listen-hostname=localhost",
                                               "-o", "spool-directory=" + (dir / "spool").string(),
                                               "-o", "log-file=" + (dir / "log").string(),
                                               "-o", "log-level=info",
                                               "-o", "dnssd=off"};
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open((dir / "server.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            ::dup2(out, 2);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~AppServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            for (int i = 0; i < 100 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (::kill(pid_, 0) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
        // The socket a server run as root makes for its client subcommands stays behind it.
        std::error_code ec;
        fs::remove(fs::path("/run") / (link_.filename().string() + ".sock"), ec);
    }
    pid_t Pid() const { return pid_; }
    std::string Uri(const std::string& path) const {
        return "ipp://127.0.0.1:" + std::to_string(port_) + path;
    }
    // Answers IPP (Get-System-Attributes) within 30 s.
    bool WaitUntilServing() const {
        const Clock::time_point end = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < end && pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (http_t* http = httpConnect2("127.0.0.1", port_, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 1000,
                                            nullptr)) {
                ipp_t* request = ippNewRequest(IPP_OP_GET_SYSTEM_ATTRIBUTES);
                ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr,
                             Uri("/ipp/system").c_str());
                ipp_t* response = cupsDoRequest(http, request, "/ipp/system");
                const bool ok = response && ippGetStatusCode(response) <= IPP_STATUS_OK_CONFLICTING;
                ippDelete(response);
                httpClose(http);
                if (ok) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Jobs not yet completed on `printer`; -1 when it cannot be asked.
    int ActiveJobs(const std::string& printer) const {
        http_t* http = httpConnect2("127.0.0.1", port_, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
        if (!http) return -1;
        ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     Uri("/ipp/print/" + printer).c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
        ipp_t* response = cupsDoRequest(http, request, ("/ipp/print/" + printer).c_str());
        int count = -1;
        if (response && ippGetStatusCode(response) <= IPP_STATUS_OK_CONFLICTING) {
            count = 0;
            for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response))
                count += ippGetName(a) && std::string(ippGetName(a)) == "job-id";
        }
        ippDelete(response);
        httpClose(http);
        return count;
    }
    // One of its client subcommands ("add -d NAME ..."); what it said and its status.
    std::string Client(const std::string& arguments, int* status) const {
        return Shell(link_.string() + " " + arguments, status);
    }
    std::string Log() const {
        std::ifstream in(dir_ / "log");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
    }

private:
    fs::path dir_, link_;
    std::uint16_t port_;
    pid_t pid_ = -1;
};

// printer-sim's job streams: ended streams of at least `bytes` bytes
// ("# tcp N closed (B bytes)"); status connections are shorter.
std::size_t JobStreams(const std::vector<std::string>& lines, std::size_t bytes) {
    std::size_t count = 0;
    for (const std::string& line : lines) {
        if (line.rfind("# tcp ", 0) != 0) continue;
        const auto at = line.find(" closed (");
        if (at != std::string::npos && std::strtoull(line.c_str() + at + 9, nullptr, 10) >= bytes) ++count;
    }
    return count;
}
std::size_t CountLines(const std::vector<std::string>& lines, std::size_t from, const std::string& prefix,
                       const std::string& containing = "") {
    std::size_t count = 0;
    for (std::size_t i = from; i < lines.size(); ++i)
        count += lines[i].rfind(prefix, 0) == 0 &&
                 (containing.empty() || lines[i].find(containing) != std::string::npos);
    return count;
}

struct Way {
    const char* what;
    std::function<bool()> submit;  // hands the job over; false when the client failed
    std::vector<double> seconds;
    std::vector<double> clientSeconds;  // until the client returned (the document handed over)
    std::vector<double> streamSeconds;  // until the job's stream ended
    std::size_t lastByte = 0;           // the job's last byte: its offset in the way's stream, + 1
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int idleSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    std::random_device rd;
    const fs::path tree = fs::path("/tmp") / ("printer-app-bench-" + std::to_string(rd() % 1000000));
    std::string said;
    if (!drivertest::StartPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string(), "", &said)) {
        std::fprintf(stderr, "private cupsd: %s\n", said.c_str());
        return 2;
    }
    ::setenv("LUMBRA_ROOT", tree.c_str(), 1);
    ::setenv("HOME", "/home/installer", 1);
    cupsSetServer((tree / "cups.sock").c_str());
    std::optional<AppServer> app;
    const auto finish = [&](int code) {
        app.reset();
        drivertest::StopPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string());
        return code;
    };

    simtest::SimOptions options;
    options.args = {"--no-udp", "--receipts", "{tmp}/receipts"};
    simtest::SimProcess printer(options);
    if (!printer.ok()) {
        std::fprintf(stderr, "printer-sim: %s\n", printer.error().c_str());
        return finish(2);
    }
    const std::string device = "127.0.0.1:" + std::to_string(printer.TcpPort());
    int status = -1;
    said = Shell(std::string(LUMBRA_PROGRAM) + " install --model POS80 --name POS80 --port net:" + device, &status);
    if (status != 0) {
        std::fprintf(stderr, "lumbra install: %s\n", said.c_str());
        return finish(2);
    }
    app.emplace(tree / "app", simtest::FreeTcpPort());
    if (!app->WaitUntilServing()) {
        std::fprintf(stderr, "the printer application did not serve IPP:\n%s\n", app->Log().c_str());
        return finish(2);
    }
    said = app->Client("add -d Bench -v receipt-socket://" + device + " -m receipt_80mm", &status);
    if (status != 0) {
        std::fprintf(stderr, "receipt-printer-app add: %s\n%s\n", said.c_str(), app->Log().c_str());
        return finish(2);
    }
    const Reading started = Read(app->Pid());

    const fs::path page = tree / "receipt.pwg", test = tree / "print-job.test";
    if (!WritePwgRaster(page)) {
        std::fprintf(stderr, "cannot write %s\n", page.c_str());
        return finish(2);
    }
    std::ofstream(test) << "{\n  NAME \"Print-Job\"\n  OPERATION Print-Job\n  GROUP operation-attributes-tag\n"
                           "  ATTR charset attributes-charset utf-8\n"
                           "  ATTR naturalLanguage attributes-natural-language en\n"
                           "  ATTR uri printer-uri $uri\n  ATTR name requesting-user-name bench\n"
                           "  ATTR mimeMediaType document-format image/pwg-raster\n"
                           "  ATTR name job-name receipt\n  FILE $filename\n  STATUS successful-ok\n}\n";
    const std::string ipptool = "ipptool -f " + page.string() + " " + app->Uri("/ipp/print/Bench") + " " + test.string();
    const std::string lp = "lp -d POS80 -o document-format=application/vnd.cups-raster " + page.string();
    std::vector<Way> ways = {
        {"application (IPP Print-Job)", [&] { int s = -1; Shell(ipptool, &s); return s == 0; }, {}, {}, {}, 0},
        {"CUPS queue (lp)", [&] { int s = -1; Shell(lp, &s); return s == 0; }, {}, {}, {}, 0},
    };

    // Each job: from the client's start to the job's last byte at the
    // printer (the raw record of every byte printer-sim took grows by the
    // way's offset of that byte in its stream), and on to the end of the
    // stream (after the status asked after the job). A way's offset is where
    // its first job's stream ends its last command, the cut (GS V).
    const fs::path raw = fs::path(printer.TempDir()) / "raw.bin";
    const auto rawSize = [&] {
        std::error_code ec;
        const auto size = fs::file_size(raw, ec);
        return ec ? std::size_t{0} : static_cast<std::size_t>(size);
    };
    std::size_t jobBytes = 1000, jobs = 0;
    auto print = [&](Way& way) {
        // The client runs on a thread of its own: the application answers
        // Print-Job once the job is done, after its last byte.
        const std::size_t before = rawSize();
        const Clock::time_point start = Clock::now();
        bool submitted = false;
        Clock::time_point handed;
        std::thread client([&] {
            submitted = way.submit();
            handed = Clock::now();
        });
        const Clock::time_point end = start + std::chrono::seconds(60);
        bool last = way.lastByte == 0;
        while (!last && Clock::now() < end) {
            last = rawSize() >= before + way.lastByte;
            if (!last) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const Clock::time_point lastAt = Clock::now();
        client.join();
        if (!submitted) return false;
        ++jobs;
        const bool closed = printer.WaitFor(
            [&](const std::vector<std::string>& lines) { return JobStreams(lines, jobBytes) >= jobs; },
            std::chrono::seconds(60));
        if (!last || !closed) return false;
        const auto seconds = [&](Clock::time_point t) { return std::chrono::duration<double>(t - start).count(); };
        way.clientSeconds.push_back(seconds(handed));
        way.seconds.push_back(seconds(lastAt));
        way.streamSeconds.push_back(seconds(Clock::now()));
        return true;
    };
    // One job each first (what a first job loads, later ones find ready):
    // the way's offset of the last byte, and the size below which a stream
    // is a status connection, not a job.
    bool ready = true;
    std::size_t smallest = SIZE_MAX;
    for (Way& way : ways) {
        ready = ready && print(way);
        const std::vector<std::string> streams = printer.StreamFiles();
        const auto bytes = ready ? simtest::SimProcess::ReadFile(streams.back()) : std::vector<std::uint8_t>{};
        const std::uint8_t cut[] = {0x1d, 'V'};
        const auto at = std::find_end(bytes.begin(), bytes.end(), std::begin(cut), std::end(cut));
        ready = ready && at != bytes.end() && bytes.end() - at >= 4;
        if (ready) way.lastByte = static_cast<std::size_t>(at - bytes.begin()) + 4;
        smallest = std::min(smallest, bytes.size());
        way.clientSeconds.clear();
        way.seconds.clear();
        way.streamSeconds.clear();
    }
    if (ready) jobBytes = smallest - smallest / 10;
    for (int r = 0; ready && r < rounds; ++r)
        for (int k = 0; ready && k < 2; ++k) ready = print(ways[static_cast<std::size_t>((k + r) % 2)]);
    if (!ready) {
        std::fprintf(stderr, "a job did not reach the printer (job %zu); the application's log:\n%s\nsee also %s/var/log/cups/error_log\n",
                     jobs, app->Log().c_str(), tree.c_str());
        return finish(2);
    }
    // Equal work: every job is the same receipt at the printer.
    const auto receiptsDone = [&](const std::vector<std::string>& lines) {
        return CountLines(lines, 0, "receipt ") >= jobs;
    };
    if (!printer.WaitFor(receiptsDone, std::chrono::seconds(30))) {
        std::fprintf(stderr, "printer-sim rendered fewer receipts than %zu jobs\n", jobs);
        return finish(2);
    }
    std::vector<std::string> receiptLines;
    for (const std::string& line : printer.Lines())
        if (line.rfind("receipt ", 0) == 0) receiptLines.push_back(line.substr(line.find(':')));
    const fs::path receipts = fs::path(printer.TempDir()) / "receipts";
    const auto first = simtest::SimProcess::ReadFile((receipts / "receipt-0001.png").string());
    std::size_t unequal = 0;
    for (std::size_t n = 1; n <= jobs; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "receipt-%04zu.png", n);
        unequal += simtest::SimProcess::ReadFile((receipts / name).string()) != first ||
                   receiptLines[n - 1] != receiptLines[0];
    }
    if (receiptLines.size() != jobs || first.empty() || unequal) {
        std::fprintf(stderr, "%zu of %zu receipts differ from the first (%s; %zu receipts): the ways did not do equal work;"
                     " receipts kept in %s\n", unequal, jobs, receiptLines.empty() ? "" : receiptLines[0].c_str(),
                     receiptLines.size(), receipts.c_str());
        ::setenv("SIM_KEEP_TMP", "1", 1);
        return finish(2);
    }

    // Idle: once the last job is done, quiet seconds.
    const Clock::time_point end = Clock::now() + std::chrono::seconds(30);
    while (app->ActiveJobs("Bench") != 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Reading afterJobs = Read(app->Pid());
    const std::size_t linesBefore = printer.Lines().size();
    const Reading a = Read(app->Pid());
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const Reading b = Read(app->Pid());
    const std::vector<std::string> lines = printer.Lines();
    const std::size_t statusRequests = CountLines(lines, linesBefore, "# status request ");
    const std::size_t connections = CountLines(lines, linesBefore, "# tcp ", " open");
    const std::size_t jobsDuringIdle = JobStreams(lines, jobBytes) - jobs;

    std::printf("one-page PWG raster, %u x %u dots (printed: %s), client start to the job's last byte at printer-sim, %d"
                " rounds, order alternating:\n",
                kWidth, kHeight, receiptLines[0].substr(2).c_str(), rounds);
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) ratios.push_back(ways[0].seconds[static_cast<std::size_t>(r)] / ways[1].seconds[static_cast<std::size_t>(r)]);
    const double ratio = Median(ratios);
    const bool fast = ratio <= kTargetRatio;
    std::printf("  application / CUPS queue: median ratio %.2f (min %.2f, max %.2f) target <= %.1f %s"
                "   [median %.1f ms / %.1f ms]\n",
                ratio, *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()),
                kTargetRatio, fast ? "met" : "MISSED", Median(ways[0].seconds) * 1000, Median(ways[1].seconds) * 1000);
    for (const Way& way : ways)
        std::printf("  %-28s medians: the client returned after %.1f ms, the last byte came at %.1f ms, the stream"
                    " ended at %.1f ms (%zu bytes to the last one)\n",
                    way.what, Median(way.clientSeconds) * 1000, Median(way.seconds) * 1000,
                    Median(way.streamSeconds) * 1000, way.lastByte);
    const bool smallStart = started.rssKb > 0 && started.rssKb < kTargetRssKb;
    const bool smallAfter = afterJobs.rssKb > 0 && afterJobs.rssKb < kTargetRssKb;
    std::printf("the idle server:\n  resident memory after start %ld kB, after %zu jobs %ld kB; target < %ld kB: %s\n",
                started.rssKb, jobs, afterJobs.rssKb, kTargetRssKb, smallStart && smallAfter ? "met" : "MISSED");
    const double seconds = idleSeconds;
    std::printf("  over %d quiet seconds: %.1f voluntary (%.1f involuntary) context switches per second over %ld threads,"
                " CPU %.0f ms\n",
                idleSeconds, static_cast<double>(SwitchesBetween(a, b).first) / seconds,
                static_cast<double>(SwitchesBetween(a, b).second) / seconds, b.threads, b.cpuMs - a.cpuMs);
    std::printf("  meanwhile at the printer: %zu connections, %zu status requests (%.2f per second: the status probe"
                " of the printer), %zu jobs\n",
                connections, statusRequests, static_cast<double>(statusRequests) / seconds, jobsDuringIdle);
    return finish(fast && smallStart && smallAfter ? 0 : 1);
}
