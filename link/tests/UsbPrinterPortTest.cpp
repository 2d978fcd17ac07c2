// CUsbPrinterPort against the scripted fake source: which device is opened,
// and how a write ends (completion, stop, time-out).
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>

#include "link/ProductIds.h"
#include "link/TcpLink.h"
#include "link/UsbPrinterPort.h"
#include "link/tests/TestSupport.h"
#include "platform/fake/usb/FakeUsbDeviceSource.h"

using printer_link::CUsbPrinterPort;
using platform_fake::FakeUsbDeviceSource;
using platform_fake::OpenScript;
using linktest::Hex;
using linktest::MsSince;
using linktest::Pattern;

namespace {

std::string Identity(const std::string& vidPid, const std::string& instance = "5&1a2b3c&0&1") {
    return "\\\\?\\usb#" + vidPid + "#" + instance + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

}  // namespace

TEST(UsbPrinterPort, ProductIdListsAndMatching) {
    const auto& seven = printer_link::ReceiptPrinterProductIds();
    const auto& six = printer_link::UpdatablePrinterProductIds();
    ASSERT_EQ(seven.size(), 7u);
    ASSERT_EQ(six.size(), 6u);
    EXPECT_EQ(seven.back(), "pid_0600");
    EXPECT_TRUE(std::equal(six.begin(), six.end(), seven.begin()));

    struct Case {
        std::string identity;
        bool seven, six;
    } cases[] = {
        {Identity("vid_0418&pid_5011"), true, true},
        {Identity("vid_ffff&pid_0055"), true, true},  // the vendor is not checked
        {Identity("vid_0418&pid_0600"), true, false},
        {Identity("vid_0418&PID_5011"), false, false},  // case-sensitive
        {Identity("vid_0418&pid_5012"), false, false},
        {"pid_5743", true, true},  // a plain substring anywhere
    };
    for (const auto& c : cases) {
        EXPECT_EQ(printer_link::MatchesProductId(c.identity, seven), c.seven) << c.identity;
        EXPECT_EQ(printer_link::MatchesProductId(c.identity, six), c.six) << c.identity;
    }
}

// The udev rule is generated from the product-ID table: every listed printer,
// and our own by vendor and product, gets access.
TEST(UsbPrinterPort, TheUdevRuleNamesEveryListedProductId) {
    std::ifstream in(UDEV_RULE_PATH);
    ASSERT_TRUE(in) << UDEV_RULE_PATH;
    const std::string rule{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string listed;
    for (const std::string& id : printer_link::ReceiptPrinterProductIds()) listed += (listed.empty() ? "" : "|") + id.substr(4);
    EXPECT_EQ(rule.find('@'), std::string::npos);
    std::size_t lists = 0;
    for (std::size_t at = rule.find("idProduct}==\"" + listed + "\""); at != std::string::npos;
         at = rule.find("idProduct}==\"" + listed + "\"", at + 1))
        ++lists;
    EXPECT_EQ(lists, 2u) << "the usblp node's line and the USB device's line";
    const std::string own = std::string("idVendor}==\"") + std::string(printer_link::kOwnPrinterVendorId) +
                            "\", ATTRS{idProduct}==\"" + std::string(printer_link::kOwnPrinterProductId) + "\"";
    EXPECT_NE(rule.find(own), std::string::npos);
}

TEST(UsbPrinterPort, OpensFirstReachableMatchInEnumerationOrder) {
    FakeUsbDeviceSource source;
    std::string longPath = Identity("vid_0418&pid_5011", std::string(200, 'x'));
    longPath.resize(printer_link::kDevicePathBufferSize, 'y');  // no room for the terminating zero
    source.AddDevice(Identity("vid_0418&pid_9999"));    // 0: no listed product ID
    source.AddDevice(longPath);                         // 1: identity too long
    const auto refusesProbe = source.AddDevice(Identity("vid_0418&pid_5011", "a"));
    const auto refusesOpen = source.AddDevice(Identity("vid_0418&pid_2016", "b"));
    const auto last = source.AddDevice(Identity("vid_0418&pid_0600", "c"));  // seven-entry list only
    const auto six = source.AddDevice(Identity("vid_0418&pid_0500", "d"));
    source.RefuseProbe(refusesProbe);
    source.RefuseOpen(refusesOpen);

    std::vector<std::string> reported;
    CUsbPrinterPort settings(source, printer_link::ReceiptPrinterProductIds());
    settings.SetOpenedCallback([&](const std::string& path) { reported.push_back(path); });
    ASSERT_TRUE(settings.Open());
    EXPECT_EQ(settings.DevicePath(), Identity("vid_0418&pid_0600", "c"));
    EXPECT_EQ(reported, std::vector<std::string>{Identity("vid_0418&pid_0600", "c")});
    EXPECT_EQ(source.OpenCount(last), 1u);
    EXPECT_EQ(source.ProbeCount(), 3u);  // the refused one, the busy one, the chosen one
    settings.Close();

    CUsbPrinterPort update(source, printer_link::UpdatablePrinterProductIds());
    ASSERT_TRUE(update.Open());
    EXPECT_EQ(update.DevicePath(), Identity("vid_0418&pid_0500", "d"));
    EXPECT_EQ(source.OpenCount(six), 1u);

    // One byte shorter than the buffer fits.
    FakeUsbDeviceSource exact;
    longPath.resize(printer_link::kDevicePathBufferSize - 1);
    exact.AddDevice(longPath);
    CUsbPrinterPort fits(exact, printer_link::ReceiptPrinterProductIds());
    EXPECT_TRUE(fits.Open());
}

TEST(UsbPrinterPort, NothingToOpenAndRepeatedOpenOrClose) {
    FakeUsbDeviceSource empty;
    CUsbPrinterPort none(empty, printer_link::ReceiptPrinterProductIds());
    EXPECT_FALSE(none.Open());
    EXPECT_FALSE(none.IsOpen());
    none.Close();
    none.Close();
    std::size_t written = 99;
    const std::uint8_t byte = 0x1b;
    EXPECT_FALSE(none.Write(&byte, 1, &written, 100));
    EXPECT_EQ(written, 0u);

    FakeUsbDeviceSource source;
    const auto device = source.AddDevice(Identity("vid_0418&pid_5011"));
    {
        CUsbPrinterPort port(source, printer_link::ReceiptPrinterProductIds());
        ASSERT_TRUE(port.Open());
        ASSERT_TRUE(port.Open());  // releases the first descriptor
        EXPECT_EQ(source.OpenCount(device), 2u);
        EXPECT_TRUE(source.WaitForClosed(1, 2000));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(source.ClosedCount(), 1u);
    }
    EXPECT_TRUE(source.WaitForClosed(2, 2000));  // the destructor closes
}

TEST(UsbPrinterPort, WriteCompletesOrEndsWithZeroOnStopAndTimeout) {
    FakeUsbDeviceSource source;
    const auto device = source.AddDevice(Identity("vid_0418&pid_5011"));
    source.ScriptOpen(device, 1, OpenScript::StallAfter(0));
    printer_link::StopEvent stop;
    const auto data = Pattern(40, 0x30);

    CUsbPrinterPort port(source, printer_link::ReceiptPrinterProductIds());
    port.SetStopEvent(&stop);
    ASSERT_TRUE(port.Open());
    std::size_t written = 0;
    EXPECT_TRUE(port.Write(data.data(), data.size(), &written, 1000));
    EXPECT_EQ(written, data.size());
    ASSERT_TRUE(source.WaitForPieces(1, 1000));
    EXPECT_EQ(Hex(source.Received(device)), Hex(data));

    // Second open: the printer takes nothing.
    ASSERT_TRUE(port.Open());
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.Set();
    });
    auto start = std::chrono::steady_clock::now();
    written = 99;
    EXPECT_FALSE(port.Write(data.data(), data.size(), &written, 5000));
    EXPECT_EQ(written, 0u);
    EXPECT_LT(MsSince(start), 2000.0);
    setter.join();

    // A set stop event stays set: the next write gives up at once.
    written = 99;
    EXPECT_FALSE(port.Write(data.data(), data.size(), &written, 5000));
    EXPECT_EQ(written, 0u);

    stop.Reset();
    EXPECT_FALSE(stop.IsSet());
    start = std::chrono::steady_clock::now();
    written = 99;
    EXPECT_FALSE(port.Write(data.data(), data.size(), &written, 60));
    EXPECT_EQ(written, 0u);
    EXPECT_GE(MsSince(start), 59.0);
    EXPECT_LT(MsSince(start), 2000.0);
    EXPECT_EQ(source.Pieces().size(), 1u);
}
