// The usb scheme for a printer that no usblp driver serves: umockdev builds a
// sysfs and /dev with one printer-class device (data/printer.umockdev) and
// replays a recorded usbdevfs exchange (data/printer.ioctl) against libusb.
// A bulk write that differs from the recording in any byte is refused by the
// replay, so a delivery that goes through wrote exactly the recorded pieces.
//
// umockdev works through its preload library: the test starts itself again
// with it when it runs without.
#include <gtest/gtest.h>

#include <umockdev.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/CommandSender.h"
#include "link/Device.h"
#include "link/ProductIds.h"
#include "link/tests/TestSupport.h"
#include "platform/linux/usb/LinuxUsbDeviceSource.h"
#include "protocol/SettingsCommands.h"

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";

bool Preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload") != nullptr;
}

// Before main: without the preload library, run this program again with it.
// (AddressSanitizer wants to be loaded first; the preload library comes
// first here, which it is told to accept.)
[[maybe_unused]] const bool kRestarted = [] {
    if (Preloaded() || std::getenv("LIBUSB_REPLAY_NO_RESTART")) return false;
    const char* preload = std::getenv("LD_PRELOAD");
    ::setenv("LD_PRELOAD", (std::string(kPreload) + (preload && *preload ? ":" + std::string(preload) : "")).c_str(),
             1);
    const char* asan = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS", (std::string(asan && *asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    ::setenv("LIBUSB_REPLAY_NO_RESTART", "1", 1);
    static char self[] = "/proc/self/exe";
    // Keep the arguments (gtest filters, list requests).
    FILE* f = std::fopen("/proc/self/cmdline", "rb");
    std::vector<std::string> args;
    if (f) {
        std::string arg;
        for (int c; (c = std::fgetc(f)) != EOF;) {
            if (c == '\0') {
                args.push_back(arg);
                arg.clear();
            } else {
                arg.push_back(static_cast<char>(c));
            }
        }
        std::fclose(f);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(self, argv.data());
    return false;  // the exec failed: the tests skip
}();

std::string Data(const char* name) { return std::string(LINK_TEST_DATA) + "/" + name; }

class LibusbReplay : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Preloaded()) GTEST_SKIP() << "umockdev's preload library is not loaded";
        testbed_ = umockdev_testbed_new();
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_file(testbed_, Data("printer.umockdev").c_str(), &error))
            << (error ? error->message : "");
        ASSERT_TRUE(umockdev_testbed_load_ioctl(testbed_, "/dev/bus/usb/001/002", Data("printer.ioctl").c_str(),
                                                &error))
            << (error ? error->message : "");
    }
    void TearDown() override {
        if (testbed_) g_object_unref(testbed_);
    }

    UMockdevTestbed* testbed_ = nullptr;
};

}  // namespace

TEST_F(LibusbReplay, SetIpGoesToTheBulkEndpointInOnePiece) {
    printer_link::LinuxUsbDeviceSource usb("/");
    const auto devices = usb.Enumerate();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].path, "\\\\?\\usb#vid_0418&pid_5011#sn42#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    EXPECT_TRUE(devices[0].node.empty());  // no usblp: the bulk endpoint it is

    // The settings utility's sender, as the window drives it.
    linktest::TestWindow window;
    printer_link::CommandSender sender(window, usb);
    sender.Start();
    const auto setIp = protocol::SetIp({192, 168, 1, 199}, {255, 255, 255, 0}, {192, 168, 0, 1});
    sender.SubmitCommand(setIp);
    ASSERT_TRUE(sender.WaitUntilIdle(10000));
    sender.Stop();
    EXPECT_TRUE(window.Events().empty())
        << window.Events().front() << "; the recording expects one bulk write of " << linktest::Hex(setIp);
}

TEST_F(LibusbReplay, LongerMessagesGoInPiecesAndOtherBytesAreRefused) {
    printer_link::LinuxUsbDeviceSource usb("/");
    printer_link::OpenOptions options;
    options.usb = &usb;
    options.productIds = &printer_link::ReceiptPrinterProductIds();
    const auto text = linktest::Pattern(100, 0x20);
    const printer_link::Result r =
        printer_link::Deliver("usb://0418/5011?serial=SN42", text.data(), text.size(), options,
                              printer_link::Pacing{64, 1000, nullptr});
    EXPECT_EQ(r.outcome, printer_link::Outcome::Sent)
        << "the recording expects " << linktest::Hex(linktest::Slice(text, 0, 64)) << " then "
        << linktest::Hex(linktest::Slice(text, 64, 36));
    EXPECT_EQ(r.sent, 100u);
    EXPECT_EQ(r.node, "/dev/bus/usb/001/002");

    // Bytes the printer's recording does not have: the write fails, nothing counts.
    const auto other = linktest::Pattern(23, 0x40);
    const printer_link::Result refused = printer_link::Deliver("usb:", other.data(), other.size(), options,
                                                               printer_link::Pacing{64, 1000, nullptr});
    EXPECT_EQ(refused.outcome, printer_link::Outcome::Reset);
    EXPECT_EQ(refused.sent, 0u);
}
