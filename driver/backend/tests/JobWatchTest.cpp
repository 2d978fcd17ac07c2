// The job's watch: SIGTERM stops a job at once before it printed and after
// the drain time once it has; a device call that takes long is reported
// once and cleared when it ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "driver/backend/JobWatch.h"

namespace {

using namespace std::chrono_literals;

class Lines {
public:
    portmon::LogLine Sink() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        };
    }
    std::vector<std::string> Get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

bool Eventually(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The watches are made on the test's only thread, so SIGTERM is blocked in
// every thread and reaches the watch's signalfd.
TEST(JobWatch, CancelStopsAtOnceBeforePrintingAndAfterTheDrainTimeOnceStarted) {
    Lines lines;
    {
        portmon::JobWatch watch(lines.Sink(), {10s, 60s});
        ASSERT_TRUE(watch.ok());
        ::kill(::getpid(), SIGTERM);
        EXPECT_TRUE(Eventually([&] { return watch.Stop().IsSet(); }));
        EXPECT_TRUE(watch.CancelRequested());
    }
    {
        portmon::JobWatch watch(lines.Sink(), {10s, 60s});
        watch.Writing();
        ::kill(::getpid(), SIGTERM);
        EXPECT_TRUE(Eventually([&] { return watch.CancelRequested(); }));
        EXPECT_FALSE(watch.Stop().IsSet()) << "what is in hand is still sent";
    }
    {
        portmon::JobWatch watch(lines.Sink(), {10s, 50ms});
        watch.Writing();
        ::kill(::getpid(), SIGTERM);
        EXPECT_TRUE(Eventually([&] { return watch.Stop().IsSet(); }));
    }
    EXPECT_THAT(lines.Get(), ::testing::ElementsAre("DEBUG: job cancelled before printing",
                                                    "DEBUG: job cancelled; finishing what is in hand",
                                                    "DEBUG: job cancelled; finishing what is in hand",
                                                    "DEBUG: the rest of the cancelled job took too long; stopping"));
}

TEST(JobWatch, LongDeviceCallIsReportedOnceAndClearedWhenItEnds) {
    Lines lines;
    portmon::JobWatch watch(lines.Sink(), {50ms, 60s});
    watch.Busy();
    ASSERT_TRUE(Eventually([&] { return lines.Get().size() >= 3; }));
    watch.Idle();
    EXPECT_THAT(lines.Get(), ::testing::ElementsAre("STATE: +offline-report",
                                                    "ATTR: printer-alert-description='printer not taking data'",
                                                    "INFO: printer not taking data", "STATE: -offline-report",
                                                    "ATTR: printer-alert-description=''", "INFO: printing"));
    EXPECT_FALSE(watch.Stop().IsSet());
}

}  // namespace
