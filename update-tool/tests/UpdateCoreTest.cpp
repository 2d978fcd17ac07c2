// The update tool's actions against the in-memory USB printer and a loopback
// TCP sink: exact streams, piece sizes, progress, failures and what each shows.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "platform/fake/usb/FakeUsbDeviceSource.h"
#include "update-tool/core/UpdateTool.h"
#include "update-tool/core/UsbPresencePoller.h"
#include "update-tool/tests/RecordingWindow.h"

namespace ferrik::testing {
namespace {

using platform_fake::FakeUsbDeviceSource;
using platform_fake::OpenScript;

constexpr const char* kPrinterPath = "\\\\?\\usb#vid_0418&pid_5011#1-1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

// Accepts one connection on a loopback port of its own and keeps what arrives.
class TcpSink {
public:
    TcpSink() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t size = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
        ::listen(fd_, 4);
        thread_ = std::thread([this] {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            std::uint8_t buf[8192];
            for (;;) {
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                std::lock_guard lock(mutex_);
                bytes_.insert(bytes_.end(), buf, buf + n);
            }
            ::close(c);
            done_ = true;
        });
    }
    ~TcpSink() {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        thread_.join();
    }
    std::uint16_t Port() const { return port_; }
    Bytes Received() {
        for (int i = 0; i < 500 && !done_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard lock(mutex_);
        return bytes_;
    }

private:
    int fd_;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    Bytes bytes_;
    std::atomic<bool> done_{false};
};

// A closed loopback port: bound, never listening.
std::uint16_t ClosedPort(int& holder) {
    holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

protocol::DeviceRecord Record(protocol::Ipv4 ip, std::uint8_t macLast = 1) {
    protocol::DeviceRecord r;
    r.bytes = {1, 0, 0, 0x1A, 0x0B, 0xFF, 0x07, macLast, 0, 0, 0, 0, 0, 0, ip[0], ip[1], ip[2], ip[3]};
    return r;
}

class UpdateCoreTest : public ::testing::Test {
protected:
    UpdateSettings Settings(std::uint16_t tcpPort = 9) {
        UpdateSettings s;
        s.tcpPort = tcpPort;
        s.connectTimeoutMs = 2000;
        s.tableSettleMs = 10;
        s.usbPieceTimeoutMs = 1000;
        return s;
    }
    // Pieces of one open of device 0, joined. The fake printer records a
    // piece as it reads it, so wait briefly for the last ones.
    Bytes Sent(std::size_t open = 0, std::size_t device = 0) {
        Bytes out;
        for (int attempt = 0; attempt < 100; ++attempt) {
            out.clear();
            for (const auto& p : usb.Pieces()) {
                if (p.device == device && p.open == open) out.insert(out.end(), p.bytes.begin(), p.bytes.end());
            }
            if (usb.WaitForPieces(usb.Pieces().size() + 1, 10) == false) break;
        }
        return out;
    }

    TempDir dir;
    FakeUsbDeviceSource usb;
    RecordingWindow window;
    protocol::DeviceTable table;
};

TEST_F(UpdateCoreTest, WriteInPiecesSplitsIntoSixtyFourByteConfirmedPieces) {
    usb.AddDevice(kPrinterPath);
    UpdateTool tool(window, usb, table, Settings());
    ASSERT_TRUE(tool.Port().Open());
    const Bytes data = Image(200);
    EXPECT_EQ(tool.WriteInPieces(data.data(), data.size()), 200u);
    ASSERT_TRUE(usb.WaitForPieces(4, 2000));
    std::vector<std::size_t> sizes;
    for (const auto& p : usb.Pieces()) sizes.push_back(p.bytes.size());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{64, 64, 64, 8}));
    EXPECT_TRUE(SameBytes(data, Sent()));

    // The third piece fails: nothing of the partial write is reported.
    usb.ScriptOpen(0, 1, OpenScript::FailAfter(2));
    ASSERT_TRUE(tool.Port().Open());
    EXPECT_EQ(tool.WriteInPieces(data.data(), data.size()), 0u);
    // The path was shown after each successful open, by the link itself.
    EXPECT_EQ(window.Paths(), (std::vector<std::string>{kPrinterPath, kPrinterPath}));
}

TEST_F(UpdateCoreTest, UsbFirmwareStreamsAreExactForEveryBlockShape) {
    struct Case {
        const char* name;
        std::size_t size;
        std::uint32_t expectedSum;  // 0: not checked here
    };
    // 0 blocks: two 55 blocks, sum AA00. One zero block: three 55 blocks, sum FF00.
    const Case cases[] = {{"empty", 0, 0x0000AA00}, {"one zero block", 256, 0x0000FF00},
                          {"two blocks", 512, 0},   {"three blocks", 768, 0},
                          {"short first block", 100, 0}, {"short last block", 256 * 3 + 17, 0}};
    usb.AddDevice(kPrinterPath);
    UpdateTool tool(window, usb, table, Settings());
    std::size_t open = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes image = c.size == 256 ? Bytes(256, 0) : Image(c.size, static_cast<std::uint32_t>(c.size));
        WriteFile(dir / "PRINT_NET80.bin", image);
        window.messages.clear();
        EXPECT_EQ(tool.SendFirmwareOverUsb(dir / "PRINT_NET80.bin"), Outcome::Done);
        const Bytes expected = UsbFirmwareStream(image);
        ASSERT_TRUE(usb.WaitForPieces(usb.Pieces().size(), 1000));
        const Bytes sent = Sent(open++);
        EXPECT_TRUE(SameBytes(expected, sent));
        if (c.expectedSum != 0) {
            const std::uint32_t sum = std::uint32_t{sent[sent.size() - 4]} |
                                      (std::uint32_t{sent[sent.size() - 3]} << 8) |
                                      (std::uint32_t{sent[sent.size() - 2]} << 16) |
                                      (std::uint32_t{sent[sent.size() - 1]} << 24);
            EXPECT_EQ(sum, c.expectedSum);
        }
        EXPECT_EQ(window.messages, (std::vector<std::string>{kUsbDoneText}));
        EXPECT_FALSE(window.usbEnabled);
        EXPECT_FALSE(tool.Port().IsOpen());
    }
}

TEST_F(UpdateCoreTest, ProgressIsBytesOverFortyKilobytesAndStaysFull) {
    usb.AddDevice(kPrinterPath);
    UpdateTool tool(window, usb, table, Settings());
    WriteFile(dir / "PRINT_NET80.bin", Image(256 * 170));
    ASSERT_EQ(tool.SendFirmwareOverUsb(dir / "PRINT_NET80.bin"), Outcome::Done);
    ASSERT_EQ(window.progress.size(), 170u);
    EXPECT_EQ(window.progress[0], 0);     // 256 * 100 / 40960
    EXPECT_EQ(window.progress[15], 10);   // 4096 bytes
    EXPECT_EQ(window.progress[158], 99);
    EXPECT_EQ(window.progress[159], 100);  // the 160th block fills the bar
    for (std::size_t i = 159; i < 170; ++i) EXPECT_GE(window.progress[i], 100);
    EXPECT_TRUE(std::is_sorted(window.progress.begin(), window.progress.end()));
    EXPECT_EQ(ProgressPosition(std::int64_t{64} << 20), 163840);  // no overflow past 21 MB
}

TEST_F(UpdateCoreTest, UsbFirmwareWithoutPrinterOrWithFailingBlockEndsTheProgram) {
    WriteFile(dir / "PRINT_NET80.bin", Image(1024));
    {
        UpdateTool tool(window, usb, table, Settings());  // no device at all
        EXPECT_EQ(tool.SendFirmwareOverUsb(dir / "PRINT_NET80.bin"), Outcome::ProgramEnded);
        EXPECT_EQ(window.messages, (std::vector<std::string>{kPrintErrorText}));
        EXPECT_EQ(window.endStatus, 1);
        EXPECT_TRUE(window.progress.empty());
    }
    usb.AddDevice(kPrinterPath);
    usb.ScriptOpen(0, 0, OpenScript::FailAfter(6));  // 1B 2B, then the second block fails
    RecordingWindow second;
    UpdateTool tool(second, usb, table, Settings());
    EXPECT_EQ(tool.SendFirmwareOverUsb(dir / "PRINT_NET80.bin"), Outcome::ProgramEnded);
    EXPECT_EQ(second.messages, (std::vector<std::string>{kPrintErrorText}));
    EXPECT_EQ(second.endStatus, 1);
    EXPECT_EQ(second.progress, (std::vector<int>{0}));  // one block went through
    EXPECT_FALSE(tool.Port().IsOpen());                // nothing held while the message shows
}

TEST_F(UpdateCoreTest, UsbFirmwareWithMissingImageSendsNothing) {
    usb.AddDevice(kPrinterPath);
    UpdateTool tool(window, usb, table, Settings());
    EXPECT_EQ(tool.SendFirmwareOverUsb(dir / "PRINT_NET80.bin"), Outcome::Refused);
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_NE(window.messages[0].find("PRINT_NET80.bin"), std::string::npos);
    EXPECT_EQ(usb.TotalOpenCount(), 0u);
    EXPECT_FALSE(window.usbEnabled);
    EXPECT_FALSE(window.endStatus);
}

TEST_F(UpdateCoreTest, FontGoesOutInFramesAndFailuresEndOnlyTheAction) {
    usb.AddDevice(kPrinterPath);
    UpdateTool tool(window, usb, table, Settings());
    const Bytes font = Image(256 * 3 + 40);
    WriteFile(dir / "gb2312", font);
    EXPECT_EQ(tool.SendFontOverUsb(dir / "gb2312"), Outcome::Done);
    EXPECT_TRUE(SameBytes(FontStream(font), Sent(0)));
    EXPECT_EQ(window.messages, (std::vector<std::string>{kFinishText}));
    EXPECT_TRUE(window.progress.empty());

    usb.ScriptOpen(0, 1, OpenScript::FailAfter(3));  // 1B 1D and two pieces of the first frame
    window.messages.clear();
    EXPECT_EQ(tool.SendFontOverUsb(dir / "gb2312"), Outcome::Failed);
    EXPECT_EQ(window.messages, (std::vector<std::string>{kPrintErrorText}));
    EXPECT_FALSE(window.endStatus);
    EXPECT_FALSE(tool.Port().IsOpen());
}

TEST_F(UpdateCoreTest, SettingActionsSendTheirMessagesInTwoWrites) {
    usb.AddDevice(kPrinterPath);
    UpdateTool tool(window, usb, table, Settings());
    // The defaults at start: no code page, "80CM", "1".
    EXPECT_EQ(tool.SendCodePageWidthBeep(-1, 0, 0), Outcome::Done);
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x05, 0xFF, 0x00, 0x00, 0x00}), Sent(0)));
    EXPECT_EQ(tool.SendCodePageWidthBeep(24, 1, 2), Outcome::Done);  // "China", "58CM", "3"
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x05, 0xFF, 0x01, 0x02, 0x00}), Sent(1)));
    EXPECT_EQ(tool.SendCodePageWidthBeep(23, -1, -1), Outcome::Done);  // "pc1001"
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x05, 0x17, 0xFF, 0xFF, 0x00}), Sent(2)));
    EXPECT_TRUE(window.messages.empty());

    EXPECT_EQ(tool.SendDarkness(2), Outcome::Done);
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x01, 0, 0, 0, 0x02, 0, 0, 0, 0}), Sent(3)));
    EXPECT_EQ(window.messages, (std::vector<std::string>{kDarknessDoneText}));
    EXPECT_EQ(tool.SendUsbIdentityX(), Outcome::Done);
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x06, 0xC9, 0x1F, 0x16, 0x20, 0x00}), Sent(4)));
    EXPECT_EQ(tool.SendUsbIdentityG(), Outcome::Done);
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x06, 0x71, 0x04, 0x55, 0x00, 0x00}), Sent(5)));
    // Each setting releases the printer afterwards.
    EXPECT_FALSE(tool.Port().IsOpen());
}

TEST_F(UpdateCoreTest, SettingActionsWithoutPrinter) {
    UpdateTool tool(window, usb, table, Settings());
    EXPECT_EQ(tool.SendCodePageWidthBeep(-1, 0, 0), Outcome::Failed);
    EXPECT_EQ(tool.SendDarkness(0), Outcome::Failed);
    EXPECT_EQ(window.messages, (std::vector<std::string>{kSetErrorText, kSetErrorText}));
    window.messages.clear();
    EXPECT_EQ(tool.SendUsbIdentityX(), Outcome::Failed);
    EXPECT_EQ(tool.SendUsbIdentityG(), Outcome::Failed);
    EXPECT_TRUE(window.messages.empty());  // "X-USB" and "G-USB" show nothing
    EXPECT_FALSE(window.endStatus);
}

TEST_F(UpdateCoreTest, OnlyTheSixUpdateToolProductIdsAreOpened) {
    usb.AddDevice("\\\\?\\usb#vid_0418&pid_0600#1-1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    usb.AddDevice("\\\\?\\usb#vid_0418&PID_5011#1-2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    usb.AddDevice("\\\\?\\usb#vid_1fc9&pid_2016#1-3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    UpdateTool tool(window, usb, table, Settings());
    EXPECT_EQ(tool.SendUsbIdentityG(), Outcome::Done);
    EXPECT_EQ(usb.OpenCount(0), 0u);
    EXPECT_EQ(usb.OpenCount(1), 0u);
    EXPECT_EQ(usb.OpenCount(2), 1u);
}

TEST_F(UpdateCoreTest, NetworkFirmwareStreamsAreExact) {
    for (std::size_t size : {std::size_t{0}, std::size_t{256}, std::size_t{256 * 5 + 3}}) {
        SCOPED_TRACE(size);
        TcpSink sink;
        RecordingWindow w;
        protocol::DeviceTable t;
        t.Add(Record({127, 0, 0, 1}));
        UpdateTool tool(w, usb, t, Settings(sink.Port()));
        const Bytes image = Image(size, 3);
        WriteFile(dir / "PRINT_NET80.bin", image);
        EXPECT_EQ(tool.SendFirmwareOverNetwork(0, dir / "PRINT_NET80.bin"), Outcome::Done);
        EXPECT_TRUE(SameBytes(NetworkFirmwareStream(image), sink.Received()));
        EXPECT_TRUE(w.messages.empty());  // no completion message over the network
        EXPECT_TRUE(w.netEnabled);
        EXPECT_EQ(t.Count(), 0);
        EXPECT_EQ(w.listClears, 1);
        if (size == 256 * 5 + 3) {
            EXPECT_EQ(w.progress.back(), 6 * 256 * 100 / 40960);
        }
    }
}

TEST_F(UpdateCoreTest, NetworkFirmwareChecksComeBeforeAnyByte) {
    WriteFile(dir / "PRINT_NET80.bin", Image(512));
    int closed = -1;
    const std::uint16_t closedPort = ClosedPort(closed);
    struct Case {
        const char* name;
        std::vector<protocol::Ipv4> listed;
        int selected;
        std::vector<std::string> messages;
        bool buttonAfter;
    };
    const Case cases[] = {
        {"nothing selected", {{127, 0, 0, 1}}, -1, {kSelectDeviceText}, true},
        {"two printers, one address", {{127, 0, 0, 1}, {10, 0, 0, 9}, {127, 0, 0, 1}}, 2, {kDuplicateIpText}, false},
        // 0.0.0.0 matches the empty slots: the duplicate test comes first.
        {"zero address", {{0, 0, 0, 0}}, 0, {kDuplicateIpText}, false},
        {"zero first byte", {{0, 1, 2, 3}}, 0, {}, false},
        {"nobody listening", {{127, 0, 0, 1}}, 0, {kNetConnectFailText}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingWindow w;
        protocol::DeviceTable t;
        for (std::size_t i = 0; i < c.listed.size(); ++i) t.Add(Record(c.listed[i], static_cast<std::uint8_t>(i)));
        UpdateTool tool(w, usb, t, Settings(closedPort));
        const Outcome outcome = tool.SendFirmwareOverNetwork(c.selected, dir / "PRINT_NET80.bin");
        EXPECT_NE(outcome, Outcome::Done);
        EXPECT_EQ(w.messages, c.messages);
        EXPECT_EQ(w.netEnabled, c.buttonAfter);
        EXPECT_TRUE(w.progress.empty());
        EXPECT_FALSE(w.endStatus);
    }
    ::close(closed);
}

TEST_F(UpdateCoreTest, NetworkFirmwareToAPrinterThatHangsUpEndsTheProgram) {
    // A peer that takes the connection, reads the enter command and hangs up.
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    ::getsockname(server, reinterpret_cast<sockaddr*>(&a), &size);
    ::listen(server, 1);
    std::thread peer([server] {
        const int c = ::accept(server, nullptr, nullptr);
        std::uint8_t enter[2];
        ::recv(c, enter, sizeof enter, MSG_WAITALL);
        linger l{1, 0};  // reset, so that the sender's next send fails
        ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(c);
    });
    WriteFile(dir / "PRINT_NET80.bin", Image(256 * 4096));  // far more than the socket buffers
    table.Add(Record({127, 0, 0, 1}));
    UpdateTool tool(window, usb, table, Settings(ntohs(a.sin_port)));
    EXPECT_EQ(tool.SendFirmwareOverNetwork(0, dir / "PRINT_NET80.bin"), Outcome::ProgramEnded);
    peer.join();
    ::close(server);
    EXPECT_EQ(window.messages, (std::vector<std::string>{kPrintErrorText}));
    EXPECT_EQ(window.endStatus, 1);
}

TEST_F(UpdateCoreTest, PresencePollerProbesOnlyAndReportsOnce) {
    RecordingWindow w;
    {
        UsbPresencePoller poller(w, usb, std::chrono::milliseconds(5));
        EXPECT_FALSE(poller.PollOnce());
        usb.AddDevice("\\\\?\\usb#vid_0418&pid_0600#1-1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
        EXPECT_FALSE(poller.PollOnce());  // not in the update tool's list
        usb.AddDevice(kPrinterPath);
        poller.Start();
        for (int i = 0; i < 400 && poller.Attempts() < 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // Unplugged: the status line keeps "USB Connect".
        usb.RefuseProbe(1);
        const int before = poller.Attempts();
        for (int i = 0; i < 400 && poller.Attempts() < before + 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        poller.Stop();
        EXPECT_GE(poller.Attempts(), 20);
    }
    EXPECT_EQ(w.Statuses(), (std::vector<std::string>{kUsbConnectText}));
    EXPECT_EQ(w.Paths(), (std::vector<std::string>{kPrinterPath}));
    // Never an open for I/O: a download's open of the same printer must not fail.
    EXPECT_EQ(usb.TotalOpenCount(), 0u);
    EXPECT_GE(usb.ProbeCount(), 18u);
}

TEST_F(UpdateCoreTest, PresencePollerStopsPromptlyAtAnyInterval) {
    UsbPresencePoller poller(window, usb, std::chrono::hours(1));
    poller.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = std::chrono::steady_clock::now();
    poller.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(poller.Attempts(), 1);
}

TEST_F(UpdateCoreTest, SearchFlagGatesProbesAndRefreshEmptiesTheList) {
    UpdateTool tool(window, usb, table, Settings());
    EXPECT_EQ(tool.SendNetworkSearch(), Outcome::Refused);
    table.Add(Record({10, 0, 0, 1}));
    tool.StartNetworkSearch();
    EXPECT_TRUE(tool.SearchFlag());
    EXPECT_EQ(table.Count(), 0);
    EXPECT_EQ(window.listClears, 1);
}

}  // namespace
}  // namespace ferrik::testing
