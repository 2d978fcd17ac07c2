// cadmon status end to end: the built binary asks printer-sim, whose state
// is set through its control channel, over TCP and over the fake USB printer;
// the plain lines, the JSON object and the exit status for each state.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/fake/usb/FakeUsbTree.h"
#include "settings-tool/tests/CadmonRunner.h"
#include "sim/testing/SimProcess.h"

namespace cadmon::testing {
namespace {

using simtest::SimOptions;
using simtest::SimProcess;

// printer-sim with a fake USB printer and its control channel.
SimOptions ControlledSim() {
    SimOptions options;
    options.usb = true;
    options.control = true;
    return options;
}

// A control line's reply: "ok " and the state after it.
::testing::AssertionResult Took(const std::string& reply) {
    if (reply.rfind("ok ", 0) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "control reply: " << reply;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// The fields of the JSON object, in its order; `facts` names those that are true.
std::string StatusJson(bool known, const std::vector<std::string>& facts, bool ready, const std::string& node) {
    std::string json = std::string("{\"known\": ") + (known ? "true" : "false");
    for (const char* field : {"online", "coverOpen", "paperNearEnd", "paperOut", "drawerOpen", "cutterError",
                              "unrecoverableError", "recoverableError"}) {
        const bool set = std::find(facts.begin(), facts.end(), field) != facts.end();
        json += std::string(", \"") + field + "\": " + (set ? "true" : "false");
    }
    return json + ", \"ready\": " + (ready ? "true" : "false") + ", \"node\": \"" + node + "\"}\n";
}

// The English lines of a ready printer; a state's row replaces the lines it changes.
const std::vector<std::string> kReadyLines = {
    "printer: online",          "cover: closed",         "paper: ok",  "drawer: closed", "cutter: ok",
    "unrecoverable error: no", "recoverable error: no", "ready: yes",
};
const std::string kNotKnownLine = "status not known: the printer does not answer status requests";

std::vector<std::string> EnglishLines(const std::vector<std::string>& changed) {
    std::vector<std::string> lines = kReadyLines;
    for (const std::string& line : changed) {
        const std::string key = line.substr(0, line.find(':') + 1);
        for (std::string& ready : lines)
            if (ready.rfind(key, 0) == 0) ready = line;
    }
    return lines;
}

struct StateRow {
    const char* name;
    std::vector<std::string> commands;   // to the control channel; each is undone with "off" afterwards
    bool known;
    std::vector<std::string> trueFacts;  // JSON fields that are true
    std::vector<std::string> changed;    // English lines that differ from a ready printer
    int exitStatus;
};

const std::vector<StateRow>& StateRows() {
    static const std::vector<StateRow> rows = {
        {"ready", {}, true, {"online"}, {}, 0},
        {"paper near end", {"paper-near-end"}, true, {"online", "paperNearEnd"}, {"paper: near end"}, 0},
        {"paper out", {"paper-out"}, true, {"paperOut"}, {"printer: offline", "paper: out", "ready: no"}, 1},
        {"cover open", {"cover-open"}, true, {"coverOpen"}, {"printer: offline", "cover: open", "ready: no"}, 1},
        {"drawer open", {"drawer-open"}, true, {"online", "drawerOpen"}, {"drawer: open"}, 0},
        {"offline", {"offline"}, true, {}, {"printer: offline", "ready: no"}, 1},
        {"paper out and cover open", {"paper-out", "cover-open"}, true, {"coverOpen", "paperOut"},
         {"printer: offline", "cover: open", "paper: out", "ready: no"}, 1},
        // A printer without status support: not known, and not a failure.
        {"status silent", {"status-silent"}, false, {}, {}, 0},
    };
    return rows;
}

enum class Port { Net, Usb };
void PrintTo(Port port, std::ostream* os) { *os << (port == Port::Net ? "--net" : "--usb"); }

class CadmonStatus : public ::testing::TestWithParam<Port> {};

// Each state of the printer, asked for in both forms: the JSON object, one
// line per fact (the Chinese text, then its English line outside a Chinese
// locale), and the exit status.
TEST_P(CadmonStatus, EachPrinterStateInBothForms) {
    SimProcess sim(ControlledSim());
    ASSERT_TRUE(sim.ok()) << sim.error();
    const bool net = GetParam() == Port::Net;
    const std::vector<std::string> port =
        net ? std::vector<std::string>{"--net", "127.0.0.1"} : std::vector<std::string>{"--usb-root", sim.UsbRoot()};
    const std::string node = net ? "127.0.0.1:" + std::to_string(sim.TcpPort()) : sim.UsbNodes().at(0);
    Environment environment = sim.Environment();
    environment.emplace_back("LC_ALL", "C.UTF-8");

    for (const StateRow& row : StateRows()) {
        SCOPED_TRACE(row.name);
        for (const std::string& command : row.commands) ASSERT_TRUE(Took(sim.Control(command + " on")));

        std::vector<std::string> args = port;
        args.insert(args.end(), {"status", "--json"});
        const CadmonRun json = RunCadmon(args, environment);
        EXPECT_EQ(json.exitStatus, row.exitStatus) << json.Describe();
        EXPECT_EQ(json.out, StatusJson(row.known, row.trueFacts, row.exitStatus == 0 && row.known, node));
        EXPECT_EQ(json.err, "");

        args.pop_back();
        const CadmonRun plain = RunCadmon(args, environment);
        EXPECT_EQ(plain.exitStatus, row.exitStatus) << plain.Describe();
        const std::vector<std::string> english = row.known ? EnglishLines(row.changed) : std::vector{kNotKnownLine};
        const std::vector<std::string> lines = SplitLines(plain.out);
        ASSERT_EQ(lines.size(), 2 * english.size()) << plain.Describe();
        for (std::size_t i = 0; i < english.size(); ++i) {
            EXPECT_EQ(lines[2 * i + 1], english[i]);
            // The Chinese text before it holds no ASCII letter.
            EXPECT_EQ(lines[2 * i].find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos) << lines[2 * i];
        }
        EXPECT_EQ(plain.err, "");

        for (const std::string& command : row.commands) ASSERT_TRUE(Took(sim.Control(command + " off")));
    }
    EXPECT_EQ(sim.Control("state"), "ok ready");
    // Each run sent the four status requests once and nothing else; nothing was printed.
    std::string queries;
    for (std::size_t run = 0; run < 2 * StateRows().size(); ++run) queries += "10 04 01 10 04 02 10 04 03 10 04 04 ";
    const std::string expected = FromHex(queries);
    EXPECT_TRUE(sim.WaitForRawSize(expected.size()));
    const auto raw = sim.RawBytes();
    EXPECT_EQ(Hex(std::string(raw.begin(), raw.end())), Hex(expected));
    EXPECT_EQ(sim.Messages(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Ports, CadmonStatus, ::testing::Values(Port::Net, Port::Usb),
                         [](const auto& info) { return info.param == Port::Net ? "Net" : "Usb"; });

// In a Chinese locale each fact is one line, without the English one.
TEST(CadmonStatusLanguage, ChineseLocaleHasOneLinePerFact) {
    SimProcess sim(ControlledSim());
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.Control("paper-out on"), "ok paper-out");
    Environment environment = sim.Environment();
    environment.emplace_back("LC_ALL", "zh_CN.UTF-8");
    const CadmonRun run = RunCadmon({"--net", "127.0.0.1", "status"}, environment);
    EXPECT_EQ(run.exitStatus, 1) << run.Describe();
    const auto lines = SplitLines(run.out);
    ASSERT_EQ(lines.size(), kReadyLines.size()) << run.Describe();
    EXPECT_EQ(lines[2], "纸张: 缺纸");
    EXPECT_EQ(lines.back(), "就绪: 否");
}

// A node without a way back (a plain FIFO) prints as before: status not
// known, exit 0. No printer, or a refused connection: exit 3 and nothing on
// stdout, the same texts as the other subcommands.
TEST(CadmonStatusReach, NoWayBackIsNotKnownAndNoPrinterIsStatusThree) {
    platform_fake::FakeUsbTree tree;
    const std::string fifo = tree.AddPrinter("1-1", "0418", "5011", 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const CadmonRun fifoRun = RunCadmon({"--usb-root", tree.Root(), "status", "--json"}, {{"LC_ALL", "C.UTF-8"}});
    EXPECT_EQ(fifoRun.exitStatus, 0) << fifoRun.Describe();
    EXPECT_EQ(fifoRun.out, StatusJson(false, {}, false, fifo));
    ::close(reader);

    const std::string emptyTree = ::testing::TempDir() + "cadmon-status-empty-usb";
    const std::string closedPort = std::to_string(simtest::FreeTcpPort());
    const struct {
        std::vector<std::string> args;
        const char* err;
    } rows[] = {
        {{"--usb-root", emptyTree, "status"}, "USB OPEN FAIL\n"},
        {{"--usb-root", emptyTree, "status", "--json"}, "USB OPEN FAIL\n"},
        {{"--net", "127.0.0.1", "--tcp-port", closedPort, "status", "--json"},
         "网络连接失败,请确定IP地址是否与电脑同一网段,Fail to connect\n"},
        {{"--lpt", "status"}, "NOT Selet USB OR NET\n"},
    };
    for (const auto& row : rows) {
        const CadmonRun run = RunCadmon(row.args, {{"LC_ALL", "C.UTF-8"}});
        EXPECT_EQ(run.exitStatus, 3) << run.Describe();
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, row.err);
    }
}

}  // namespace
}  // namespace cadmon::testing
