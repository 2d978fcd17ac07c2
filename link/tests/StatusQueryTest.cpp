// The status query over every transport that reads back, against scripted
// printers: a loopback TCP peer, a pty as a serial port and as the usblp node
// of a fake tree, the fake bulk device; and a fake tree's FIFO, which has no
// way back. The answers are literal bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>

#include "link/Device.h"
#include "link/ProductIds.h"
#include "link/StatusQuery.h"
#include "link/tests/TestSupport.h"
#include "platform/fake/usb/FakeUsbDeviceSource.h"
#include "platform/fake/usb/FakeUsbTree.h"
#include "platform/linux/usb/LinuxUsbDeviceSource.h"

using linktest::Hex;
using linktest::MsSince;
using printer_link::Outcome;
using protocol::PrinterStatus;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kQuery(protocol::kStatusQuery.begin(), protocol::kStatusQuery.end());
constexpr int kWaitMs = 500;
constexpr double kBoundMs = 3000;  // failure bound only

// What the printer does once it has read the four requests.
struct Script {
    enum class Then { Answer, Silent, Drop };
    Then then = Then::Answer;
    Bytes reply;
    Bytes stale;  // sent before the requests (a late answer to an earlier query)
};

bool EndsWithQuery(const Bytes& got) {
    return got.size() >= kQuery.size() && std::equal(kQuery.begin(), kQuery.end(), got.end() - 12);
}

// One printer behind one transport, playing a script.
class Peer {
public:
    virtual ~Peer() = default;
    virtual std::string Uri() const = 0;
    virtual printer_link::OpenOptions Options() { return {}; }
    // Called once the device is open, before the query: `stale` is waiting
    // for the reader when this returns.
    virtual void Prepare(const Script&) {}
    // What the printer was sent, once it has done its part.
    virtual Bytes Received() = 0;
};

// Reads until the requests came, then plays the script (both ends of a
// stream: a socket or a pty master). Drop ends with `drop`.
void PlayOnStream(int fd, const Script& script, Bytes& got, const std::function<void()>& drop) {
    std::uint8_t buffer[256];
    while (!EndsWithQuery(got)) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return;
        got.insert(got.end(), buffer, buffer + n);
    }
    if (script.then == Script::Then::Drop) return drop();
    if (script.then == Script::Then::Answer && !script.reply.empty())
        [[maybe_unused]] auto ignored = ::write(fd, script.reply.data(), script.reply.size());
    // Then read on until the other side goes (or the test ends the peer).
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return;
        got.insert(got.end(), buffer, buffer + n);
    }
}

class TcpPeer : public Peer {
public:
    explicit TcpPeer(const Script& script) : printer_(false) {
        ::listen(printer_.Fd(), 4);
        thread_ = std::thread([this, script] {
            const int client = ::accept4(printer_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) return;
            PlayOnStream(client, script, got_, [client] {
                const linger reset{1, 0};
                ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            });
            ::close(client);
        });
    }
    ~TcpPeer() override { Join(); }
    std::string Uri() const override { return "socket://127.0.0.1:" + std::to_string(printer_.Port()); }
    Bytes Received() override {
        Join();
        return got_;
    }

private:
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    linktest::LoopbackPrinter printer_;
    std::thread thread_;
    Bytes got_;
};

// A pty: the test holds the master, the device layer opens the slave, either
// as a serial port or as the usblp node of a fake tree (a link to the slave).
class PtyPeer : public Peer {
public:
    PtyPeer(const Script& script, bool asUsblp) : asUsblp_(asUsblp), script_(script) {
        char name[64] = {};
        if (::openpty(&master_, &watch_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        slave_ = name;
        if (asUsblp_) {
            tree_ = std::make_unique<platform_fake::FakeUsbTree>();
            const std::string fifo = tree_->AddPrinter("1-1", "0418", "5011", 0, "SN1");
            std::filesystem::remove(fifo);
            std::filesystem::create_symlink(slave_, fifo);
            usb_ = std::make_unique<platform_linux::LinuxUsbDeviceSource>(tree_->Root());
        }
    }
    ~PtyPeer() override {
        CloseWatch();
        Join();
        if (master_ >= 0) ::close(master_);
    }
    void CloseWatch() {
        if (watch_ >= 0) ::close(watch_);
        watch_ = -1;
    }
    std::string Uri() const override { return asUsblp_ ? "usb://0418/5011" : "serial:" + slave_ + "?baud=115200"; }
    printer_link::OpenOptions Options() override {
        printer_link::OpenOptions options;
        options.usb = usb_.get();
        options.productIds = &printer_link::ReceiptPrinterProductIds();
        return options;
    }
    void Prepare(const Script& script) override {
        if (!script.stale.empty()) {
            [[maybe_unused]] auto ignored = ::write(master_, script.stale.data(), script.stale.size());
            // The test's own open of the slave sees the bytes once the line
            // discipline holds them, so the device's drain will too.
            pollfd p{watch_, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(kBoundMs));
        }
        thread_ = std::thread([this] {
            PlayOnStream(master_, script_, got_, [this] {
                ::close(master_);
                master_ = -1;
            });
        });
    }
    Bytes Received() override {
        // The reader ends once the slave's last open is closed.
        CloseWatch();
        Join();
        return got_;
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    bool asUsblp_;
    Script script_;
    int master_ = -1;
    int watch_ = -1;  // the test's own open of the slave; set raw by the device's open for usb
    std::string slave_;
    std::unique_ptr<platform_fake::FakeUsbTree> tree_;
    std::unique_ptr<platform_linux::LinuxUsbDeviceSource> usb_;
    std::thread thread_;
    Bytes got_;
};

class FakeBulkPeer : public Peer {
public:
    explicit FakeBulkPeer(const Script& script) {
        usb_.AddDevice("\\\\?\\usb#vid_0418&pid_5011#1-1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
        // Drop: the printer takes the requests and is gone before it answers.
        if (script.then == Script::Then::Drop) usb_.SetDefaultScript(0, platform_fake::OpenScript::FailAfter(1));
        const Bytes reply = script.then == Script::Then::Answer ? script.reply : Bytes{};
        usb_.SetAnswers(0, [reply](const Bytes& piece) { return piece == kQuery ? reply : Bytes{}; });
    }
    std::string Uri() const override { return "usb:"; }
    printer_link::OpenOptions Options() override {
        printer_link::OpenOptions options;
        options.usb = &usb_;
        options.productIds = &printer_link::ReceiptPrinterProductIds();
        return options;
    }
    Bytes Received() override { return usb_.Received(0); }

private:
    platform_fake::FakeUsbDeviceSource usb_;
};

struct Transport {
    const char* name;
    std::function<std::unique_ptr<Peer>(const Script&)> make;
    bool canSendStale;  // the test can tell when stale bytes have reached the reader
};

const Transport kTransports[] = {
    {"tcp", [](const Script& s) { return std::make_unique<TcpPeer>(s); }, false},
    {"pty serial", [](const Script& s) { return std::make_unique<PtyPeer>(s, false); }, true},
    {"pty usblp node", [](const Script& s) { return std::make_unique<PtyPeer>(s, true); }, true},
    {"fake bulk", [](const Script& s) { return std::make_unique<FakeBulkPeer>(s); }, false},
};

PrinterStatus Known(void (*set)(PrinterStatus&) = nullptr) {
    PrinterStatus s;
    s.known = true;
    s.online = true;
    if (set) set(s);
    return s;
}

}  // namespace

TEST(StatusQuery, EveryReadingTransportAsksOnceAndDecodesTheAnswers) {
    struct Case {
        const char* what;
        Script script;
        PrinterStatus expected;
    } cases[] = {
        {"all ready", {Script::Then::Answer, {0x12, 0x12, 0x12, 0x12}, {}}, Known()},
        {"paper out",
         {Script::Then::Answer, {0x1A, 0x32, 0x12, 0x72}, {}},
         Known([](PrinterStatus& s) {
             s.online = false;
             s.paperOut = true;
         })},
        {"cover open",
         {Script::Then::Answer, {0x1A, 0x16, 0x12, 0x12}, {}},
         Known([](PrinterStatus& s) {
             s.online = false;
             s.coverOpen = true;
         })},
        {"near end", {Script::Then::Answer, {0x12, 0x12, 0x12, 0x1E}, {}},
         Known([](PrinterStatus& s) { s.paperNearEnd = true; })},
        {"garbage before the answers", {Script::Then::Answer, {0xFF, 0x00, 0x41, 0x0A, 0x12, 0x12, 0x12, 0x1E}, {}},
         Known([](PrinterStatus& s) { s.paperNearEnd = true; })},
        // A late paper-out answer was waiting: it is dropped, not taken as this answer.
        {"stale answers dropped first", {Script::Then::Answer, {0x12, 0x12, 0x12, 0x12}, {0x1A, 0x32, 0x12, 0x72}},
         Known()},
        {"three answers only", {Script::Then::Answer, {0x12, 0x12, 0x12}, {}}, PrinterStatus{}},
        {"never answers", {Script::Then::Silent, {}, {}}, PrinterStatus{}},
        {"drops the connection", {Script::Then::Drop, {}, {}}, PrinterStatus{}},
    };
    for (const Transport& transport : kTransports) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(transport.name) + ": " + c.what);
            if (!c.script.stale.empty() && !transport.canSendStale) continue;
            const std::unique_ptr<Peer> peer = transport.make(c.script);
            auto opened = printer_link::OpenDevice(peer->Uri(), peer->Options());
            ASSERT_TRUE(opened.device) << static_cast<int>(opened.failure.outcome) << " " << opened.failure.error;
            EXPECT_TRUE(opened.device->CanRead());
            peer->Prepare(c.script);
            const auto start = std::chrono::steady_clock::now();
            const PrinterStatus status = printer_link::QueryStatus(*opened.device, kWaitMs);
            const double ms = MsSince(start);
            EXPECT_EQ(status, c.expected);
            EXPECT_LT(ms, kBoundMs);
            // Not known because nothing came: the whole wait, not less.
            if (c.script.then == Script::Then::Silent) {
                EXPECT_GE(ms, kWaitMs - 1.0);
            }
            opened.device->Abandon();
            EXPECT_EQ(Hex(peer->Received()), Hex(kQuery));
        }
    }
}

TEST(StatusQuery, AFifoNodeHasNoWayBackAndIsNotAsked) {
    platform_fake::FakeUsbTree tree;
    const std::string fifo = tree.AddPrinter("1-1", "0418", "5011", 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    platform_linux::LinuxUsbDeviceSource usb(tree.Root());
    printer_link::OpenOptions options;
    options.usb = &usb;
    options.productIds = &printer_link::ReceiptPrinterProductIds();
    auto opened = printer_link::OpenDevice("usb:", options);
    ASSERT_TRUE(opened.device);
    EXPECT_FALSE(opened.device->CanRead());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(printer_link::QueryStatus(*opened.device), PrinterStatus{});
    EXPECT_LT(MsSince(start), 100.0);  // returns at once, no wait
    std::uint8_t byte = 0;
    EXPECT_EQ(opened.device->Read(&byte, 1, 0).outcome, Outcome::Unsupported);
    // Nothing was written that the printer would print, and nothing read back.
    EXPECT_EQ(::read(reader, &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    // A job still prints as before.
    const Bytes job{0x1B, 0x40, 'h', 'i', 0x0A};
    EXPECT_TRUE(opened.device->Write(job.data(), job.size(), printer_link::Pacing{}).Ok());
    Bytes back(16);
    EXPECT_EQ(::read(reader, back.data(), back.size()), static_cast<ssize_t>(job.size()));
    ::close(reader);
}

TEST(StatusQuery, ReadOutcomesAndWhatFlushConfirms) {
    // A socket: the requests are not counted in what Close confirms.
    TcpPeer tcp(Script{Script::Then::Answer, {0x12, 0x12, 0x12, 0x12}, {}});
    auto opened = printer_link::OpenDevice(tcp.Uri(), {});
    ASSERT_TRUE(opened.device);
    const Bytes job{0x1B, 0x40, 'a', 'b', 'c'};
    ASSERT_TRUE(opened.device->Write(job.data(), job.size(), printer_link::Pacing{}).Ok());
    EXPECT_EQ(printer_link::QueryStatus(*opened.device), Known());
    std::uint8_t buffer[8];
    EXPECT_EQ(opened.device->Read(buffer, sizeof buffer, 50).outcome, Outcome::TimedOut);
    const printer_link::Result closed = opened.device->Close();
    EXPECT_EQ(closed.outcome, Outcome::Sent);
    EXPECT_EQ(closed.sent, job.size());
    Bytes sentToTcp = job;
    sentToTcp.insert(sentToTcp.end(), kQuery.begin(), kQuery.end());
    EXPECT_EQ(Hex(tcp.Received()), Hex(sentToTcp));

    // The other side going away is Reset: a socket peer's close, a pty's hang-up.
    TcpPeer closing(Script{Script::Then::Drop, {}, {}});
    opened = printer_link::OpenDevice(closing.Uri(), {});
    ASSERT_TRUE(opened.device);
    ASSERT_TRUE(opened.device->Write(kQuery.data(), kQuery.size(), printer_link::Pacing{}).Ok());
    EXPECT_EQ(opened.device->Read(buffer, sizeof buffer, static_cast<int>(kBoundMs)).outcome, Outcome::Reset);
    for (const bool asUsblp : {false, true}) {
        SCOPED_TRACE(asUsblp ? "pty usblp node" : "pty serial");
        PtyPeer pty(Script{Script::Then::Drop, {}, {}}, asUsblp);
        opened = printer_link::OpenDevice(pty.Uri(), pty.Options());
        ASSERT_TRUE(opened.device);
        pty.Prepare({});
        // A pty node is raw: a job's line feeds and carriage returns arrive untranslated.
        const Bytes lines{'a', 0x0A, 'b', 0x0D, 0x0A};
        ASSERT_TRUE(opened.device->Write(lines.data(), lines.size(), printer_link::Pacing{}).Ok());
        ASSERT_TRUE(opened.device->Write(kQuery.data(), kQuery.size(), printer_link::Pacing{}).Ok());
        Bytes expected = lines;
        expected.insert(expected.end(), kQuery.begin(), kQuery.end());
        EXPECT_EQ(Hex(pty.Received()), Hex(expected));  // then the master is closed: a hang-up
        const printer_link::Result r = opened.device->Read(buffer, sizeof buffer, static_cast<int>(kBoundMs));
        EXPECT_EQ(r.outcome, Outcome::Reset);
        EXPECT_EQ(opened.device->Write(job.data(), job.size(), printer_link::Pacing{}).outcome, Outcome::Reset);
    }
}

TEST(StatusQuery, PortStatusMayBeAskedWhileAWriteWaits) {
    // The port monitor's watch thread asks the port while the job's thread
    // waits in a write that the printer does not take.
    PtyPeer pty(Script{Script::Then::Silent, {}, {}}, true);
    auto opened = printer_link::OpenDevice(pty.Uri(), pty.Options());
    ASSERT_TRUE(opened.device);
    std::atomic<bool> writing{true};
    std::atomic<int> asked{0};
    std::thread watch([&] {
        while (writing.load()) {
            const printer_link::DeviceStatus s = opened.device->Status();
            EXPECT_FALSE(s.known);  // a pty has no port status
            asked.fetch_add(1);
        }
    });
    const Bytes lots(1 << 20, 0x55);  // more than a pty holds: the write waits for its deadline
    const printer_link::Result r =
        opened.device->Write(lots.data(), lots.size(), printer_link::Pacing{4096, 200, nullptr});
    writing.store(false);
    watch.join();
    EXPECT_EQ(r.outcome, Outcome::TimedOut);
    EXPECT_GT(asked.load(), 0);
}
