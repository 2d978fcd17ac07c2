// What the port monitor tells CUPS about the printer: the report set on a
// fake log (reasons added and removed as a set, the alert and the job's
// message), and the watch asking aside while a device call is stuck.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/backend/JobWatch.h"
#include "driver/backend/StatusReport.h"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAreArray;
using protocol::PrinterStatus;

class Lines {
public:
    portmon::LogLine Sink() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        };
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(lines_, {});
    }
    std::size_t Count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

bool Eventually(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

PrinterStatus Ready() {
    PrinterStatus s;
    s.known = s.online = true;
    return s;
}
PrinterStatus With(const std::function<void(PrinterStatus&)>& change) {
    PrinterStatus s = Ready();
    change(s);
    // What a printer answers: offline while it cannot print.
    if (!s.Ready()) s.online = false;
    return s;
}
const PrinterStatus kPaperOut = With([](PrinterStatus& s) { s.paperOut = true; });
const PrinterStatus kCoverOpen = With([](PrinterStatus& s) { s.coverOpen = true; });
const PrinterStatus kNearEnd = With([](PrinterStatus& s) { s.paperNearEnd = true; });

// One step: the status shown (or a clear, when `clear`), and the lines it writes.
struct Step {
    PrinterStatus status;
    std::vector<std::string> lines;
    bool clear = false;
};

TEST(StatusReport, ReasonsAreSetAndClearedAsASet) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"paper out, then back",
         {{kPaperOut,
           {"STATE: +media-empty-error", "ATTR: printer-alert-description='paper out'", "INFO: paper out"}},
          {kPaperOut, {}},  // the same again says nothing
          {Ready(), {"STATE: -media-empty-error", "ATTR: printer-alert-description=''", "INFO: printing"}}}},
        {"cover open with paper out: the cover names it, then the paper",
         {{With([](PrinterStatus& s) { s.coverOpen = s.paperOut = true; }),
           {"STATE: +cover-open-error", "STATE: +media-empty-error", "ATTR: printer-alert-description='cover open'",
            "INFO: cover open"}},
          {kPaperOut, {"STATE: -cover-open-error", "ATTR: printer-alert-description='paper out'", "INFO: paper out"}},
          {{}, {"STATE: -media-empty-error", "ATTR: printer-alert-description=''"}, true}}},
        {"paper near end prints: a report without a message, gone at the end",
         {{kNearEnd, {"STATE: +media-low-report"}},
          {With([](PrinterStatus& s) { s.paperNearEnd = s.paperOut = true; }),
           {"STATE: +media-empty-error", "ATTR: printer-alert-description='paper out'", "INFO: paper out"}},
          {kNearEnd, {"STATE: -media-empty-error", "ATTR: printer-alert-description=''", "INFO: printing"}},
          {{}, {"STATE: -media-low-report"}, true}}},
        {"offline on its own, then errors",
         {{With([](PrinterStatus& s) { s.online = false; }),
           {"STATE: +offline-report", "ATTR: printer-alert-description='printer offline'", "INFO: printer offline"}},
          {With([](PrinterStatus& s) { s.cutterError = true; }),
           {"STATE: -offline-report", "STATE: +media-jam-error", "ATTR: printer-alert-description='cutter error'",
            "INFO: cutter error"}},
          {With([](PrinterStatus& s) { s.unrecoverableError = true; }),
           {"STATE: -media-jam-error", "STATE: +other-error", "ATTR: printer-alert-description='printer error'",
            "INFO: printer error"}},
          {With([](PrinterStatus& s) { s.recoverableError = true; }),
           {"STATE: -other-error", "STATE: +other-warning",
            "ATTR: printer-alert-description='printer error, recovering'", "INFO: printer error, recovering"}},
          {PrinterStatus{}, {"STATE: -other-warning", "ATTR: printer-alert-description=''", "INFO: printing"}}}},
        {"a printer that does not answer shows nothing",
         {{PrinterStatus{}, {}}, {{}, {}, true}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Lines lines;
        portmon::StatusReport report(lines.Sink());
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            const Step& step = c.steps[i];
            if (step.clear)
                report.Clear("");
            else
                report.Show(portmon::ConditionOf(step.status));
            EXPECT_THAT(lines.Take(), ElementsAreArray(step.lines));
        }
        EXPECT_TRUE(report.Shown().reasons.empty() || !c.steps.back().clear);
    }
}

TEST(StatusReport, PortStatusLineReadAsAPrinterStatus) {
    struct Case {
        printer_link::DeviceStatus port;
        std::string shown;  // the text the report would show
    };
    const Case cases[] = {
        {{true, true, true, true}, "paper out"},  // the port raises all three for paper out
        {{true, false, true, true}, "printer offline"},
        {{true, false, false, true}, "printer error, recovering"},
        {{true, false, false, false}, ""},
        {{false, true, true, true}, ""},  // a port that cannot say
    };
    for (const Case& c : cases) {
        const PrinterStatus status = portmon::FromPortStatus(c.port);
        EXPECT_EQ(status.known, c.port.known);
        EXPECT_EQ(portmon::ConditionOf(status).text, c.shown);
    }
}

// The watch asks aside once a call has taken nothing for a while, shows what
// the printer says, follows its changes, and clears it all when the call ends.
TEST(JobWatchAside, StuckCallShowsWhatThePrinterSaysAndClearsItWhenItMoves) {
    struct Case {
        const char* name;
        std::vector<PrinterStatus> answers;  // one per question; the last repeats
        std::vector<std::string> lines;      // up to the call's end
        std::size_t clearLines = 3;          // of which the call's end wrote the last ones
    };
    const Case cases[] = {
        {"paper out, then the cover opens",
         {kPaperOut, kPaperOut, kCoverOpen},
         {"STATE: +media-empty-error", "ATTR: printer-alert-description='paper out'", "INFO: paper out",
          "STATE: -media-empty-error", "STATE: +cover-open-error", "ATTR: printer-alert-description='cover open'",
          "INFO: cover open", "STATE: -cover-open-error", "ATTR: printer-alert-description=''", "INFO: printing"}},
        {"no answer: not taking data once the call is long",
         {PrinterStatus{}},
         {"STATE: +offline-report", "ATTR: printer-alert-description='printer not taking data'",
          "INFO: printer not taking data", "STATE: -offline-report", "ATTR: printer-alert-description=''",
          "INFO: printing"}},
        {"ready with paper near end, yet stuck: not taking data",
         {kNearEnd},
         {"STATE: +media-low-report", "STATE: +offline-report",
          "ATTR: printer-alert-description='printer not taking data'", "INFO: printer not taking data",
          "STATE: -media-low-report", "STATE: -offline-report", "ATTR: printer-alert-description=''",
          "INFO: printing"},
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Lines lines;
        std::mutex mutex;
        std::size_t asked = 0;
        // Stuck for 150 ms before "not taking data"; asked every 5 ms.
        portmon::JobWatch watch(lines.Sink(), {150ms, 60s, 5ms, 5ms});
        watch.SetAskAside([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return c.answers[std::min(asked++, c.answers.size() - 1)];
        });
        watch.Busy();
        const std::size_t before = c.lines.size() - c.clearLines;
        ASSERT_TRUE(Eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return lines.Count() >= before && asked > c.answers.size();
        })) << ::testing::PrintToString(lines.Take());
        watch.Idle();
        watch.SetAskAside({});
        EXPECT_THAT(lines.Take(), ElementsAreArray(c.lines));
        EXPECT_TRUE(watch.Report().Shown().reasons.empty());
    }
}

// A call that ends before the first question says nothing at all.
TEST(JobWatchAside, ShortCallsAskNothing) {
    Lines lines;
    std::size_t asked = 0;
    portmon::JobWatch watch(lines.Sink(), {10s, 60s, 10s, 10s});
    watch.SetAskAside([&] {
        ++asked;
        return kPaperOut;
    });
    for (int i = 0; i < 100; ++i) {
        watch.Busy();
        watch.Idle();
    }
    watch.SetAskAside({});
    EXPECT_EQ(asked, 0u);
    EXPECT_TRUE(lines.Take().empty());
}

}  // namespace
