// The Linux device source against a fake sysfs and /dev tree with FIFOs as
// the printer nodes: enumeration, identities, one first printer for every
// program, and bytes written through CUsbPrinterPort read back from the FIFO.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "link/ProductIds.h"
#include "link/UsbPrinterPort.h"
#include "link/tests/TestSupport.h"
#include "platform/fake/usb/FakeUsbTree.h"
#include "platform/linux/usb/SystemUsbDeviceSource.h"
#include "platform/linux/usb/UsbEnumerator.h"
#include "platform/linux/usbreg/SysfsUsbRegistry.h"

using linktest::Hex;
using linktest::Pattern;

namespace {

const std::string kClass = "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

// Reads everything that arrives in the FIFO until `size` bytes are in or a
// second passes without data.
std::vector<std::uint8_t> ReadBack(int fd, std::size_t size) {
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[65536];
    while (bytes.size() < size) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) break;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

}  // namespace

TEST(LinuxUsbDeviceSource, EnumeratesInNaturalOrderWithLowerCaseIdentities) {
    platform_fake::FakeUsbTree tree;
    tree.AddPrinter("2-1", "0418", "1234", 0);
    const std::string third = tree.AddPrinter("1-10", "0418", "0600", 1);
    const std::string first = tree.AddPrinter("1-1", "0FE6", "5011", 3, "AB12cd");
    tree.AddPrinter("1-2", "0418", "0055", -1);  // a printer without a usblp node
    std::filesystem::create_directories(tree.Root() + "/sys/class/usbmisc/lp9");  // no device link

    platform_linux::LinuxUsbDeviceSource source(tree.Root());
    const auto devices = source.Enumerate();
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0].path, "\\\\?\\usb#vid_0fe6&pid_5011#ab12cd" + kClass);
    EXPECT_EQ(devices[0].node, first);
    EXPECT_EQ(devices[0].serial, "AB12cd");
    EXPECT_EQ(devices[1].path, "\\\\?\\usb#vid_0418&pid_0055#1-2" + kClass);
    EXPECT_EQ(devices[1].node, "");
    EXPECT_EQ(devices[2].path, "\\\\?\\usb#vid_0418&pid_0600#1-10" + kClass);
    EXPECT_EQ(devices[2].node, third);
    EXPECT_EQ(devices[3].path, "\\\\?\\usb#vid_0418&pid_1234#2-1" + kClass);

    EXPECT_TRUE(source.Probe(devices[2]));
    EXPECT_FALSE(source.Probe(devices[1]));  // below a moved root, no usbfs node
    std::filesystem::remove(third);
    EXPECT_FALSE(source.Probe(devices[2]));

    ::setenv("USB_PRINTER_ROOT", tree.Root().c_str(), 1);
    EXPECT_EQ(platform_linux::MakeSystemUsbDeviceSource(platform_linux::UsbRootFromEnvironment())->Enumerate().size(), 4u);
    ::unsetenv("USB_PRINTER_ROOT");
    EXPECT_EQ(platform_linux::UsbRootFromEnvironment(), "/");
}

// The device layer, the presence poller's choice and the installer's port
// search see the same printers in the same order.
TEST(LinuxUsbDeviceSource, EveryProgramFindsTheSameFirstPrinter) {
    platform_fake::FakeUsbTree tree;
    tree.AddPrinter("3-1", "0418", "5011", 0);
    tree.AddPrinter("1-4", "0418", "5011", 2, "SN2");
    tree.AddPrinter("1-3.2", "0418", "0200", 5);
    platform_linux::LinuxUsbDeviceSource source(tree.Root());
    const auto chosen = printer_link::FirstUsbCandidate(source, printer_link::ReceiptPrinterProductIds(), {},
                                                        [](const printer_link::UsbDeviceInfo&) { return true; });
    ASSERT_TRUE(chosen);
    printer_link::CUsbPrinterPort port(source, printer_link::ReceiptPrinterProductIds());
    ASSERT_TRUE(port.Open());
    platform_linux::SysfsUsbRegistry registry(tree.Root());
    const auto interfaces = registry.PresentPrinterInterfaces();
    ASSERT_EQ(interfaces.size(), 3u);
    EXPECT_EQ(chosen->path, "\\\\?\\usb#vid_0418&pid_0200#1-3.2" + kClass);
    EXPECT_EQ(port.DevicePath(), chosen->path);
    EXPECT_EQ(interfaces.front(), chosen->path);
    EXPECT_EQ(platform_linux::ListUsbPrinters(tree.Root()).front().index, 5);
}

TEST(LinuxUsbDeviceSource, BytesWrittenThroughThePortArriveInTheFifo) {
    platform_fake::FakeUsbTree tree;
    tree.AddPrinter("1-1", "0418", "9999", 0);  // not a listed product
    const std::string fifo = tree.AddPrinter("1-4", "0418", "5011", 2);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    platform_linux::LinuxUsbDeviceSource source(tree.Root());
    printer_link::CUsbPrinterPort port(source, printer_link::ReceiptPrinterProductIds());
    std::string opened;
    port.SetOpenedCallback([&](const std::string& path) { opened = path; });
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(opened, "\\\\?\\usb#vid_0418&pid_5011#1-4" + kClass);

    const auto data = Pattern(100, 0x41);
    std::size_t written = 0;
    ASSERT_TRUE(port.Write(data.data(), 64, &written, 1000));
    ASSERT_EQ(written, 64u);
    ASSERT_TRUE(port.Write(data.data() + 64, 36, &written, 1000));
    ASSERT_EQ(written, 36u);
    EXPECT_EQ(Hex(ReadBack(reader, data.size())), Hex(data));

    // A full FIFO whose reader has stalled: the write times out and leaves
    // nothing of its piece behind, so that a retry cannot duplicate it.
    const int filler = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    std::vector<std::uint8_t> junk(4096, 0xee);
    std::size_t filled = 0;
    for (ssize_t n; (n = ::write(filler, junk.data(), junk.size())) > 0;) filled += static_cast<std::size_t>(n);
    written = 99;
    EXPECT_FALSE(port.Write(data.data(), 64, &written, 50));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(ReadBack(reader, filled + 64), std::vector<std::uint8_t>(filled, 0xee));

    // Full again: the write waits for room within its time-out and goes
    // through once the printer reads again.
    filled = 0;
    for (ssize_t n; (n = ::write(filler, junk.data(), junk.size())) > 0;) filled += static_cast<std::size_t>(n);
    ::close(filler);
    std::vector<std::uint8_t> drained;
    std::thread drain([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        drained = ReadBack(reader, filled + 64);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port.Write(data.data(), 64, &written, 3000));
    EXPECT_EQ(written, 64u);
    EXPECT_GE(linktest::MsSince(start), 90.0);
    drain.join();
    ASSERT_EQ(drained.size(), filled + 64);
    EXPECT_EQ(Hex(linktest::Slice(drained, filled, 64)), Hex(linktest::Slice(data, 0, 64)));
    port.Close();
    ::close(reader);
}
