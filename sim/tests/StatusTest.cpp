// printer-sim as a printer that says how it is: the status requests DLE EOT
// 1..4 answered over TCP and over the fake USB node (a pseudo-terminal), the
// states set through the control channel, and print data held while the
// printer cannot print, then printed exactly once.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "protocol/PrinterStatus.h"
#include "protocol/SettingsCommands.h"
#include "sim/testing/SimProcess.h"
#include "tests/support/HexMatch.h"

using namespace std::chrono_literals;
using protocol::Bytes;
using simtest::SimProcess;
using testhex::SameBytes;
namespace fs = std::filesystem;

namespace {

enum class Via { Tcp, Usb };
const char* Name(Via via) { return via == Via::Tcp ? "tcp" : "usb"; }

const Bytes kQuery(protocol::kStatusQuery.begin(), protocol::kStatusQuery.end());
const Bytes kReady = {0x12, 0x12, 0x12, 0x12};
const Bytes kPaperOut = {0x1A, 0x32, 0x12, 0x72};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// GS v 0: a raster image `rows` high on a 576-dot head whose data reads as
// status requests in many places.
Bytes Raster(unsigned rows) {
    Bytes out = {0x1D, 0x76, 0x30, 0x00, 72, 0x00, static_cast<std::uint8_t>(rows & 0xFF),
                 static_cast<std::uint8_t>(rows >> 8)};
    for (std::size_t i = 0; i < std::size_t{72} * rows; ++i) {
        out.push_back(i % 9 < 3 ? kQuery[i % 3] : static_cast<std::uint8_t>(i * 7));
    }
    return out;
}

// The peer of one transport: a TCP connection, or the USB node opened as the
// device layer opens it. Both are descriptors that write print data and read answers.
int OpenPeer(Via via, const SimProcess& sim) {
    if (via == Via::Usb) return ::open(sim.UsbNodes().at(0).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(sim.TcpPort());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool WriteAllTo(int fd, const Bytes& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

// Up to `count` bytes that arrive within the failure bound.
Bytes ReadAnswers(int fd, std::size_t count, std::chrono::milliseconds bound = 5s) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        std::uint8_t buffer[64];
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - out.size()));
        if (n <= 0) break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

bool NothingToRead(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

std::vector<std::string> Events(const SimProcess& sim, const std::string& part) {
    std::vector<std::string> out;
    for (const auto& line : sim.Lines())
        if (line.rfind("# ", 0) == 0 && line.find(part) != std::string::npos) out.push_back(line);
    return out;
}

// Receipt files of a simulator, their bytes in order.
std::vector<Bytes> Receipts(const SimProcess& sim) {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(sim.TempDir() + "/receipts")) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<Bytes> out;
    for (const auto& file : files) out.push_back(SimProcess::ReadFile(file));
    return out;
}

SimProcess ControlledSim(std::vector<std::string> args) {
    simtest::SimOptions options;
    options.args = std::move(args);
    options.usb = true;
    options.control = true;
    return SimProcess(options);
}

}  // namespace

// Every state answers its four bytes on both ways in, a request leaves no
// message behind, and a silent printer takes the requests without a word.
TEST(PrinterSimStatus, EveryStateAnswersItsFourBytes) {
    struct Row {
        const char* name;
        std::vector<std::string> control;
        std::string state;
        Bytes answers;  // empty: none
    };
    const std::vector<Row> rows = {
        {"ready", {}, "ok ready", kReady},
        {"paper near end", {"paper-near-end on"}, "ok paper-near-end", {0x12, 0x12, 0x12, 0x1E}},
        {"paper out", {"paper-out on"}, "ok paper-out", kPaperOut},
        {"cover open", {"cover-open on"}, "ok cover-open", {0x1A, 0x16, 0x12, 0x12}},
        {"drawer open", {"drawer-open on"}, "ok drawer-open", {0x16, 0x12, 0x12, 0x12}},
        {"offline", {"offline on"}, "ok offline", {0x1A, 0x12, 0x12, 0x12}},
        {"paper out and cover open", {"cover-open on", "paper-out on"}, "ok paper-out cover-open",
         {0x1A, 0x36, 0x12, 0x72}},
        {"status silent", {"status-silent on"}, "ok status-silent", {}},
    };
    SimProcess sim = ControlledSim({});
    ASSERT_TRUE(sim.ok()) << sim.error();
    std::size_t requests = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const char* flag : {"paper-near-end", "paper-out", "cover-open", "drawer-open", "offline", "status-silent"})
            ASSERT_EQ(sim.Control(std::string(flag) + " off").rfind("ok", 0), 0u);
        for (const auto& line : row.control) ASSERT_EQ(sim.Control(line).rfind("ok ", 0), 0u);
        EXPECT_EQ(sim.Control("state"), row.state);
        for (Via via : {Via::Tcp, Via::Usb}) {
            SCOPED_TRACE(Name(via));
            const int fd = OpenPeer(via, sim);
            ASSERT_GE(fd, 0);
            ASSERT_TRUE(WriteAllTo(fd, kQuery));
            requests += 4;
            if (row.answers.empty()) {
                ASSERT_TRUE(sim.WaitForLineCount("# status request ", requests));
                EXPECT_TRUE(sim.WaitForLine("# status request 4 not answered on " + std::string(Name(via))));
                EXPECT_TRUE(NothingToRead(fd));
            } else {
                EXPECT_TRUE(SameBytes(row.answers, ReadAnswers(fd, 4)));
            }
            ::close(fd);
        }
    }
    ASSERT_TRUE(sim.WaitForStreamsClosed(2 * rows.size()));
    EXPECT_EQ(Events(sim, "# status request ").size(), requests);
    EXPECT_TRUE(sim.Messages().empty()) << sim.Messages().front();  // no "unknown command", hex or text
    EXPECT_EQ(Events(sim, "# cover open").size(), 2u);
    EXPECT_EQ(Events(sim, "# paper out").size(), 2u);
    EXPECT_EQ(Events(sim, "# paper back").size(), 2u);
    EXPECT_EQ(sim.Control("paper-out sideways").rfind("error ", 0), 0u);
    EXPECT_EQ(sim.Control("status-silent off"), "ok ready");
    EXPECT_EQ(sim.Control("paper-out on"), "ok paper-out");
    EXPECT_EQ(sim.Control("paper-out after 5").rfind("error ", 0), 0u) << "the paper is already out";
}

// Status requests are recognised between commands only: inside a raster
// image, column graphics or a settings message they are print data. A
// request after data is answered once that data went through, with what it did.
TEST(PrinterSimStatus, RequestsBetweenCommandsOnlyAndInOrder) {
    const Bytes columns = {0x1B, 0x2A, 33, 2, 0, 0x10, 0x04, 0x01, 0x10, 0x04, 0x04};
    const Bytes setIp = protocol::SetIp({16, 4, 1, 16}, {4, 2, 16, 4}, {16, 4, 3, 0});
    const Bytes job = Concat({Raster(2), columns, setIp, Text("0123456789\n"), kQuery});
    SimProcess sim = ControlledSim({});
    ASSERT_TRUE(sim.ok()) << sim.error();
    for (Via via : {Via::Tcp, Via::Usb}) {
        SCOPED_TRACE(Name(via));
        // The roll runs out inside the text: the request after it hears of it.
        ASSERT_EQ(sim.Control("paper-out after " + std::to_string(job.size() - 12 - 5)), "ok paper-out-after=" +
                                                                                         std::to_string(job.size() - 17));
        const int fd = OpenPeer(via, sim);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(WriteAllTo(fd, Concat({kQuery, job})));
        EXPECT_TRUE(SameBytes(Concat({kReady, kPaperOut}), ReadAnswers(fd, 8)));
        ::close(fd);
        EXPECT_EQ(sim.Control("paper-out off"), "ok ready");
    }
    ASSERT_TRUE(sim.WaitForStreamsClosed(2));
    const std::vector<std::string> once = {"raster 576 x 2 dots", "column graphics 24-dot double density, 2 columns",
                                           "set IP 16.4.1.16 mask 4.2.16.4 gateway 16.4.3.0", "text: 0123456789"};
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(sim.Messages(), twice);
    EXPECT_EQ(Events(sim, "# status request ").size(), 16u);
    EXPECT_EQ(Events(sim, "# paper out").size(), 2u);
    EXPECT_TRUE(SameBytes(Concat({kQuery, job, kQuery, job}), sim.RawBytes()));
}

// Paper out in the middle of a stream: what follows is held, the buffer
// fills, the printer stops reading and the sender stalls; paper back, and it
// all comes out once, as from a printer that never stopped.
TEST(PrinterSimStatus, PaperOutHoldsTheStreamAndPaperBackPrintsItOnce) {
    struct Row {
        Via via;
        unsigned rows, rasters;
        bool receipts;
        std::size_t paperAfter, buffer;
    };
    // TCP: more than the kernel's socket buffers can take; USB: more than the pseudo-terminal holds.
    const std::vector<Row> table = {
        {Via::Tcp, 65535, 4, false, 1000000, 131072},
        {Via::Usb, 4000, 1, true, 100000, 65536},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(Name(row.via));
        Bytes job = Text("Welcome\n");
        for (unsigned i = 0; i < row.rasters; ++i) job = Concat({job, Raster(row.rows)});
        job = Concat({kQuery, job, Text("Bye\n"), protocol::CutTest(), kQuery});
        std::vector<std::string> args = {"--buffer", std::to_string(row.buffer)};
        if (row.receipts) args.insert(args.end(), {"--receipts", "{tmp}/receipts"});

        auto run = [&](SimProcess& sim, bool interrupt) {
            std::atomic<bool> sent{false};
            Bytes answers;
            if (interrupt) {
                ASSERT_EQ(sim.Control("paper-out after " + std::to_string(row.paperAfter)).rfind("ok", 0), 0u);
            }
            const int fd = OpenPeer(row.via, sim);
            ASSERT_GE(fd, 0);
            std::thread sender([&] {
                const bool ok = WriteAllTo(fd, job);
                sent = true;
                if (ok) answers = ReadAnswers(fd, 8, 30s);
                ::close(fd);
            });
            if (interrupt) {
                EXPECT_TRUE(sim.WaitForLine("# paper out", 30s));
                EXPECT_TRUE(sim.WaitForLine(" buffer full (" + std::to_string(row.buffer) + " bytes held)", 30s));
                // Read: the first request, the paper that was there, a full buffer; nothing more.
                EXPECT_EQ(sim.RawBytes().size(), 12 + row.paperAfter + row.buffer);
                EXPECT_FALSE(sent) << "the sender was not stalled";
                EXPECT_TRUE(sim.WaitForLine("# status request 4 answered 0x12"));
                EXPECT_FALSE(sim.WaitForLine("text: Bye", 0ms));
                EXPECT_EQ(sim.Control("state"), "ok paper-out");
                EXPECT_EQ(sim.Control("paper-out off"), "ok ready");
                EXPECT_TRUE(sim.WaitForLine(" prints " + std::to_string(row.buffer) + " held bytes"));
            }
            sender.join();
            EXPECT_TRUE(sent);
            EXPECT_TRUE(SameBytes(Concat({kReady, kReady}), answers));
            ASSERT_TRUE(sim.WaitForStreamsClosed(1, 30s));
        };
        SimProcess plain(args, true);
        ASSERT_TRUE(plain.ok()) << plain.error();
        run(plain, false);
        args.insert(args.end(), {"--control", "{tmp}/control.sock"});
        SimProcess held(args, true);
        ASSERT_TRUE(held.ok()) << held.error();
        run(held, true);

        const auto messages = held.Messages();
        EXPECT_EQ(messages, plain.Messages());
        EXPECT_EQ(std::count(messages.begin(), messages.end(), "text: Bye"), 1);
        EXPECT_TRUE(held.RawBytes() == job) << "raw record differs";
        EXPECT_TRUE(plain.RawBytes() == job);
        if (row.receipts) {
            EXPECT_EQ(Receipts(held), Receipts(plain));
            EXPECT_EQ(Receipts(held).size(), 1u);
        }
        EXPECT_EQ(Events(held, "# paper back").size(), 1u);
    }
}

// A printer stuck with a full buffer on one connection still answers a second
// connection that brings only status requests.
TEST(PrinterSimStatus, ASecondConnectionIsAnsweredWhileTheFirstIsStuck) {
    SimProcess sim = ControlledSim({"--buffer", "4096"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.Control("paper-out on"), "ok paper-out");
    const int stuck = OpenPeer(Via::Tcp, sim);
    ASSERT_GE(stuck, 0);
    const Bytes data = Concat({Text(std::string(8000, 'x') + "\n")});
    ASSERT_EQ(::send(stuck, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
    ASSERT_TRUE(sim.WaitForLine("# tcp 1 buffer full (4096 bytes held)"));

    struct Row {
        const char* control;
        Bytes answers;
    };
    const std::vector<Row> rows = {{"cover-open off", kPaperOut}, {"cover-open on", {0x1A, 0x36, 0x12, 0x72}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.control);
        ASSERT_EQ(sim.Control(row.control).rfind("ok", 0), 0u);
        const int asking = OpenPeer(Via::Tcp, sim);
        ASSERT_GE(asking, 0);
        ASSERT_TRUE(WriteAllTo(asking, kQuery));
        EXPECT_TRUE(SameBytes(row.answers, ReadAnswers(asking, 4)));
        ::close(asking);
    }
    EXPECT_TRUE(sim.Messages().empty());
    // Paper back, cover still open: still held. Cover closed: printed.
    EXPECT_EQ(sim.Control("paper-out off"), "ok cover-open");
    EXPECT_FALSE(sim.WaitForLine("# tcp 1 prints", 0ms));
    EXPECT_EQ(sim.Control("cover-open off"), "ok ready");
    ::close(stuck);
    ASSERT_TRUE(sim.WaitForLine("# tcp 1 closed (8001 bytes)"));
    EXPECT_EQ(sim.Messages(), std::vector<std::string>{"text: " + std::string(8000, 'x')});
}

// The USB node: a link to a pseudo-terminal slave in raw mode that stays raw
// when writers come and go, and drops answers its last writer left unread.
// A FIFO node (--usb-fifo) still takes print data and has no way back.
TEST(PrinterSimStatus, UsbNodeIsARawPseudoTerminalOrAFifo) {
    SimProcess sim = ControlledSim({});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string node = sim.UsbNodes().at(0);
    ASSERT_TRUE(fs::is_symlink(node));
    EXPECT_EQ(fs::read_symlink(node).string().rfind("/dev/pts/", 0), 0u);
    struct stat info {};
    ASSERT_EQ(::stat(node.c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0666, 0666u);
    const int probe = ::open(node.c_str(), O_PATH | O_CLOEXEC);  // how the enumerator looks
    EXPECT_GE(probe, 0);
    ::close(probe);

    ASSERT_EQ(sim.Control("paper-out on"), "ok paper-out");
    for (int session = 1; session <= 3; ++session) {
        SCOPED_TRACE(session);
        const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);  // as the device layer opens it
        ASSERT_GE(fd, 0);
        termios mode{};
        ASSERT_EQ(::tcgetattr(fd, &mode), 0);
        EXPECT_EQ(mode.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(mode.c_oflag & OPOST, 0u);
        EXPECT_EQ(mode.c_iflag & (IXON | ICRNL | INLCR | ISTRIP), 0u);
        EXPECT_EQ(mode.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        if (session == 2) {
            // The answers of the first session were never read: none of them shows here.
            ASSERT_TRUE(WriteAllTo(fd, {0x10, 0x04, 0x04}));
            EXPECT_TRUE(SameBytes(Bytes{0x12}, ReadAnswers(fd, 1)));
            EXPECT_TRUE(sim.WaitForLine("# status request 4 answered 0x12 on usb lp0"));
            EXPECT_TRUE(NothingToRead(fd));
        } else {
            ASSERT_TRUE(WriteAllTo(fd, Concat({kQuery, Text("line\r\n")})));
        }
        ::close(fd);
        if (session == 1) {
            ASSERT_EQ(sim.Control("paper-out off"), "ok ready");
        }
        ASSERT_TRUE(sim.WaitForStreamsClosed(static_cast<std::size_t>(session)));
    }
    EXPECT_EQ(sim.Messages(), (std::vector<std::string>{"text: line", "text: line"}));

    SimProcess fifo({"--usb-fifo"}, true);
    ASSERT_TRUE(fifo.ok()) << fifo.error();
    EXPECT_TRUE(fs::is_fifo(fifo.UsbNodes().at(0)));
    ASSERT_TRUE(fifo.WriteUsb(Concat({kQuery, protocol::CashDrawer(), kQuery})));
    ASSERT_TRUE(fifo.WaitForStreamsClosed(1));
    EXPECT_EQ(fifo.Messages(), std::vector<std::string>{"cash drawer"});
    EXPECT_EQ(Events(fifo, "not answered on usb lp0 (no way back)").size(), 8u);
    EXPECT_TRUE(SameBytes(Concat({kQuery, protocol::CashDrawer(), kQuery}), fifo.RawBytes()));
}
