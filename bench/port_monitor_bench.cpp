// lp to the last byte at the printer for a one-page PDF receipt: a queue with
// the raster driver and the port monitor, against a queue of the same PPD
// whose filter and backend only copy their input (pipeline_copy), so that
// what CUPS itself costs (the PDF's rasterising, the scheduler) is in both.
// A private cupsd on loopback.
//
//   scripts/in-netns build/bench/port_monitor_bench [ROUNDS]
//
// Two printers: printer-sim, and a loopback sink that only reads. The copy
// queue sends printer-sim about a megabyte of CUPS raster, which printer-sim
// decodes as if it were commands before it reads on; the sink shows the
// pipelines without that. Prints the median time of each over ROUNDS rounds
// (the order rotating) and the median of the per-round ratios driver / copy
// (target: at most 1.2).
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
#include "sim/testing/SimProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr double kTarget = 1.2;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
        return changed_.wait_for(lock, timeout, [&] { return closed_ >= count; });
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
            while (Wait(client) && ::read(client, buffer.data(), buffer.size()) > 0) {
            }
            ::close(client);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++closed_;
            }
            changed_.notify_all();
        }
    }
    int fd_ = -1, stop_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t closed_ = 0;
};

struct Queue {
    std::string name;
    bool driver;                                 // driver + port monitor, else the copies
    std::function<bool(std::size_t)> lastByte;  // waits for the end of the printer's n-th stream
    std::vector<double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    char name[] = "/tmp/port-monitor-bench-XXXXXX";
    if (!::mkdtemp(name)) return 1;
    const fs::path tree = name;
    std::string started;
    if (!drivertest::StartPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string(), "", &started)) {
        std::fprintf(stderr, "private cupsd: %s\n", started.c_str());
        return 1;
    }
    int status = -1;

    simtest::SimProcess printer(std::vector<std::string>{"--no-udp"});
    LoopbackSink sink;
    if (!printer.ok() || sink.Port() == 0) {
        std::fprintf(stderr, "printer-sim: %s\n", printer.error().c_str());
        return 1;
    }
    // The programs where an install puts them, and a PPD for each filter.
    engine::PcdData data;
    data.resolution = 203;
    data.forms = engine::PcdFormsFor("POS80", 800, 2100);
    bool ready = Install(RASTER_FILTER, tree / "usr/lib/lumbra/driver/DriverDrv.dll") &&
                 Install(PIPELINE_COPY, tree / "usr/lib/lumbra/driver/CopyDrv.dll") &&
                 Install(PORT_MONITOR, tree / "usr/lib/cups/backend/receipt-monitor") &&
                 Install(PIPELINE_COPY, tree / "usr/lib/cups/backend/copy-bench");
    for (const char* filter : {"Driver", "Copy"})
        std::ofstream(tree / (std::string(filter) + ".ppd"))
            << linuxplat::BuildPpd("POS80 Driver", data, tree / "usr/lib/lumbra/driver" / (std::string(filter) + "Drv.dll"));

    auto atSim = [&](std::size_t n) { return printer.WaitForStreamsClosed(n, std::chrono::seconds(60)); };
    auto atSink = [&](std::size_t n) { return sink.WaitForClosed(n, std::chrono::seconds(60)); };
    std::vector<Queue> queues = {{"DriverSim", true, atSim, {}}, {"CopySim", false, atSim, {}},
                                 {"DriverSink", true, atSink, {}}, {"CopySink", false, atSink, {}}};
    for (const Queue& q : queues) {
        const bool toSim = q.name.find("Sim") != std::string::npos;
        const std::string uri = std::string(q.driver ? "receipt-monitor" : "copy-bench") + "://127.0.0.1:" +
                                std::to_string(toSim ? printer.TcpPort() : sink.Port()) + "/Bench";
        const std::string added = drivertest::Shell("lpadmin -p " + q.name + " -E -v " + uri + " -P " +
                                                        (tree / (q.driver ? "Driver.ppd" : "Copy.ppd")).string(),
                                                    &status);
        ready = ready && status == 0;
        if (status != 0) std::fprintf(stderr, "lpadmin: %s\n", added.c_str());
    }
    const fs::path pdf = tree / "receipt.pdf";
    std::ofstream(pdf, std::ios::binary) << drivertest::ReceiptPdf();

    std::size_t simStreams = 0, sinkStreams = 0;
    // Seconds from lp to the end of the printer's stream; < 0 when it did not come.
    auto print = [&](Queue& q) {
        std::size_t& streams = q.name.find("Sim") != std::string::npos ? simStreams : sinkStreams;
        const Clock::time_point start = Clock::now();
        drivertest::Shell("lp -d " + q.name + " " + pdf.string(), &status);
        if (status != 0 || !q.lastByte(++streams)) return -1.0;
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    // One print each first: the first job of a queue loads what later ones find ready.
    for (Queue& q : queues) ready = ready && print(q) > 0;
    for (int r = 0; ready && r < rounds; ++r) {
        for (std::size_t i = 0; i < queues.size(); ++i) {
            Queue& q = queues[(r + i) % queues.size()];
            const double t = print(q);
            ready = ready && t > 0;
            q.seconds.push_back(t);
        }
    }
    drivertest::Shell(std::string(PRIVATE_CUPSD_SCRIPT) + " stop " + tree.string(), &status);
    if (!ready) {
        std::fprintf(stderr, "a print did not reach its printer; see %s/var/log/cups/error_log\n", tree.c_str());
        return 1;
    }
    std::error_code ec;
    fs::remove_all(tree, ec);

    std::printf("one-page PDF receipt, lp to the end of the printer's stream, median of %d rounds:\n", rounds);
    bool ok = true;
    for (std::size_t i = 0; i < queues.size(); i += 2) {
        const Queue& ours = queues[i];
        const Queue& copy = queues[i + 1];
        std::vector<double> ratios;
        for (int r = 0; r < rounds; ++r) ratios.push_back(ours.seconds[r] / copy.seconds[r]);
        const double ratio = Median(ratios);
        ok = ok && ratio <= kTarget;
        std::printf("  at %-11s driver + port monitor %6.1f ms, copy filter + backend %6.1f ms, ratio %.2f %s\n",
                    i == 0 ? "printer-sim" : "a sink", Median(ours.seconds) * 1000, Median(copy.seconds) * 1000, ratio,
                    ratio <= kTarget ? "ok, <= 1.2" : "ABOVE 1.2");
    }
    return ok ? 0 : 2;
}
