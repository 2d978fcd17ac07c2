#pragma once
// The replay of a recorded usbdevfs exchange against libusb (umockdev): a
// sysfs and /dev with one printer-class device (data/printer.umockdev) and
// the recorded exchange (data/printer.ioctl). A bulk write that differs from
// the recording in any byte is refused by the replay, so a delivery that goes
// through wrote exactly the recorded pieces.
//
// umockdev works through its preload library: a test program that includes
// this header starts itself again with it when it runs without. LINK_TEST_DATA
// names the folder of the recording.
#include <gtest/gtest.h>

#include <umockdev.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace linktest {

inline constexpr const char* kPreload = "libumockdev-preload.so.0";

inline bool Preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload") != nullptr;
}

// Before main: without the preload library, run this program again with it.
// (AddressSanitizer wants to be loaded first; the preload library comes
// first here, which it is told to accept.) Not inline: every program that
// includes this header runs it at start-up.
[[maybe_unused]] static const bool kRestarted = [] {
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

inline std::string Data(const char* name) { return std::string(LINK_TEST_DATA) + "/" + name; }

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

}  // namespace linktest
