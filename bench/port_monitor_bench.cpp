// lp to the last byte at the printer for a one-page PDF receipt: a queue with
// the raster driver and the port monitor, against a queue of the same PPD
// whose filter and backend do the least a driver must (pipeline_copy), so
// that what CUPS itself costs (the PDF's rasterising, the scheduler) is in
// both. A private cupsd on loopback.
//
//   scripts/in-netns build/bench/port_monitor_bench [ROUNDS]
//
// Both queues send the printer the same bytes: the first job through the
// driver is recorded at printer-sim, and the copy filter reads the raster row
// by row and writes those bytes at the pace of the rows; the bench checks
// every stream against the recording. Two printers: printer-sim, which
// decodes what it gets, and a loopback sink that only reads (and answers
// status requests as a ready printer). For each, the
// median over ROUNDS rounds of the per-round ratio driver / copy (target: at
// most 1.2), the order alternating within a round and between the printers.
// The times themselves are information only. Exit status 0 when both targets
// are met, 1 when one is missed, 2 when the run could not measure.
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/raster/tests/FilterHarness.h"
#include "installer/engine/PcdFile.h"
#include "platform/linux/cups/Ppd.h"
#include "protocol/PrinterStatus.h"
#include "sim/testing/SimProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr double kTarget = 1.2;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool Install(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::create_directories(to.parent_path(), ec);
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    return !ec && ::chmod(to.c_str(), 0755) == 0;
}

// A printer on 127.0.0.1 that reads each connection to its end and closes it.
class LoopbackSink {
public:
    LoopbackSink() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd_, 4) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LoopbackSink() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(fd_);
        ::close(stop_);
    }
    std::uint16_t Port() const { return port_; }
    bool WaitForClosed(std::size_t count, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return sizes_.size() >= count; });
    }
    // The bytes of each connection that has ended, in order.
    std::vector<std::size_t> Sizes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sizes_;
    }

private:
    bool Wait(int fd) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}};
        return ::poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN);
    }
    void Serve() {
        std::vector<char> buffer(1 << 16);
        while (Wait(fd_)) {
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::size_t size = 0;
            ssize_t n = 0;
            std::size_t matched = 0;  // bytes of a status query seen so far
            while (Wait(client) && (n = ::read(client, buffer.data(), buffer.size())) > 0) {
                size += static_cast<std::size_t>(n);
                // Answers the status requests as a ready printer does, so that
                // neither queue waits for an answer that never comes.
                for (ssize_t i = 0; i < n; ++i) {
                    const auto b = static_cast<std::uint8_t>(buffer[static_cast<std::size_t>(i)]);
                    matched = b == protocol::kStatusQuery[matched] ? matched + 1 : b == protocol::kStatusQuery[0];
                    if (matched < protocol::kStatusQuery.size()) continue;
                    matched = 0;
                    const std::uint8_t ready[protocol::kStatusAnswerCount] = {0x12, 0x12, 0x12, 0x12};
                    [[maybe_unused]] const ssize_t w = ::write(client, ready, sizeof ready);
                }
            }
            ::close(client);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                sizes_.push_back(size);
            }
            changed_.notify_all();
        }
    }
    int fd_ = -1, stop_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::size_t> sizes_;
};

struct Queue {
    std::string name;
    bool driver;  // driver + port monitor, else the copies
    std::vector<double> seconds;
};

// One printer and the two queues to it.
struct Line {
    const char* printer;
    bool toSim;
    std::function<bool(std::size_t)> lastByte;  // waits for the end of the printer's n-th stream
    std::size_t streams = 0;
    std::array<Queue, 2> queues;  // driver, copy
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    char name[] = "/tmp/port-monitor-bench-XXXXXX";
    if (!::mkdtemp(name)) return 2;
    const fs::path tree = name;
    std::string started;
    if (!drivertest::StartPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string(), "", &started)) {
        std::fprintf(stderr, "private cupsd: %s\n", started.c_str());
        return 2;
    }
    int status = -1;

    simtest::SimProcess printer(std::vector<std::string>{"--no-udp"});
    LoopbackSink sink;
    if (!printer.ok() || sink.Port() == 0) {
        std::fprintf(stderr, "printer-sim: %s\n", printer.error().c_str());
        return 2;
    }
    // The programs where an install puts them, and a PPD for each filter.
    const fs::path filters = tree / "usr/lib/lumbra/driver";
    engine::PcdData data;
    data.resolution = 203;
    data.forms = engine::PcdFormsFor("POS80", 800, 2100);
    bool ready = Install(RASTER_FILTER, filters / "DriverDrv.dll") && Install(PIPELINE_COPY, filters / "CopyDrv.dll") &&
                 Install(PORT_MONITOR, tree / "usr/lib/cups/backend/receipt-monitor") &&
                 Install(PIPELINE_COPY, tree / "usr/lib/cups/backend/copy-bench");
    for (const char* filter : {"Driver", "Copy"})
        std::ofstream(tree / (std::string(filter) + ".ppd"))
            << platform_linux::BuildPpd("POS80 Driver", data, filters / (std::string(filter) + "Drv.dll"));

    auto atSim = [&](std::size_t n) { return printer.WaitForStreamsClosed(n, std::chrono::seconds(60)); };
    auto atSink = [&](std::size_t n) { return sink.WaitForClosed(n, std::chrono::seconds(60)); };
    std::array<Line, 2> lines = {Line{"printer-sim", true, atSim, 0, {Queue{"DriverSim", true, {}}, {"CopySim", false, {}}}},
                                 Line{"a sink", false, atSink, 0, {Queue{"DriverSink", true, {}}, {"CopySink", false, {}}}}};
    for (const Line& line : lines) {
        for (const Queue& q : line.queues) {
            const std::string uri = std::string(q.driver ? "receipt-monitor" : "copy-bench") + "://127.0.0.1:" +
                                    std::to_string(line.toSim ? printer.TcpPort() : sink.Port()) + "/Bench";
            const std::string added = drivertest::Shell(
                "lpadmin -p " + q.name + " -E -v " + uri + " -P " + (tree / (q.driver ? "Driver.ppd" : "Copy.ppd")).string(),
                &status);
            ready = ready && status == 0;
            if (status != 0) std::fprintf(stderr, "lpadmin: %s\n", added.c_str());
        }
    }
    const fs::path pdf = tree / "receipt.pdf";
    std::ofstream(pdf, std::ios::binary) << drivertest::ReceiptPdf();

    // Seconds from lp to the end of the printer's stream; < 0 when it did not come.
    auto print = [&](Line& line, Queue& q) {
        const Clock::time_point start = Clock::now();
        drivertest::Shell("lp -d " + q.name + " " + pdf.string(), &status);
        if (status != 0 || !line.lastByte(++line.streams)) return -1.0;
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    // One print each first: the first job of a queue loads what later ones find
    // ready. The driver's first job at printer-sim is what the copies replay.
    std::vector<std::uint8_t> replay;
    ready = ready && print(lines[0], lines[0].queues[0]) > 0;
    if (ready) {
        const std::vector<std::string> streams = printer.StreamFiles();
        replay = streams.size() == 1 ? simtest::SimProcess::ReadFile(streams[0]) : std::vector<std::uint8_t>{};
        std::ofstream(filters / "CopyDrv.dll.replay", std::ios::binary)
            .write(reinterpret_cast<const char*>(replay.data()), static_cast<std::streamsize>(replay.size()));
        ready = !replay.empty();
        if (!ready) std::fprintf(stderr, "the driver's first job left no stream at printer-sim\n");
    }
    ready = ready && print(lines[0], lines[0].queues[1]) > 0;
    for (Queue& q : lines[1].queues) ready = ready && print(lines[1], q) > 0;
    // Each round prints every queue once; which printer goes first changes
    // every two rounds, and which queue of a printer goes first every round.
    for (int r = 0; ready && r < rounds; ++r) {
        for (int l = 0; l < 2; ++l) {
            Line& line = lines[(l + r / 2) % 2];
            for (int k = 0; k < 2; ++k) {
                Queue& q = line.queues[(k + r) % 2];
                const double t = ready ? print(line, q) : -1;
                ready = ready && t > 0;
                q.seconds.push_back(t);
            }
        }
    }
    drivertest::Shell(std::string(PRIVATE_CUPSD_SCRIPT) + " stop " + tree.string(), &status);
    if (!ready) {
        std::fprintf(stderr, "a print did not reach its printer; see %s/var/log/cups/error_log\n", tree.c_str());
        return 2;
    }
    // Equal work: every stream at either printer is the driver's first one.
    std::size_t unequal = 0;
    for (const std::string& stream : printer.StreamFiles()) unequal += simtest::SimProcess::ReadFile(stream) != replay;
    for (const std::size_t size : sink.Sizes()) unequal += size != replay.size();
    if (unequal) {
        std::fprintf(stderr, "%zu streams differ from the driver's %zu bytes: the queues did not do equal work\n",
                     unequal, replay.size());
        return 2;
    }
    std::error_code ec;
    fs::remove_all(tree, ec);

    std::printf("one-page PDF receipt, %zu bytes to the printer from either queue, lp to the end of the printer's "
                "stream, %d rounds, order alternating:\n",
                replay.size(), rounds);
    bool ok = true;
    for (const Line& line : lines) {
        const Queue& ours = line.queues[0];
        const Queue& copy = line.queues[1];
        std::vector<double> ratios;
        for (int r = 0; r < rounds; ++r) ratios.push_back(ours.seconds[r] / copy.seconds[r]);
        const double ratio = Median(ratios);
        const bool met = ratio <= kTarget;
        ok = ok && met;
        std::printf("  at %-11s driver + port monitor / copy filter + backend: median ratio %.2f (min %.2f, max %.2f)"
                    " target <= %.1f %s   [median %.1f ms / %.1f ms]\n",
                    line.printer, ratio, *std::min_element(ratios.begin(), ratios.end()),
                    *std::max_element(ratios.begin(), ratios.end()), kTarget, met ? "met" : "MISSED",
                    Median(ours.seconds) * 1000, Median(copy.seconds) * 1000);
    }
    return ok ? 0 : 1;
}
