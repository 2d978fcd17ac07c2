// printer-sim as a child process: TCP and fake USB streams, discovery, the
// address setting and the failure modes, seen through SimProcess.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Discovery.h"
#include "protocol/SettingsCommands.h"
#include "tests/support/HexMatch.h"
#include "sim/testing/SimProcess.h"

using namespace std::chrono_literals;
using protocol::Bytes;
using simtest::SimProcess;
using testhex::SameBytes;
namespace fs = std::filesystem;

namespace {

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string FileText(const fs::path& path) {
    const auto bytes = SimProcess::ReadFile(path.string());
    return {bytes.begin(), bytes.end()};
}

// A connected, non-blocking TCP socket to the simulator.
int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends until the peer stops taking bytes (non-blocking); returns what went out.
std::size_t SendUntilFull(int fd, std::chrono::milliseconds patience) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const Bytes block(4096, 0x41);
    std::size_t sent = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - lastProgress < patience) {
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            lastProgress = std::chrono::steady_clock::now();
        } else {
            std::this_thread::sleep_for(5ms);
        }
    }
    return sent;
}

}  // namespace

TEST(PrinterSim, TcpConnectionsAreRecordedAndDecoded) {
    SimProcess sim;
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_NE(sim.TcpPort(), 0);

    const Bytes setIp = protocol::SetIp({192, 168, 1, 199}, {255, 255, 255, 0}, {192, 168, 0, 1});
    const Bytes text = {'W', 'e', 'l', 'c', 'o', 'm', 'e', '\r', '\n'};
    ASSERT_TRUE(sim.SendTcp(setIp));
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    // One connection that delivers several messages in small, badly cut pieces.
    const Bytes several = Concat({text, protocol::CutTest(), protocol::CodePage(23), protocol::Density(12)});
    const int fd = Connect(sim.TcpPort());
    ASSERT_GE(fd, 0);
    for (std::size_t at = 0; at < several.size(); at += 5) {
        const std::size_t n = std::min<std::size_t>(5, several.size() - at);
        ASSERT_EQ(::send(fd, several.data() + at, n, MSG_NOSIGNAL), static_cast<ssize_t>(n));
        std::this_thread::sleep_for(2ms);
    }
    ::close(fd);
    ASSERT_TRUE(sim.WaitForStreamsClosed(2));

    EXPECT_EQ(sim.Messages(), (std::vector<std::string>{
                                  "set IP 192.168.1.199 mask 255.255.255.0 gateway 192.168.0.1",
                                  "text: Welcome", "cut", "code page 23 (pc1001)", "density 12"}));
    EXPECT_TRUE(SameBytes(Concat({setIp, several}), sim.RawBytes()));
    const auto files = sim.StreamFiles();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(SameBytes(setIp, SimProcess::ReadFile(files[0])));
    EXPECT_TRUE(SameBytes(several, SimProcess::ReadFile(files[1])));
    EXPECT_TRUE(sim.WaitForLine("# tcp 2 closed (" + std::to_string(several.size()) + " bytes)"));

    // Two connections at once keep their own buffers.
    const int a = Connect(sim.TcpPort());
    const int b = Connect(sim.TcpPort());
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_TRUE(sim.WaitForLine("# tcp 4 open"));
    ASSERT_EQ(::send(a, setIp.data(), 10, MSG_NOSIGNAL), 10);
    ASSERT_TRUE(sim.WaitForRawSize(setIp.size() + several.size() + 10));
    const Bytes cut = protocol::CutTest();
    ASSERT_EQ(::send(b, cut.data(), cut.size(), MSG_NOSIGNAL), static_cast<ssize_t>(cut.size()));
    ::close(b);
    ASSERT_TRUE(sim.WaitForStreamsClosed(3));
    ASSERT_EQ(::send(a, setIp.data() + 10, setIp.size() - 10, MSG_NOSIGNAL), static_cast<ssize_t>(setIp.size() - 10));
    ::close(a);
    ASSERT_TRUE(sim.WaitForStreamsClosed(4));
    const auto messages = sim.Messages();
    ASSERT_EQ(messages.size(), 7u);
    EXPECT_EQ(messages[5], "cut");
    EXPECT_EQ(messages[6], messages[0]);
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(PrinterSim, FakeUsbPrinterTreeAndFifo) {
    SimProcess sim({"--usb-fifo", "--usb", "{tmp}/usb:0055", "--usb-serial", "SN42", "--usb-vendor", "0471"}, true);
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.UsbNodes().size(), 2u);
    const fs::path root = sim.UsbRoot();
    EXPECT_EQ(sim.UsbNodes()[0], (root / "dev/usb/lp0").string());
    // The first device is the --usb of the arguments; the `usb` option adds the second.
    EXPECT_EQ(FileText(root / "sys/bus/usb/devices/1-1/idVendor"), "0471\n");
    EXPECT_EQ(FileText(root / "sys/bus/usb/devices/1-1/idProduct"), "0055\n");
    EXPECT_EQ(FileText(root / "sys/bus/usb/devices/1-1/serial"), "SN42\n");
    EXPECT_EQ(FileText(root / "sys/bus/usb/devices/1-2/idVendor"), "0418\n");
    EXPECT_EQ(FileText(root / "sys/bus/usb/devices/1-2/idProduct"), "5011\n");
    EXPECT_FALSE(fs::exists(root / "sys/bus/usb/devices/1-2/serial"));
    EXPECT_TRUE(fs::is_directory(root / "sys/bus/usb/devices/1-2:1.0"));
    EXPECT_EQ(fs::read_symlink(root / "sys/class/usbmisc/lp1/device"), "../../../bus/usb/devices/1-2:1.0");
    EXPECT_EQ(fs::canonical(root / "sys/class/usbmisc/lp1/device").filename(), "1-2:1.0");
    EXPECT_TRUE(fs::is_fifo(root / "dev/usb/lp1"));
    // Open to every user whatever the umask: CUPS runs the port monitor as lp.
    struct stat node {};
    ASSERT_EQ(::stat((root / "dev/usb/lp1").c_str(), &node), 0);
    EXPECT_EQ(node.st_mode & 0777, 0666u);

    // Two writer sessions on lp1; a message may be cut between two writes of a session.
    const Bytes buzzer = protocol::Buzzer(3);
    const int fd = ::open(sim.UsbNodes()[1].c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, buzzer.data(), 4), 4);
    ASSERT_EQ(::write(fd, buzzer.data() + 4, 2), 2);
    ::close(fd);
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    ASSERT_TRUE(sim.WriteUsb(protocol::Dhcp(false), 1));
    ASSERT_TRUE(sim.WaitForStreamsClosed(2));
    ASSERT_TRUE(sim.WriteUsb(protocol::CashDrawer(), 0));
    ASSERT_TRUE(sim.WaitForStreamsClosed(3));

    EXPECT_EQ(sim.Messages(), (std::vector<std::string>{"buzzer 3", "DHCP off", "cash drawer"}));
    EXPECT_TRUE(SameBytes(Concat({buzzer, protocol::Dhcp(false), protocol::CashDrawer()}), sim.RawBytes()));
    EXPECT_TRUE(sim.WaitForLine("# usb lp1 closed (6 bytes)"));
    EXPECT_TRUE(sim.WaitForLine("# usb lp0 closed (6 bytes)"));

    // The tree goes away with the simulator.
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(fs::exists(root / "dev/usb/lp0"));
    EXPECT_FALSE(fs::exists(root / "sys/bus/usb/devices/1-1"));
}

TEST(PrinterSim, TwoPrintersAnswerProbesAndTakeAnAddressSetting) {
    SimProcess sim(std::vector<std::string>{
        "--printer", "mac=00:1a:0b:ff:07:c0,ip=192.168.0.199,id=1.0",  //
        "--printer", "mac=02:00:00:00:00:02,ip=192.168.0.200,id=1.9c,extra=1:2:3:4:5:6"});
    ASSERT_TRUE(sim.ok()) << sim.error();

    protocol::DiscoverySettings settings;
    settings.broadcastAddress = simtest::InPrivateNetwork() ? "255.255.255.255" : "127.0.0.1";
    settings.probePort = sim.ProbePort();
    settings.replyPort = sim.ReplyPort();
    protocol::DiscoverySockets sockets(settings);
    std::string error;
    ASSERT_TRUE(sockets.OpenReceive(&error)) << error;
    ASSERT_TRUE(sockets.OpenBroadcast(&error)) << error;

    protocol::DeviceTable table;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
    protocol::DiscoveryListener listener(sockets.ReceiveFd(), table, [&](const auto& filled) {
        std::lock_guard lock(mutex);
        lines.clear();
        for (const auto& record : filled) lines.push_back(record.ListLine());
        changed.notify_all();
    });
    listener.Start();
    auto waitForLines = [&](std::size_t n) {
        std::unique_lock lock(mutex);
        for (int probe = 0; probe < 20 && lines.size() < n; ++probe) {
            lock.unlock();
            sockets.SendDiscoveryProbe();
            lock.lock();
            changed.wait_for(lock, 250ms, [&] { return lines.size() >= n; });
        }
        return lines;
    };
    EXPECT_EQ(waitForLines(2), (std::vector<std::string>{"(1.0)192.168.0.199.", "(1.9c)192.168.0.200."}));
    ASSERT_TRUE(sim.WaitForLine("probe from"));

    // Give the second printer a new address and MAC; it answers with its new record.
    const protocol::DeviceRecord chosen = table.Slot(1);
    ASSERT_TRUE(sockets.SendAddressSetting({192, 168, 0, 77}, {255, 255, 255, 0}, {0x02, 0, 0, 0, 0, 0x77},
                                           {192, 168, 0, 1}, chosen));
    ASSERT_TRUE(sim.WaitForLine("address setting for 02:00:00:00:00:02: ip 192.168.0.77 mask 255.255.255.0 "
                                "gateway 192.168.0.1 mac 02:00:00:00:00:77 (DHCP 0) from "));
    ASSERT_TRUE(sim.WaitForLine("# printer 02:00:00:00:00:02 now (1.9c)192.168.0.77. 02:00:00:00:00:77"));
    const auto after = waitForLines(3);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[2], "(1.9c)192.168.0.77.");
    const auto moved = table.Slot(2);
    EXPECT_TRUE(SameBytes(Bytes({0x01, 0x9C, 0x02, 0, 0, 0, 0, 0x77, 1, 2, 3, 4, 5, 6, 192, 168, 0, 77}), moved.bytes));
    listener.Stop();

    // A setting for a MAC no printer has changes nothing.
    ASSERT_TRUE(sockets.SendAddressSetting({10, 0, 0, 1}, {}, {}, {}, chosen));
    EXPECT_TRUE(sim.WaitForLine("# no printer has the MAC 02:00:00:00:00:02"));
}

TEST(PrinterSim, RefuseCloseAfterStallAndDelay) {
    {
        const std::uint16_t port = simtest::FreeTcpPort();
        SimProcess sim({"--refuse", "--tcp-port", std::to_string(port)});
        ASSERT_TRUE(sim.ok()) << sim.error();
        EXPECT_TRUE(sim.WaitForLine("printer-sim ready tcp=refused", 0ms));
        EXPECT_EQ(sim.TcpPort(), 0);
        EXPECT_EQ(Connect(port), -1);
        EXPECT_EQ(errno, ECONNREFUSED);
    }
    {
        SimProcess sim(std::vector<std::string>{"--close-after", "10"});
        ASSERT_TRUE(sim.ok()) << sim.error();
        const int fd = Connect(sim.TcpPort());
        ASSERT_GE(fd, 0);
        const Bytes data(100, 0x2E);
        // The first send may still be taken by the kernel; the reset shows on later sends.
        bool failed = false;
        for (int i = 0; i < 50 && !failed; ++i) {
            failed = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) < 0;
            std::this_thread::sleep_for(10ms);
        }
        ::close(fd);
        EXPECT_TRUE(failed) << "the printer's close was not seen by the sender";
        ASSERT_TRUE(sim.WaitForLine("# tcp 1 closed by the printer after 10 bytes"));
        EXPECT_TRUE(SameBytes(Bytes(10, 0x2E), sim.RawBytes()));
    }
    {
        SimProcess sim({"--stall"}, true);
        ASSERT_TRUE(sim.ok()) << sim.error();
        const int fd = Connect(sim.TcpPort());
        ASSERT_GE(fd, 0);
        const std::size_t sent = SendUntilFull(fd, 300ms);
        EXPECT_GT(sent, 0u);
        EXPECT_LT(sent, 64u << 20) << "a stalled printer took everything";
        EXPECT_TRUE(sim.WaitForLine("# tcp 1 open from 127.0.0.1"));
        ::close(fd);
        // The USB node opens, but its buffer fills and stays full.
        const int usb = ::open(sim.UsbNodes()[0].c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(usb, 0);
        const std::size_t usbSent = SendUntilFull(usb, 300ms);
        EXPECT_GT(usbSent, 0u);
        EXPECT_LE(usbSent, 1u << 20);
        ::close(usb);
        EXPECT_TRUE(sim.RawBytes().empty());
    }
    {
        SimProcess sim(std::vector<std::string>{"--delay", "100", "--read-size", "4"});
        ASSERT_TRUE(sim.ok()) << sim.error();
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(sim.SendTcp(protocol::SetMac({1, 2, 3, 4, 5, 6})));  // 10 bytes: three reads
        ASSERT_TRUE(sim.WaitForMessage("set MAC 01:02:03:04:05:06"));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    }
}

TEST(PrinterSim, StopsCleanlyAndDecodesWhatIsLeft) {
    SimProcess sim({"--log", "{tmp}/log.txt"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const int fd = Connect(sim.TcpPort());
    ASSERT_GE(fd, 0);
    const Bytes partial = {0x1F, 0x1B, 0x64, 0x00, 0xC0};
    ASSERT_EQ(::send(fd, partial.data(), partial.size(), MSG_NOSIGNAL), 5);
    ASSERT_TRUE(sim.WaitForRawSize(5));
    EXPECT_EQ(sim.Stop(), 0);
    ::close(fd);
    EXPECT_EQ(sim.Messages(), std::vector<std::string>{"incomplete set IP (5 of 23 bytes): 1F 1B 64 00 C0"});
    EXPECT_TRUE(sim.WaitForLine("# tcp 1 ended at exit (5 bytes)", 0ms));
    // The log holds the same lines as the standard output.
    std::string expected;
    for (const auto& line : sim.Lines()) expected += line + "\n";
    EXPECT_EQ(FileText(fs::path(sim.TempDir()) / "log.txt"), expected);
}

TEST(PrinterSim, BadArgumentsAreReported) {
    simtest::SimOptions options;
    options.args = {"--printer", "mac=zz"};
    options.readyTimeout = 5s;
    SimProcess sim(options);
    EXPECT_FALSE(sim.ok());
    EXPECT_NE(sim.error().find("bad printer field 'mac=zz'"), std::string::npos) << sim.error();
}

// The receipt folder: a restart goes on numbering after the receipts already
// there, never over them; a folder whose parent is missing, or that cannot be
// written, is refused at start-up.
TEST(PrinterSim, ReceiptFolderKeepsEarlierReceipts) {
    const fs::path folder = fs::temp_directory_path() / ("sim-receipts-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    const Bytes receipt = {'h', 'i', '\n', 0x1D, 0x56, 0x00};
    std::vector<std::vector<std::uint8_t>> saved;
    for (int run = 0; run < 2; ++run) {
        SimProcess sim({"--receipts", folder.string()});
        ASSERT_TRUE(sim.ok()) << sim.error();
        ASSERT_TRUE(sim.SendTcp(receipt));
        ASSERT_TRUE(sim.WaitForLine("receipt " + std::to_string(run + 1) + ":"));
        EXPECT_TRUE(sim.WaitForLine(run == 0 ? "# receipt folder " + folder.string() + " made"
                                             : "# receipts in " + folder.string() + " go on from receipt-0002.png",
                                    0ms));
        EXPECT_EQ(sim.Stop(), 0);
        saved.push_back(SimProcess::ReadFile((folder / "receipt-0001.png").string()));
    }
    EXPECT_TRUE(fs::exists(folder / "receipt-0002.png"));
    EXPECT_FALSE(saved[0].empty());
    EXPECT_EQ(saved[0], saved[1]);  // the first run's receipt is untouched

    for (const std::string bad : {"/nonexistent-parent-of-receipts/r", "/proc/r", "/etc/passwd/r"}) {
        simtest::SimOptions options;
        options.args = {"--receipts", bad};
        options.readyTimeout = 5s;
        SimProcess sim(options);
        EXPECT_FALSE(sim.ok()) << bad;
        EXPECT_NE(sim.error().find("receipt folder " + bad), std::string::npos) << sim.error();
        EXPECT_EQ(sim.Stop(), 5) << bad;
    }
    fs::remove_all(folder);
}
