// ferrik_bench: a 1 MiB firmware image sent by the update tool's own code,
// over TCP into printer-sim and over USB into printer-sim's fake USB printer,
// against a plain loop of system calls that writes the same stream with the
// same piece size into the same sink, in the same run, alternating. Prints
// the best and the median time of each, and plain / tool as the median of the
// per-round ratios (1.0: as fast as the plain loop; the target is >= 0.9).
//
//   scripts/in-netns build/bench/ferrik_bench [--rounds N]
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/linux/usb/LinuxUsbDeviceSource.h"
#include "protocol/Discovery.h"
#include "sim/testing/SimProcess.h"
#include "update-tool/core/UpdateTool.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

class SilentWindow : public ferrik::UpdateWindow {
public:
    void SetProgress(int, std::int64_t) override {}
    void ShowDevicePath(const std::string&) override {}
    void ShowStatus(const std::string&) override {}
    void ShowMessageBox(const std::string& text) override { last = text; }
    void SetButtonEnabled(ferrik::ActionButton, bool) override {}
    void ClearDeviceList() override {}
    void EndProgram(const std::string& text, int) override { last = text; ended = true; }
    std::string last;
    bool ended = false;
};

Bytes Image(std::size_t size) {
    Bytes out(size);
    std::uint32_t seed = 12345;
    for (auto& b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    return out;
}

Bytes UsbStream(const Bytes& image) {  // whole blocks only
    Bytes out{0x1B, 0x2B};
    out.insert(out.end(), image.begin(), image.end());
    if ((image.size() / 256) % 2) out.insert(out.end(), 256, 0x55);
    out.insert(out.end(), 512, 0x55);
    std::uint32_t sum = 0;
    for (std::size_t i = 2; i < out.size(); ++i) sum += out[i];
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(sum >> (8 * i)));
    return out;
}

Bytes NetStream(const Bytes& image) {
    Bytes out{0x1B, 0x2B};
    out.insert(out.end(), image.begin(), image.end());
    out.insert(out.end(), 768, 0x55);
    return out;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// Waits until printer-sim has seen `streams` streams end and checked the image.
bool SimDone(const simtest::SimProcess& sim, std::size_t streams) {
    return sim.WaitForStreamsClosed(streams, std::chrono::seconds(60));
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 15;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    const Bytes image = Image(1 << 20);
    const auto folder = std::filesystem::temp_directory_path() / ("ferrik-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string imagePath = (folder / "PRINT_NET80.bin").string();
    {
        std::ofstream out(imagePath, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }

    simtest::SimOptions options;
    options.args = {"--quiet-probes"};
    options.usb = true;
    simtest::SimProcess sim(options);
    if (!sim.ok()) {
        std::fprintf(stderr, "printer-sim did not start: %s\n", sim.error().c_str());
        return 1;
    }
    SilentWindow window;
    protocol::DeviceTable table;
    ferrik::UpdateSettings settings;
    settings.tcpPort = sim.TcpPort();
    settings.tableSettleMs = 0;
    platform_linux::LinuxUsbDeviceSource usb(sim.UsbRoot());
    ferrik::UpdateTool tool(window, usb, table, settings);

    const Bytes netStream = NetStream(image);
    const Bytes usbStream = UsbStream(image);
    std::vector<double> toolTcp, plainTcp, toolUsb, plainUsb;
    std::size_t streams = 0;
    bool ok = true;

    auto timed = [&](std::vector<double>& times, const std::function<bool()>& run) {
        const auto start = Clock::now();
        ok = ok && run();
        times.push_back(Ms(Clock::now() - start));
    };
    // TCP, the tool: one line in the device list, 127.0.0.1.
    auto toolOverTcp = [&] {
        protocol::DeviceRecord record;
        record.bytes[0] = 1;
        record.bytes[14] = 127;
        record.bytes[17] = 1;
        table.Clear();
        table.Add(record);
        return tool.SendFirmwareOverNetwork(0, imagePath) == ferrik::Outcome::Done && SimDone(sim, ++streams);
    };
    // TCP, the plain loop: 256-byte sends of the same stream.
    auto plainOverTcp = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(sim.TcpPort());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool sent = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
                    ::send(fd, netStream.data(), 2, MSG_NOSIGNAL) == 2;
        for (std::size_t at = 2; sent && at < netStream.size();) {
            const ssize_t n =
                ::send(fd, netStream.data() + at, std::min<std::size_t>(256, netStream.size() - at), MSG_NOSIGNAL);
            sent = n > 0;
            at += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        }
        ::close(fd);
        return sent && SimDone(sim, ++streams);
    };
    auto toolOverUsb = [&] {
        return tool.SendFirmwareOverUsb(imagePath) == ferrik::Outcome::Done && SimDone(sim, ++streams);
    };
    // USB, the plain loop: 64-byte writes into the node.
    auto plainOverUsb = [&] {
        const int fd = ::open(sim.UsbNodes().at(0).c_str(), O_WRONLY | O_CLOEXEC);
        bool written = fd >= 0;
        for (std::size_t at = 0; written && at < usbStream.size(); at += 64)
            written = ::write(fd, usbStream.data() + at, std::min<std::size_t>(64, usbStream.size() - at)) > 0;
        if (fd >= 0) ::close(fd);
        return written && SimDone(sim, ++streams);
    };

    for (int round = 0; round < rounds && ok; ++round) {
        // Which one goes first alternates from round to round.
        if (round % 2 == 0) {
            timed(toolTcp, toolOverTcp);
            timed(plainTcp, plainOverTcp);
            timed(toolUsb, toolOverUsb);
            timed(plainUsb, plainOverUsb);
        } else {
            timed(plainTcp, plainOverTcp);
            timed(toolTcp, toolOverTcp);
            timed(plainUsb, plainOverUsb);
            timed(toolUsb, toolOverUsb);
        }
    }
    std::filesystem::remove_all(folder);
    if (!ok) {
        std::fprintf(stderr, "a run failed (%s)\n", window.last.c_str());
        return 1;
    }
    const auto lines = sim.Lines();
    const auto good = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("firmware received: 4096 blocks, checksum ok") != std::string::npos;
    });
    // The verdict uses the ratio within each round (both ran within moments of
    // each other), so that load coming and going between rounds cancels out.
    auto pairedRatio = [](const std::vector<double>& plain, const std::vector<double>& tool) {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < plain.size(); ++i) ratios.push_back(plain[i] / tool[i]);
        return Median(ratios);
    };
    const double tcpRatio = pairedRatio(plainTcp, toolTcp);
    const double usbRatio = pairedRatio(plainUsb, toolUsb);
    std::printf("ferrik_bench: 1 MiB image, %d rounds, time until printer-sim saw the stream end (best / median)\n",
                rounds);
    std::printf("  tcp  ferrik %6.1f / %6.1f ms   plain loop %6.1f / %6.1f ms   ratio %.2f (of medians %.2f)\n",
                Best(toolTcp), Median(toolTcp), Best(plainTcp), Median(plainTcp), tcpRatio,
                Median(plainTcp) / Median(toolTcp));
    std::printf("  usb  ferrik %6.1f / %6.1f ms   plain loop %6.1f / %6.1f ms   ratio %.2f (of medians %.2f)\n",
                Best(toolUsb), Median(toolUsb), Best(plainUsb), Median(plainUsb), usbRatio,
                Median(plainUsb) / Median(toolUsb));
    std::printf("  printer-sim checked %ld of %zu streams: \"checksum ok\"\n", static_cast<long>(good), streams);
    std::printf("  target ratio >= 0.90: %s\n", tcpRatio >= 0.9 && usbRatio >= 0.9 ? "met" : "NOT met");
    return 0;
}
