// TCP delivery and the connection test against a printer listening on
// loopback inside the test.
#include <gtest/gtest.h>

#include <cerrno>

#include "link/TcpLink.h"
#include "link/tests/TestSupport.h"

using linktest::Hex;
using linktest::LoopbackPrinter;
using linktest::MsSince;
using linktest::Pattern;

namespace {

const std::string kFailStatus = std::string("status: ") + printer_link::kNetConnectFailText;

struct SendRecord {
    std::vector<std::string> calls;  // "offset+length"
};

// Records each send call (where it starts, how long) and then lets `script`
// decide: a value >= 0 is returned as is (with errno = ECONNRESET on -1);
// the default sends for real.
printer_link::TcpSettings Recording(std::uint16_t port, SendRecord& record, const std::uint8_t* base,
                            std::function<long(std::size_t call)> script = nullptr) {
    printer_link::TcpSettings settings;
    settings.port = port;
    settings.sendHook = [&record, base, script](int fd, const std::uint8_t* data, std::size_t length) -> long {
        const std::size_t call = record.calls.size();
        record.calls.push_back(std::to_string(data - base) + "+" + std::to_string(length));
        if (script) {
            const long result = script(call);
            if (result != -2) {
                if (result < 0) errno = ECONNRESET;
                return result;
            }
        }
        return ::send(fd, data, length, MSG_NOSIGNAL);
    };
    return settings;
}

}  // namespace

TEST(TcpLink, DeliversInChunksOf256InOrder) {
    LoopbackPrinter printer;
    linktest::TestWindow window;
    const auto data = Pattern(600, 0x20);
    SendRecord record;
    std::int32_t remaining = 600;
    printer_link::DeliverOverTcp(window, data.data(), remaining, Recording(printer.Port(), record, data.data()));
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(record.calls, (std::vector<std::string>{"0+256", "256+256", "512+88"}));
    ASSERT_TRUE(printer.WaitForConnections(1, 5000));
    EXPECT_EQ(Hex(printer.Connections()[0]), Hex(data));

    SendRecord exact;
    remaining = 256;
    printer_link::DeliverOverTcp(window, data.data(), remaining, Recording(printer.Port(), exact, data.data()));
    EXPECT_EQ(exact.calls, std::vector<std::string>{"0+256"});
    EXPECT_TRUE(window.Events().empty());
}

TEST(TcpLink, SendErrorEndsTheDeliveryAndZeroBytesIsAPrintError) {
    LoopbackPrinter printer;
    const auto data = Pattern(600);

    // An error on the second send: the delivery ends with the rest still counted.
    linktest::TestWindow window;
    SendRecord record;
    std::int32_t remaining = 600;
    printer_link::DeliverOverTcp(window, data.data(), remaining,
                         Recording(printer.Port(), record, data.data(), [](std::size_t call) -> long {
                             return call == 1 ? -1 : -2;
                         }));
    EXPECT_EQ(remaining, 344);
    EXPECT_EQ(record.calls, (std::vector<std::string>{"0+256", "256+256"}));
    EXPECT_TRUE(window.Events().empty());

    linktest::TestWindow zero;
    SendRecord none;
    remaining = 600;
    printer_link::DeliverOverTcp(zero, data.data(), remaining,
                         Recording(printer.Port(), none, data.data(), [](std::size_t) -> long { return 0; }));
    EXPECT_EQ(zero.Events(), (std::vector<std::string>{"box: Print error", "end: 1"}));
    EXPECT_EQ(none.calls.size(), 1u);
}

TEST(TcpLink, RefusedConnectionDropsTheSubmissionAndTheNextIsTriedAfresh) {
    LoopbackPrinter printer(false);  // bound, not yet listening: connections are refused
    linktest::TestWindow window;
    printer_link::TcpSettings settings;
    settings.port = printer.Port();
    const auto data = Pattern(30);
    std::int32_t remaining = 30;
    printer_link::DeliverOverTcp(window, data.data(), remaining, settings);
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(window.Events(), std::vector<std::string>{kFailStatus});

    printer.Listen();
    remaining = 30;
    printer_link::DeliverOverTcp(window, data.data(), remaining, settings);
    EXPECT_EQ(remaining, 0);
    ASSERT_TRUE(printer.WaitForConnections(1, 5000));
    EXPECT_EQ(Hex(printer.Connections()[0]), Hex(data));

    // A blank address field (0.0.0.0) is not connected to.
    window.SetIp({0, 0, 0, 0});
    remaining = 30;
    printer_link::DeliverOverTcp(window, data.data(), remaining, settings);
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(window.Events(), (std::vector<std::string>{kFailStatus, kFailStatus}));
}

TEST(TcpLink, ConnectionTestSendsNothing) {
    LoopbackPrinter printer;
    linktest::TestWindow window;
    printer_link::TcpSettings settings;
    settings.port = printer.Port();
    printer_link::TestPrinterConnection(window, settings);
    ASSERT_TRUE(printer.WaitForConnections(1, 5000));
    EXPECT_TRUE(printer.Connections()[0].empty());

    LoopbackPrinter refusing(false);
    settings.port = refusing.Port();
    printer_link::TestPrinterConnection(window, settings);
    EXPECT_EQ(window.Events(),
              (std::vector<std::string>{"box: connect ok", std::string("box: ") + printer_link::kNetConnectFailText}));
}

TEST(TcpLink, ConnectionWaitIsBounded) {
    // A listener that never accepts, with its queue full: further handshakes
    // get no answer and the connect would wait for the system's time-out.
    LoopbackPrinter printer(false);
    printer.Listen(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(printer.Port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    linktest::TestWindow window;
    printer_link::TcpSettings settings;
    settings.port = printer.Port();
    settings.connectTimeoutMs = 300;
    const auto data = Pattern(10);
    std::int32_t remaining = 10;
    const auto start = std::chrono::steady_clock::now();
    printer_link::DeliverOverTcp(window, data.data(), remaining, settings);
    const double elapsed = MsSince(start);
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(window.Events(), std::vector<std::string>{kFailStatus});
    EXPECT_GE(elapsed, 250.0);
    EXPECT_LT(elapsed, 3000.0);
    for (int fd : fillers) ::close(fd);
}

TEST(TcpLink, PortFromEnvironment) {
    ::setenv("PRINTER_TCP_PORT", "19100", 1);
    EXPECT_EQ(printer_link::TcpSettings::FromEnvironment().port, 19100);
    ::setenv("PRINTER_TCP_PORT", "70000", 1);
    EXPECT_EQ(printer_link::TcpSettings::FromEnvironment().port, 9100);
    ::unsetenv("PRINTER_TCP_PORT");
    EXPECT_EQ(printer_link::TcpSettings::FromEnvironment().port, 9100);
}
