// The device layer: pieces as the shared write path cuts them, what each
// scheme reports when the printer takes everything, refuses, goes silent or
// drops the connection, and the stop event.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "link/Device.h"
#include "link/ProductIds.h"
#include "link/TcpLink.h"
#include "link/tests/TestSupport.h"
#include "platform/fake/usb/FakeUsbDeviceSource.h"

using linktest::Hex;
using linktest::LoopbackPrinter;
using linktest::MsSince;
using linktest::Pattern;
using printer_link::Outcome;
using platform_fake::FakeUsbDeviceSource;
using platform_fake::OpenScript;

namespace {

const std::string kPrinter = "\\\\?\\usb#vid_0418&pid_5011#1-1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

std::vector<std::size_t> PieceSizes(const FakeUsbDeviceSource& usb) {
    std::vector<std::size_t> sizes;
    for (const auto& piece : usb.Pieces()) sizes.push_back(piece.bytes.size());
    return sizes;
}

std::string SocketUri(const LoopbackPrinter& printer) {
    return "socket://127.0.0.1:" + std::to_string(printer.Port());
}

}  // namespace

TEST(Device, WritePathCutsPiecesAndCountsWhatWasTaken) {
    struct Case {
        std::size_t length, pieceSize;
        std::vector<std::size_t> pieces;
    } cases[] = {
        {100, 64, {64, 36}},
        {600, 256, {256, 256, 88}},
        {256, 256, {256}},
        {200, 64, {64, 64, 64, 8}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        FakeUsbDeviceSource usb;
        usb.AddDevice(kPrinter);
        printer_link::OpenOptions options;
        options.usb = &usb;
        options.productIds = &printer_link::ReceiptPrinterProductIds();
        const auto data = Pattern(c.length);
        const printer_link::Result r = printer_link::Deliver("usb:", data.data(), data.size(), options,
                                                             printer_link::Pacing{c.pieceSize, 1000, nullptr});
        EXPECT_EQ(r.outcome, Outcome::Sent);
        EXPECT_EQ(r.sent, c.length);
        EXPECT_EQ(PieceSizes(usb), c.pieces);
        EXPECT_EQ(Hex(usb.Received(0)), Hex(data));
    }

    // The third piece fails: the two before it count, nothing after them.
    FakeUsbDeviceSource usb;
    usb.AddDevice(kPrinter);
    usb.ScriptOpen(0, 0, OpenScript::FailAfter(2));
    printer_link::OpenOptions options;
    options.usb = &usb;
    options.productIds = &printer_link::ReceiptPrinterProductIds();
    const auto data = Pattern(200);
    const printer_link::Result r =
        printer_link::Deliver("usb:", data.data(), data.size(), options, printer_link::Pacing{64, 1000, nullptr});
    EXPECT_EQ(r.outcome, Outcome::Reset);
    EXPECT_EQ(r.error, EPIPE);
    EXPECT_EQ(r.sent, 128u);
}

TEST(Device, StallTimesOutPerPieceAndTheStopEventEndsTheWait) {
    FakeUsbDeviceSource usb;
    usb.AddDevice(kPrinter);
    usb.SetDefaultScript(0, OpenScript::StallAfter(1));
    printer_link::OpenOptions options;
    options.usb = &usb;
    options.productIds = &printer_link::ReceiptPrinterProductIds();
    const auto data = Pattern(100);

    auto start = std::chrono::steady_clock::now();
    printer_link::Result r =
        printer_link::Deliver("usb:", data.data(), data.size(), options, printer_link::Pacing{64, 80, nullptr});
    EXPECT_EQ(r.outcome, Outcome::TimedOut);
    EXPECT_EQ(r.sent, 64u);
    EXPECT_GE(MsSince(start), 79.0);
    EXPECT_LT(MsSince(start), 2000.0);

    printer_link::StopEvent stop;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.Set();
    });
    start = std::chrono::steady_clock::now();
    r = printer_link::Deliver("usb:", data.data(), data.size(), options, printer_link::Pacing{64, 10000, &stop});
    setter.join();
    EXPECT_EQ(r.outcome, Outcome::Stopped);
    EXPECT_LT(MsSince(start), 2000.0);
}

TEST(Device, UsbUriNamesOnePrinterAndNoPrinterIsAnOpenFailureWithoutNode) {
    FakeUsbDeviceSource usb;
    usb.AddDevice("\\\\?\\usb#vid_0418&pid_5011#a#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    usb.AddDevice("\\\\?\\usb#vid_0471&pid_0055#b#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    printer_link::OpenOptions options;
    options.usb = &usb;
    options.productIds = &printer_link::ReceiptPrinterProductIds();
    const auto opened = printer_link::OpenDevice("usb://0471/0055", options);
    ASSERT_TRUE(opened.device);
    EXPECT_EQ(opened.device->Identity(), "\\\\?\\usb#vid_0471&pid_0055#b#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    EXPECT_EQ(usb.OpenCount(0), 0u);

    const auto none = printer_link::OpenDevice("usb://1234/5678", options);
    EXPECT_FALSE(none.device);
    EXPECT_TRUE(none.failure.OpenFailed());
    EXPECT_EQ(none.failure.outcome, Outcome::NotFound);
    EXPECT_TRUE(none.failure.node.empty());

    // A printer that refuses its open: the node and errno come back.
    usb.RefuseOpen(0, true, EACCES);
    const auto refused = printer_link::OpenDevice("usb://0418/5011", options);
    EXPECT_EQ(refused.failure.outcome, Outcome::NoPermission);
    EXPECT_EQ(refused.failure.error, EACCES);
    EXPECT_EQ(refused.failure.node, "fake:0");

    printer_link::UsbDeviceInfo info;
    info.vendor = "0418";
    info.product = "5011";
    info.serial = "SN 1/2";
    EXPECT_EQ(printer_link::UsbDeviceUri(info), "usb://0418/5011?serial=SN%201%2F2");
}

TEST(Device, SocketIsSentOnlyWhenThePrinterClosesAfterTakingEverything) {
    LoopbackPrinter printer;
    const auto data = Pattern(3000, 0x20);
    const printer_link::Result r = printer_link::Deliver(SocketUri(printer), data.data(), data.size(), {},
                                                         printer_link::Pacing{256, 5000, nullptr});
    EXPECT_EQ(r.outcome, Outcome::Sent);
    EXPECT_EQ(r.sent, data.size());
    ASSERT_TRUE(printer.WaitForConnections(1, 5000));
    EXPECT_EQ(Hex(printer.Connections()[0]), Hex(data));

    // Written, but not confirmed before the close: a socket's buffer is not the printer.
    auto opened = printer_link::OpenDevice(SocketUri(printer), {});
    ASSERT_TRUE(opened.device);
    EXPECT_EQ(opened.device->Write(data.data(), 10, printer_link::Pacing{}).sent, 0u);
    EXPECT_EQ(opened.device->Close().sent, 10u);

    // A printer that resets the connection part-way: nothing counts as sent.
    LoopbackPrinter resetting(true, 16, 10);
    const printer_link::Result reset = printer_link::Deliver(SocketUri(resetting), data.data(), 23, {},
                                                             printer_link::Pacing{256, 5000, nullptr});
    EXPECT_EQ(reset.outcome, Outcome::Reset);
    EXPECT_EQ(reset.sent, 0u);
    EXPECT_EQ(reset.node, "127.0.0.1:" + std::to_string(resetting.Port()));
}

TEST(Device, SocketFlushWaitsForTheAcknowledgementAndKeepsTheConnection) {
    // A printer that reads: Flush confirms what was written, the device stays
    // open, and Close confirms only what came after.
    LoopbackPrinter printer;
    const auto data = Pattern(200000, 0x11);
    auto opened = printer_link::OpenDevice(SocketUri(printer), {});
    ASSERT_TRUE(opened.device);
    ASSERT_TRUE(opened.device->Write(data.data(), 150000, printer_link::Pacing{4096, 5000, nullptr}).Ok());
    const printer_link::Result flushed = opened.device->Flush(5000);
    EXPECT_EQ(flushed.outcome, Outcome::Sent);
    EXPECT_EQ(flushed.sent, 150000u);
    EXPECT_TRUE(opened.device->IsOpen());
    ASSERT_TRUE(opened.device->Write(data.data() + 150000, 50000, printer_link::Pacing{4096, 5000, nullptr}).Ok());
    EXPECT_EQ(opened.device->Close().sent, 50000u);
    ASSERT_TRUE(printer.WaitForConnections(1, 5000));
    EXPECT_EQ(printer.Connections()[0].size(), data.size());

    // A printer whose buffer is full acknowledges nothing more: Flush times
    // out or ends at the stop event, and what it waited for stays unconfirmed.
    LoopbackPrinter silent(false);
    ASSERT_EQ(::listen(silent.Fd(), 4), 0);
    auto stuck = printer_link::OpenDevice(SocketUri(silent), {});
    ASSERT_TRUE(stuck.device);
    const std::vector<std::uint8_t> lots(16 << 20, 0x55);
    EXPECT_EQ(stuck.device->Write(lots.data(), lots.size(), printer_link::Pacing{65536, 300, nullptr}).outcome,
              Outcome::TimedOut);
    EXPECT_EQ(stuck.device->Flush(100).outcome, Outcome::TimedOut);
    printer_link::StopEvent stop;
    stop.Set();
    EXPECT_EQ(stuck.device->Flush(-1, &stop).outcome, Outcome::Stopped);
    EXPECT_TRUE(stuck.device->IsOpen());
}

TEST(Device, SocketOpenFailuresNameTheAddressAndTheReason) {
    LoopbackPrinter refusing(false);
    auto r = printer_link::OpenDevice(SocketUri(refusing), {});
    EXPECT_EQ(r.failure.outcome, Outcome::OpenFailed);
    EXPECT_EQ(r.failure.error, ECONNREFUSED);
    EXPECT_EQ(r.failure.node, "127.0.0.1:" + std::to_string(refusing.Port()));
    // A blank address field (0.0.0.0) is not connected to.
    EXPECT_EQ(printer_link::OpenDevice("socket://0.0.0.0:9100", {}).failure.error, EADDRNOTAVAIL);
    EXPECT_TRUE(printer_link::OpenDevice("nonsense:x", {}).failure.OpenFailed());
    // URIs that name no device are told apart from printers that cannot be reached.
    for (const char* uri : {"nonsense:x", "no-scheme", "socket://0.0.0.0:9100", "socket://255.255.255.255",
                            "socket://[::]:9100", "socket://127.0.0.1:0", "socket://127.0.0.1:70000",
                            "socket://[::1", "socket://::1:9100", "serial:/dev/null?baud=12345"})
        EXPECT_EQ(printer_link::OpenDevice(uri, {}).failure.outcome, Outcome::BadUri) << uri;

    // A listener that never accepts, with its queue full: further handshakes
    // get no answer and the connect would wait for the system's time-out.
    LoopbackPrinter full(false);
    full.Listen(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(full.Port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    printer_link::OpenOptions quick;
    quick.connectTimeoutMs = 300;
    const auto start = std::chrono::steady_clock::now();
    r = printer_link::OpenDevice(SocketUri(full), quick);
    EXPECT_EQ(r.failure.error, ETIMEDOUT);
    EXPECT_GE(MsSince(start), 250.0);
    EXPECT_LT(MsSince(start), 3000.0);
    for (int fd : fillers) ::close(fd);
}

TEST(Device, FileAndSerialSchemes) {
    const std::string folder = ::testing::TempDir() + "device-test-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    const auto data = Pattern(300);
    // A file is appended to.
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(printer_link::Deliver("file:" + folder + "/out.bin", data.data(), data.size(), {},
                                          printer_link::Pacing{})
                        .Ok());
    std::ifstream in(folder + "/out.bin", std::ios::binary);
    const std::vector<std::uint8_t> back{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(back.size(), 600u);
    // A FIFO without a reader cannot be opened for writing.
    ASSERT_EQ(::mkfifo((folder + "/fifo").c_str(), 0600), 0);
    const auto fifo = printer_link::OpenDevice("file:" + folder + "/fifo", {});
    EXPECT_EQ(fifo.failure.error, ENXIO);
    std::filesystem::remove_all(folder);

    // A pseudo terminal stands in for the serial port.
    int master = -1, slave = -1;
    char name[64] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    EXPECT_EQ(printer_link::OpenDevice(std::string("serial:") + name + "?baud=12345", {}).failure.error, EINVAL);
    const printer_link::Result r = printer_link::Deliver(std::string("serial:") + name + "?baud=19200", data.data(),
                                                         64, {}, printer_link::Pacing{});
    EXPECT_TRUE(r.Ok()) << r.error;
    EXPECT_EQ(r.sent, 64u);
    std::vector<std::uint8_t> got(64);
    std::size_t have = 0;
    while (have < got.size()) {
        const ssize_t n = ::read(master, got.data() + have, got.size() - have);
        if (n <= 0) break;
        have += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(Hex(got), Hex(linktest::Slice(data, 0, 64)));
    ::close(slave);
    ::close(master);
}

