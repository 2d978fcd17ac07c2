// The command queue and sender thread, driven through a recording window, the
// scripted fake USB source and a loopback TCP printer: the exact pieces that
// reach the printer, what the user is shown, and how the thread stops.
#include <gtest/gtest.h>

#include <atomic>

#include "link/tests/TestSupport.h"
#include "platform/fake/usb/FakeUsbDeviceSource.h"
#include "settings-tool/sender/CommandSender.h"
#include "settings-tool/sender/tests/TestWindow.h"

using sender::CommandSender;
using sender::PortChoice;
using sender::SenderSettings;
using platform_fake::FakeUsbDeviceSource;
using platform_fake::OpenScript;
using linktest::Hex;
using linktest::MsSince;
using linktest::Pattern;
using linktest::Slice;

namespace {

const std::string kPrinter = "\\\\?\\usb#vid_0418&pid_5011#1-1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

// "open N: piece as hex" for every piece the printer took, in order.
std::vector<std::string> Log(const FakeUsbDeviceSource& source) {
    std::vector<std::string> log;
    for (const auto& piece : source.Pieces())
        log.push_back("open " + std::to_string(piece.open) + ": " + Hex(piece.bytes));
    return log;
}

std::string Entry(std::size_t open, const std::vector<std::uint8_t>& bytes) {
    return "open " + std::to_string(open) + ": " + Hex(bytes);
}

struct Harness {
    explicit Harness(SenderSettings settings = {}) : sender(window, usb, std::move(settings)) {
        device = usb.AddDevice(kPrinter);
        sender.Start();
    }
    sendertest::TestWindow window;
    FakeUsbDeviceSource usb;  // outlives the sender (declared first)
    std::size_t device = 0;
    CommandSender sender;
};

}  // namespace

TEST(CommandSender, UsbPiecesInSubmissionOrder) {
    Harness h;
    const auto big = Pattern(100, 0x00);
    const auto header = Pattern(3, 0xa0);
    const auto body = Pattern(20, 0xc0);
    EXPECT_TRUE(h.sender.SubmitCommand(big));
    EXPECT_TRUE(h.sender.SubmitCommand(header));
    EXPECT_TRUE(h.sender.SubmitCommand(body));
    ASSERT_TRUE(h.sender.WaitUntilIdle(5000));
    EXPECT_FALSE(h.sender.IsSendPending());
    h.usb.WaitForPieces(4, 2000);  // the printer records a piece just after taking it
    EXPECT_EQ(Log(h.usb), (std::vector<std::string>{Entry(0, Slice(big, 0, 64)), Entry(0, Slice(big, 64, 36)),
                                                    Entry(1, header), Entry(2, body)}));
    EXPECT_TRUE(h.window.Events().empty());
}

TEST(CommandSender, FailedWriteResumesAtFirstUnsentByteOnAFreshOpen) {
    Harness h;
    h.usb.ScriptOpen(h.device, 0, OpenScript::FailAfter(1));
    const auto data = Pattern(100, 0x10);
    h.sender.SubmitCommand(data);
    ASSERT_TRUE(h.sender.WaitUntilIdle(5000));
    h.usb.WaitForPieces(2, 2000);
    EXPECT_EQ(Log(h.usb), (std::vector<std::string>{Entry(0, Slice(data, 0, 64)), Entry(1, Slice(data, 64, 36))}));
    EXPECT_EQ(Hex(h.usb.Received(h.device)), Hex(data));
    EXPECT_EQ(h.window.Events(), std::vector<std::string>{"usb: reset, kept"});
    EXPECT_EQ(h.window.Reports().at(0).remaining, 36u);

    // A write that times out is retried the same way.
    SenderSettings quick;
    quick.usbTimeoutMs = 50;
    Harness t(quick);
    t.usb.ScriptOpen(t.device, 0, OpenScript::StallAfter(1));
    t.sender.SubmitCommand(data);
    ASSERT_TRUE(t.sender.WaitUntilIdle(5000));
    t.usb.WaitForPieces(2, 2000);
    EXPECT_EQ(Log(t.usb), (std::vector<std::string>{Entry(0, Slice(data, 0, 64)), Entry(1, Slice(data, 64, 36))}));
    EXPECT_EQ(t.window.Events(), std::vector<std::string>{"usb: timed out, kept"});
}

TEST(CommandSender, EmptySubmissionTouchesNothing) {
    Harness h;
    EXPECT_TRUE(h.sender.SubmitCommand(nullptr, 0));
    EXPECT_FALSE(h.sender.IsSendPending());
    EXPECT_TRUE(h.sender.SubmitCommand(Pattern(5)));
    ASSERT_TRUE(h.sender.WaitUntilIdle(5000));
    EXPECT_EQ(h.usb.EnumerateCount(), 1u);
    EXPECT_EQ(h.usb.TotalOpenCount(), 1u);
}

TEST(CommandSender, OpenFailureDropsTheSubmissionAndTheNextIsTriedAfresh) {
    Harness h;
    h.usb.RefuseProbe(h.device);
    h.sender.SubmitCommand(Pattern(10));
    ASSERT_TRUE(h.sender.WaitUntilIdle(5000));
    EXPECT_EQ(h.window.Events(), std::vector<std::string>{"usb: open failed, dropped"});
    EXPECT_TRUE(h.window.Reports().at(0).result.node.empty());  // no printer passed the probe
    EXPECT_TRUE(h.usb.Pieces().empty());

    h.usb.RefuseProbe(h.device, false);
    const auto next = Pattern(7, 0x70);
    h.sender.SubmitCommand(next);
    ASSERT_TRUE(h.sender.WaitUntilIdle(5000));
    h.usb.WaitForPieces(1, 2000);
    EXPECT_EQ(Log(h.usb), std::vector<std::string>{Entry(0, next)});
    EXPECT_EQ(h.window.Events().size(), 1u);
}

TEST(CommandSender, LptGivesOneBoxPerSubmissionAndThePortIsReadPerAttempt) {
    Harness h;
    linktest::LoopbackPrinter printer;
    SenderSettings settings;
    settings.tcp.port = printer.Port();
    CommandSender sender(h.window, h.usb, settings);
    sender.Start();

    h.window.SetPort(PortChoice::Lpt);
    sender.SubmitCommand(Pattern(3));
    sender.SubmitCommand(Pattern(4));
    ASSERT_TRUE(sender.WaitUntilIdle(5000));
    EXPECT_EQ(h.window.Events(), (std::vector<std::string>{"lpt: open failed, dropped", "lpt: open failed, dropped"}));
    EXPECT_EQ(h.usb.EnumerateCount(), 0u);

    h.window.SetPort(PortChoice::Usb);
    const auto overUsb = Pattern(5, 0x50);
    sender.SubmitCommand(overUsb);
    ASSERT_TRUE(sender.WaitUntilIdle(5000));
    h.window.SetPort(PortChoice::Net);
    const auto overNet = Pattern(2047, 0x60);  // longer submissions are accepted whole
    sender.SubmitCommand(overNet);
    ASSERT_TRUE(sender.WaitUntilIdle(5000));
    ASSERT_TRUE(printer.WaitForConnections(1, 5000));
    h.usb.WaitForPieces(1, 2000);
    EXPECT_EQ(Log(h.usb), std::vector<std::string>{Entry(0, overUsb)});
    EXPECT_EQ(Hex(printer.Connections().at(0)), Hex(overNet));
    EXPECT_EQ(h.window.Events().size(), 2u);

    // Nobody listening: the connection failure drops the submission.
    linktest::LoopbackPrinter refusing(false);
    SenderSettings closed;
    closed.tcp.port = refusing.Port();
    CommandSender toClosed(h.window, h.usb, closed);
    toClosed.Start();
    toClosed.SubmitCommand(Pattern(30));
    ASSERT_TRUE(toClosed.WaitUntilIdle(5000));
    EXPECT_EQ(h.window.Events().back(), "net: open failed, dropped");
}

TEST(CommandSender, StopEndsAWaitingWriteAndARetryLoopPromptly) {
    // The printer takes nothing; the write would wait ten seconds.
    SenderSettings slow;
    slow.usbTimeoutMs = 10000;
    Harness h(slow);
    h.usb.SetDefaultScript(h.device, OpenScript::StallAfter(0));
    h.sender.SubmitCommand(Pattern(64));
    for (int i = 0; i < 500 && h.usb.TotalOpenCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(h.usb.TotalOpenCount(), 1u);

    // Submitting never waits for the stalled printer.
    double slowest = 0;
    for (int i = 0; i < 200; ++i) {
        const auto start = std::chrono::steady_clock::now();
        h.sender.SubmitCommand(Pattern(128));
        slowest = std::max(slowest, MsSince(start));
    }
    EXPECT_LT(slowest, 50.0);
    EXPECT_TRUE(h.sender.IsSendPending());

    auto start = std::chrono::steady_clock::now();
    h.sender.Stop();
    EXPECT_LT(MsSince(start), 1000.0);
    EXPECT_TRUE(h.sender.WaitStopped(0));
    EXPECT_FALSE(h.sender.WaitUntilIdle(10));
    h.sender.Stop();  // idempotent

    // Every attempt times out quickly and is retried at once.
    SenderSettings quick;
    quick.usbTimeoutMs = 20;
    Harness r(quick);
    r.usb.SetDefaultScript(r.device, OpenScript::StallAfter(0));
    r.sender.SubmitCommand(Pattern(10));
    for (int i = 0; i < 1000 && r.usb.TotalOpenCount() < 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_GE(r.usb.TotalOpenCount(), 4u);
    start = std::chrono::steady_clock::now();
    r.sender.Stop();
    EXPECT_LT(MsSince(start), 1000.0);
}

TEST(CommandSender, PrinterRefusingAtOnceIsNotRetriedInABusyLoop) {
    SenderSettings settings;
    settings.minRetryIntervalMs = 100;
    Harness h(settings);
    h.usb.SetDefaultScript(h.device, OpenScript::FailAfter(0));
    h.sender.SubmitCommand(Pattern(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    const auto opens = h.usb.TotalOpenCount();
    EXPECT_GE(opens, 2u);
    EXPECT_LE(opens, 7u);
    h.sender.Stop();

    // A printer that resets every connection: the submission stays pending
    // (the count never grows) and is retried, paced the same way.
    linktest::LoopbackPrinter printer(true, 16, 1);
    settings.tcp.port = printer.Port();
    Harness n(settings);
    n.window.SetPort(PortChoice::Net);
    n.sender.SubmitCommand(Pattern(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    const auto attempts = n.window.Events().size();
    EXPECT_GE(attempts, 2u);
    EXPECT_LE(attempts, 7u);
    EXPECT_TRUE(n.sender.IsSendPending());
    n.sender.Stop();
    for (const auto& report : n.window.Reports()) {
        EXPECT_EQ(report.result.outcome, printer_link::Outcome::Reset);
        EXPECT_EQ(report.remaining, 10u);
        EXPECT_FALSE(report.dropped);
    }
}

TEST(CommandSender, WithoutRetriesAFailedWriteIsReportedOnceAndDropped) {
    SenderSettings once;
    once.retryUnfinished = false;
    Harness h(once);
    h.usb.ScriptOpen(h.device, 0, OpenScript::FailAfter(1));
    h.sender.SubmitCommand(Pattern(100));
    const auto next = Pattern(5, 0x50);
    h.sender.SubmitCommand(next);
    ASSERT_TRUE(h.sender.WaitUntilIdle(5000));
    EXPECT_EQ(h.window.Events(), std::vector<std::string>{"usb: reset, dropped"});
    EXPECT_EQ(h.window.Reports().at(0).result.sent, 64u);
    EXPECT_EQ(Log(h.usb), (std::vector<std::string>{Entry(0, Slice(Pattern(100), 0, 64)), Entry(1, next)}));
}
