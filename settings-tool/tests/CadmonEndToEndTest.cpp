// cadmon's subcommands end to end: the built binary against printer-sim, over
// TCP and over the fake USB tree, checking the exact bytes that arrive, the
// texts shown and the exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake/usb/FakeUsbTree.h"
#include "settings-tool/tests/CadmonRunner.h"
#include "sim/testing/SimProcess.h"

namespace cadmon::testing {
namespace {

using simtest::SimOptions;
using simtest::SimProcess;

constexpr const char* kNetFailText = "网络连接失败,请确定IP地址是否与电脑同一网段,Fail to connect";

std::string Raw(const SimProcess& sim) {
    const auto bytes = sim.RawBytes();
    return std::string(bytes.begin(), bytes.end());
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

SimOptions WithUsb() {
    SimOptions options;
    options.usb = true;
    return options;
}

SimOptions WithArgs(std::vector<std::string> args) {
    SimOptions options;
    options.args = std::move(args);
    return options;
}

// The environment cadmon gets: the simulator's ports and tree, and a fixed
// locale so that text goes out in CP1252.
Environment EnvironmentFor(const SimProcess& sim) {
    Environment environment = sim.Environment();
    environment.emplace_back("LC_ALL", "C.UTF-8");
    return environment;
}

// One action and the bytes it must put on the wire.
struct Row {
    std::vector<std::string> args;
    std::string hex;
    std::string shown;  // a line cadmon must print (empty: nothing required)
};

std::string Zeros(int count) {
    std::string hex;
    for (int i = 0; i < count; ++i) hex += " 00";
    return hex;
}

const std::vector<Row>& ActionRows() {
    static const std::vector<Row> rows = {
        {{"print", "Hello\r\n"}, "48 65 6C 6C 6F 0D 0A", "send finish count 1"},
        {{"print", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"}, "47 72 FC DF 65 20 80", ""},
        {{"cut"}, "0A 0A 1D 56 01 01", ""},
        {{"drawer"}, "1B 70 01 01 00 00", ""},
        {{"dhcp", "on"}, "1F 1B 65 01", ""},
        {{"dhcp", "off"}, "1F 1B 65 00", ""},
        {{"set-ip", "192.168.1.199", "255.255.255.0", "192.168.0.1"},
         "1F 1B 64 00 C0 A8 01 C7 FF FF FF 00 00 00 00 00 00 00 C0 A8 00 01 00", ""},
        {{"set-mac", "0", "1a", "b", "FF", "7", "c0"}, "1F 1B 67 00 1A 0B FF 07 C0 00", ""},
        {{"set-mac", "0:1a:b:FF:7:c0"}, "1F 1B 67 00 1A 0B FF 07 C0 00", ""},
        {{"buzzer", "0"}, "1F 1B 6A 00 00 00", ""},
        {{"buzzer", "5"}, "1F 1B 6A 05 00 00", ""},
        {{"feed", "1行"}, "1F 1B 6B 00 00 00", ""},
        {{"feed", "none"}, "1F 1B 6B FF 00 00", ""},
        {{"density", "12"}, "1F 1B 01 00 00 00 0C", ""},
        {{"codepage", "pc1001"}, "1F 1B 05 17 00 00", ""},
        {{"codepage", "PC437(Std.Europe)"}, "1F 1B 05 00 00 00", ""},
        {{"codepage", "11"}, "1F 1B 05 0B 00 00", ""},
        {{"reprint", "开启重打"}, "1F 1B 66 01 00 00", ""},
        {{"charset", "ASCII"}, "1F 1B 6C 02 00 00", ""},
        {{"charset", "繁体中文BIG5"}, "1F 1B 6C 01 00 00", ""},
        {{"speed", "MODE 2"}, "1F 1B 6D 02 00 00", ""},
        {{"speed", "none"}, "1F 1B 6D FF 00 00", ""},
        {{"usb-id", "x"}, "1F 1B 06 C9 1F 16 20 00", ""},
        {{"usb-id", "G"}, "1F 1B 06 71 04 55 00 00", ""},
        {{"wifi", "ab", "cde"}, "1F 1B 68 61 62 00 63 64 65" + Zeros(119), ""},
        // Name and password of 124 bytes together: the most that fits.
        {{"wifi", std::string(100, 'n'), std::string(24, 'p')},
         "1F 1B 68" + Hex(std::string(100, 'n')) + " 00 " + Hex(std::string(24, 'p')), ""},
        {{"wifi-static", "192.168.1.199", "255.255.255.0", "192.168.0.1"},
         "1F 1B 69 00 C0 A8 01 C7 FF FF FF 00 00 00 00 00 00 00 C0 A8 00 01 00", "set ok"},
    };
    return rows;
}

enum class Transport { Net, Usb };
void PrintTo(Transport transport, std::ostream* os) { *os << (transport == Transport::Net ? "--net" : "--usb"); }

class CadmonActions : public ::testing::TestWithParam<Transport> {};

// Every action, one cadmon run each, against one simulated printer: the bytes
// of each run must arrive exactly, and nothing else.
TEST_P(CadmonActions, EveryActionDeliversItsExactBytes) {
    SimProcess sim(WithUsb());
    ASSERT_TRUE(sim.ok()) << sim.error();
    const bool net = GetParam() == Transport::Net;
    std::string expectedAll;
    for (const Row& row : ActionRows()) {
        std::vector<std::string> args;
        if (net) {
            args = {"--net", "127.0.0.1"};
        } else {
            args = {"--usb", "--usb-root", sim.UsbRoot()};
        }
        args.insert(args.end(), row.args.begin(), row.args.end());
        const std::string name = row.args[0] + (row.args.size() > 1 ? " " + row.args[1].substr(0, 20) : "");

        const std::size_t before = Raw(sim).size();
        const CadmonRun run = RunCadmon(args, EnvironmentFor(sim));
        ASSERT_EQ(run.exitStatus, 0) << name << "\n" << run.Describe();
        const std::string expected = FromHex(row.hex);
        ASSERT_TRUE(sim.WaitForRawSize(before + expected.size())) << name << ": only " << Hex(Raw(sim).substr(before));
        EXPECT_EQ(Hex(Raw(sim).substr(before, expected.size())), Hex(expected)) << name;
        if (!row.shown.empty()) {
            const auto lines = SplitLines(run.out);
            EXPECT_NE(std::find(lines.begin(), lines.end(), row.shown), lines.end()) << name << "\n" << run.Describe();
        }
        EXPECT_EQ(run.err, "") << name;
        expectedAll += expected;
    }
    // Nothing beyond the expected bytes arrived after the last action either.
    if (net) {
        EXPECT_TRUE(sim.WaitForStreamsClosed(ActionRows().size() + 1));
    }
    EXPECT_EQ(Raw(sim).size(), expectedAll.size());
}

INSTANTIATE_TEST_SUITE_P(Transports, CadmonActions, ::testing::Values(Transport::Net, Transport::Usb),
                         [](const auto& info) { return info.param == Transport::Net ? "Net" : "Usb"; });

// The set-ip example as issued from a shell, over both ports, and the
// printer's own reading of it.
TEST(CadmonSetIp, ExampleArrivesOverNetAndUsb) {
    SimProcess sim(WithUsb());
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string expected = "1F 1B 64 00 C0 A8 01 C7 FF FF FF 00 00 00 00 00 00 00 C0 A8 00 01 00";
    const std::vector<std::string> setIp = {"set-ip", "192.168.1.199", "255.255.255.0", "192.168.0.1"};

    std::vector<std::string> net = {"--net", "127.0.0.1"};
    net.insert(net.end(), setIp.begin(), setIp.end());
    const CadmonRun overNet = RunCadmon(net, EnvironmentFor(sim));
    ASSERT_EQ(overNet.exitStatus, 0) << overNet.Describe();
    ASSERT_TRUE(sim.WaitForRawSize(23));

    // USB is the default port, as in the window; the tree comes from USB_PRINTER_ROOT.
    const CadmonRun overUsb = RunCadmon(setIp, EnvironmentFor(sim));
    ASSERT_EQ(overUsb.exitStatus, 0) << overUsb.Describe();
    ASSERT_TRUE(sim.WaitForRawSize(46));
    EXPECT_EQ(Hex(Raw(sim)), expected + " " + expected);
    ASSERT_TRUE(sim.WaitForStreamsClosed(2));
    const auto messages = sim.Messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(),
                         "set IP 192.168.1.199 mask 255.255.255.0 gateway 192.168.0.1"),
              2);
}

// Text goes out in the code page of the locale, or the one asked for.
TEST(CadmonPrint, TextFollowsTheLocaleCodePage) {
    SimProcess sim;
    ASSERT_TRUE(sim.ok()) << sim.error();
    struct Case {
        const char* locale;
        std::vector<std::string> extra;
        const char* text;
        const char* hex;
    } cases[] = {
        {"zh_CN.UTF-8", {}, "\xE4\xB8\xAD\xE6\x96\x87\r\n", "D6 D0 CE C4 0D 0A"},
        {"zh_TW.UTF-8", {}, "\xE4\xB8\xAD", "A4 A4"},
        {"ru_RU.UTF-8", {}, "\xD0\x9F\xD1\x80\xD0\xB8", "CF F0 E8"},
        {"en_US.UTF-8", {}, "\xC3\xA9", "E9"},
        {"en_US.UTF-8", {"--text-encoding", "CP866"}, "\xD0\x9F", "8F"},
        {"C", {"--"}, "-5 degrees", "2D 35 20 64 65 67 72 65 65 73"},  // after "--" a text may start with '-'
    };
    std::size_t before = 0;
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--net", "127.0.0.1", "print"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.push_back(c.text);
        Environment environment = sim.Environment();
        environment.emplace_back("LC_ALL", c.locale);
        const CadmonRun run = RunCadmon(args, environment);
        ASSERT_EQ(run.exitStatus, 0) << c.locale << run.Describe();
        const std::string expected = FromHex(c.hex);
        ASSERT_TRUE(sim.WaitForRawSize(before + expected.size())) << c.locale;
        EXPECT_EQ(Hex(Raw(sim).substr(before)), c.hex) << c.locale;
        before += expected.size();
    }
    // Text from standard input; the welcome text when none is given.
    const CadmonRun fromInput = RunCadmon({"--net", "127.0.0.1", "print", "-"}, EnvironmentFor(sim), 60, "line\r\n");
    ASSERT_EQ(fromInput.exitStatus, 0) << fromInput.Describe();
    ASSERT_TRUE(sim.WaitForRawSize(before + 6));
    EXPECT_EQ(Raw(sim).substr(before), "line\r\n");
    before += 6;
    // Repeated as the window's automatic sending does it, counting up.
    const CadmonRun repeated =
        RunCadmon({"--net", "127.0.0.1", "print", "--repeat", "3", "--period", "10", "ab"}, EnvironmentFor(sim));
    ASSERT_EQ(repeated.exitStatus, 0) << repeated.Describe();
    EXPECT_EQ(repeated.out, "send finish count 1\nsend finish count 2\nsend finish count 3\n");
    ASSERT_TRUE(sim.WaitForRawSize(before + 6));
    EXPECT_EQ(Raw(sim).substr(before), "ababab");
    before += 6;
    const CadmonRun welcome = RunCadmon({"--net", "127.0.0.1", "print"}, EnvironmentFor(sim));
    ASSERT_EQ(welcome.exitStatus, 0) << welcome.Describe();
    const std::string welcomeText =
        "Welcome to use the needle printing and thermal series printers produced \r\n"
        "by professional POS invoice printing companies!\r\n";
    ASSERT_TRUE(sim.WaitForRawSize(before + welcomeText.size()));
    EXPECT_EQ(Raw(sim).substr(before), welcomeText);
}

// Input the window would not send is refused before anything is sent, and so
// are malformed command lines.
TEST(CadmonRefusal, BadInputSendsNothing) {
    SimProcess sim(WithUsb());
    ASSERT_TRUE(sim.ok()) << sim.error();
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message;  // in stderr
    } cases[] = {
        {{"set-mac", "0", "1a", "zz", "FF", "7", "c0"}, 4, "MAC box 3 \"zz\" is not one or two hexadecimal digits"},
        {{"set-mac", "0", "1a", "b", "FF", "7", "1c0"}, 4, "MAC box 6 \"1c0\""},
        {{"set-mac", "0:1a:b::7:c0"}, 4, "MAC box 4 \"\""},
        {{"wifi", std::string(100, 'n'), std::string(25, 'p')}, 4, "125 bytes together; at most 124"},
        {{"wifi", "\xE4\xB8\xAD", "x"}, 4, "WIFI name has 1 character(s) that CP1252 cannot hold"},
        {{"print", std::string(2048, 'x')}, 4, "2048 bytes; at most 2047"},
        {{"buzzer", "9"}, 2, "\"9\" is not in the buzzer list"},
        {{"speed", "MODE 9"}, 2, "not in the speed list"},
        {{"set-ip", "192.168.1.300", "255.255.255.0", "192.168.0.1"}, 2, "not a dotted address"},
        {{"set-ip", "192.168.1.1"}, 2, "missing MASK\nUsage: cadmon [OPTIONS] set-ip NEWIP MASK GATEWAY\n"},
        {{"set-mac", "0", "1"}, 2, "six boxes"},
        {{"dhcp", "maybe"}, 2, "on or off"},
        {{"usb-id", "y"}, 2, "x or g"},
        {{"frobnicate"}, 2, "unknown subcommand"},
        {{"--bogus", "cut"}, 2, "unknown option --bogus"},
        {{"cut", "--seconds", "3"}, 2, "unknown option --seconds"},
        {{"cut", "--repeat", "3"}, 2, "unknown option --repeat"},
    };
    for (const auto& transport : {std::vector<std::string>{"--net", "127.0.0.1"}, std::vector<std::string>{"--usb"}}) {
        for (const Case& c : cases) {
            std::vector<std::string> args = transport;
            args.insert(args.end(), c.args.begin(), c.args.end());
            const CadmonRun run = RunCadmon(args, EnvironmentFor(sim));
            EXPECT_EQ(run.exitStatus, c.status) << c.args[0] << "\n" << run.Describe();
            EXPECT_NE(run.err.find(c.message), std::string::npos) << run.Describe();
        }
    }
    // The limit counts bytes of the code page: "é" + 61 + 62 is 125 bytes of
    // UTF-8 but 124 of CP1252, and fits; "中" takes two bytes of CP936, and does not.
    const std::string name = "\xC3\xA9" + std::string(61, 'n');
    const std::string password(62, 'p');
    Environment chinese = sim.Environment();
    chinese.emplace_back("LC_ALL", "zh_CN.UTF-8");
    const CadmonRun tooLong = RunCadmon({"--net", "127.0.0.1", "wifi", "\xE4\xB8\xAD" + std::string(61, 'n'), password}, chinese);
    EXPECT_EQ(tooLong.exitStatus, 4) << tooLong.Describe();
    const CadmonRun fits = RunCadmon({"--net", "127.0.0.1", "wifi", name, password}, EnvironmentFor(sim));
    EXPECT_EQ(fits.exitStatus, 0) << fits.Describe();
    ASSERT_TRUE(sim.WaitForRawSize(128));
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    const std::string raw = Raw(sim);
    EXPECT_EQ(Hex(raw.substr(0, 5)), "1F 1B 68 E9 6E");
    EXPECT_EQ(raw.size(), 128u) << "a refused command sent bytes";
}

// No printer behind the chosen port: the window's failure text and a non-zero status.
TEST(CadmonFailure, UnreachablePrinterIsReported) {
    const std::string emptyTree = ::testing::TempDir() + "cadmon-empty-usb";
    const CadmonRun noUsb = RunCadmon({"--usb", "--usb-root", emptyTree, "cut"});
    EXPECT_EQ(noUsb.exitStatus, 3) << noUsb.Describe();
    EXPECT_EQ(noUsb.err, "USB OPEN FAIL\n");

    const std::string closedPort = std::to_string(simtest::FreeTcpPort());
    const CadmonRun noNet = RunCadmon({"--net", "127.0.0.1", "--tcp-port", closedPort, "set-ip", "1.2.3.4",
                                       "255.0.0.0", "1.0.0.1"});
    EXPECT_EQ(noNet.exitStatus, 3) << noNet.Describe();
    EXPECT_EQ(noNet.err, std::string(kNetFailText) + "\n");

    const CadmonRun noTest = RunCadmon({"--net", "127.0.0.1", "test-connection"}, {{"PRINTER_TCP_PORT", closedPort}});
    EXPECT_EQ(noTest.exitStatus, 3) << noTest.Describe();
    EXPECT_EQ(noTest.err, std::string(kNetFailText) + "\n");

    // A failure ends repeated printing.
    const CadmonRun repeated = RunCadmon({"--usb-root", emptyTree, "print", "--repeat", "3", "--period", "0", "x"});
    EXPECT_EQ(repeated.exitStatus, 3) << repeated.Describe();
    EXPECT_EQ(repeated.out, "send finish count 1\n");
    EXPECT_EQ(repeated.err, "USB OPEN FAIL\n");

    // Both submissions of wifi-static fail on their own; "set ok" reports the hand-over.
    const CadmonRun twoFail = RunCadmon({"--usb-root", emptyTree, "wifi-static", "1.2.3.4", "255.0.0.0", "1.0.0.1"});
    EXPECT_EQ(twoFail.exitStatus, 3) << twoFail.Describe();
    EXPECT_EQ(twoFail.err, "USB OPEN FAIL\nUSB OPEN FAIL\n");
    EXPECT_EQ(twoFail.out, "set ok\n");
}

TEST(CadmonFailure, LptAndConnectionTestSendNothing) {
    SimProcess sim(WithUsb());
    ASSERT_TRUE(sim.ok()) << sim.error();
    const CadmonRun lpt = RunCadmon({"--lpt", "drawer"}, EnvironmentFor(sim));
    EXPECT_EQ(lpt.exitStatus, 3) << lpt.Describe();
    EXPECT_EQ(lpt.err, "NOT Selet USB OR NET\n");

    const CadmonRun test = RunCadmon({"--net", "127.0.0.1", "test-connection"}, EnvironmentFor(sim));
    EXPECT_EQ(test.exitStatus, 0) << test.Describe();
    EXPECT_EQ(test.out, "connect ok\n");
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    EXPECT_EQ(Raw(sim), "");
}

// Two simulated printers answering every probe appear once each, in the order
// of their first answers; a seventeenth printer does not fit the list.
TEST(CadmonScan, ListsEachPrinterOnceInOrderOfFirstAnswer) {
    SimProcess sim(WithArgs({"--printer", "mac=00:11:22:33:44:55,ip=192.168.0.200,id=1.9c",
                                       "--printer", "mac=00:1a:0b:ff:07:c0,ip=192.168.0.199,id=1.0"}));
    ASSERT_TRUE(sim.ok()) << sim.error();
    const CadmonRun scan = RunCadmon({"scan", "--seconds", "3"}, EnvironmentFor(sim));
    EXPECT_EQ(scan.exitStatus, 0) << scan.Describe();
    EXPECT_EQ(scan.out, "(1.9c)192.168.0.200.\n(1.0)192.168.0.199.\n");
    // The same list for scripts: one JSON array, an object per printer.
    const CadmonRun json = RunCadmon({"scan", "--json", "--seconds", "2"}, EnvironmentFor(sim));
    EXPECT_EQ(json.exitStatus, 0) << json.Describe();
    EXPECT_EQ(json.out,
              "[\n"
              "{\"number\": 1, \"line\": \"(1.9c)192.168.0.200.\", \"id\": [1, 156], \"mac\": \"00:11:22:33:44:55\", "
              "\"ip\": \"192.168.0.200\"},\n"
              "{\"number\": 2, \"line\": \"(1.0)192.168.0.199.\", \"id\": [1, 0], \"mac\": \"00:1a:0b:ff:07:c0\", "
              "\"ip\": \"192.168.0.199\"}\n"
              "]\n");
    // Each printer answered more than one probe.
    const auto lines = sim.Lines();
    EXPECT_GE(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("reply (1.0)192.168.0.199.") != std::string::npos; }),
              2);
}

TEST(CadmonScan, SeventeenthPrinterIsLeftOut) {
    SimOptions options;
    std::string expected;
    for (int i = 1; i <= 17; ++i) {
        const std::string ip = "10.0.0." + std::to_string(i);
        options.args.push_back("--printer");
        options.args.push_back("mac=00:00:00:00:00:" + Hex(std::string(1, char(i))) +
                               ",ip=" + ip + ",id=1.0");
        if (i <= 16) expected += "(1.0)" + ip + ".\n";
    }
    SimProcess sim(options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    const CadmonRun scan = RunCadmon({"scan", "--seconds", "2"}, EnvironmentFor(sim));
    EXPECT_EQ(scan.exitStatus, 0) << scan.Describe();
    EXPECT_EQ(scan.out, expected);
    EXPECT_NE(scan.err.find("the list is full; it keeps the first 16 printers"), std::string::npos) << scan.Describe();
    EXPECT_NE(scan.err.find("(1.0)10.0.0.17."), std::string::npos) << scan.Describe();
}

TEST(CadmonScan, NoPrinterGivesAnEmptyListAndStatusThree) {
    SimProcess sim(WithArgs({"--no-udp"}));
    ASSERT_TRUE(sim.ok()) << sim.error();
    Environment environment = EnvironmentFor(sim);
    environment.emplace_back("PRINTER_PROBE_PORT", std::to_string(simtest::FreeUdpPort()));
    const CadmonRun scan = RunCadmon({"scan", "--seconds", "1"}, environment);
    EXPECT_EQ(scan.exitStatus, 3) << scan.Describe();
    EXPECT_EQ(scan.out, "");
    EXPECT_EQ(scan.err, "cadmon: no printer answered\n");
    const CadmonRun json = RunCadmon({"scan", "--seconds", "1", "--json"}, environment);
    EXPECT_EQ(json.exitStatus, 3) << json.Describe();
    EXPECT_EQ(json.out, "[\n]\n");
}

// set-address finds the printer, broadcasts the new settings with its
// record, and the printer answers with its new record afterwards.
TEST(CadmonSetAddress, ChangesTheChosenPrinterOnly) {
    SimProcess sim(WithArgs({"--printer", "mac=00:1a:0b:ff:07:c0,ip=192.168.0.199,id=1.0",
                                       "--printer", "mac=00:11:22:33:44:55,ip=192.168.0.200,id=1.9c"}));
    ASSERT_TRUE(sim.ok()) << sim.error();
    const Environment environment = EnvironmentFor(sim);

    // By current IP; mask, gateway and MAC as the search window fills them.
    const CadmonRun byIp = RunCadmon({"set-address", "192.168.0.200", "192.168.0.150"}, environment);
    ASSERT_EQ(byIp.exitStatus, 0) << byIp.Describe();
    EXPECT_NE(byIp.out.find("\nFINISH\n"), std::string::npos) << byIp.Describe();
    EXPECT_TRUE(sim.WaitForLine("now (1.9c)192.168.0.150. 00:11:22:33:44:55")) << byIp.Describe();
    EXPECT_TRUE(sim.WaitForLine("ip 192.168.0.150 mask 255.255.255.0 gateway 192.168.0.1 mac 00:11:22:33:44:55"));

    // By current MAC, with everything given; the MAC as six boxes.
    const CadmonRun byMac = RunCadmon({"set-address", "--mac", "0:1a:b:ff:7:c0", "10.1.2.3", "255.255.0.0",
                                       "10.1.0.1", "2", "1a", "b", "ff", "7", "c1"},
                                      environment);
    ASSERT_EQ(byMac.exitStatus, 0) << byMac.Describe();
    EXPECT_TRUE(sim.WaitForLine("now (1.0)10.1.2.3. 02:1a:0b:ff:07:c1")) << byMac.Describe();

    // By list line and by number.
    const CadmonRun byLine = RunCadmon({"set-address", "(1.9c)192.168.0.150.", "192.168.0.151"}, environment);
    ASSERT_EQ(byLine.exitStatus, 0) << byLine.Describe();
    EXPECT_TRUE(sim.WaitForLine("now (1.9c)192.168.0.151."));
    const CadmonRun byNumber = RunCadmon({"set-address", "2", "192.168.0.152", "--seconds", "3"}, environment);
    ASSERT_EQ(byNumber.exitStatus, 0) << byNumber.Describe();
    EXPECT_TRUE(sim.WaitForLine("now (1.9c)192.168.0.152."));

    const CadmonRun scan = RunCadmon({"scan", "--seconds", "2"}, environment);
    EXPECT_EQ(scan.out, "(1.0)10.1.2.3.\n(1.9c)192.168.0.152.\n");

    // Nobody answers for that address: the window's message, nothing broadcast.
    const CadmonRun nobody = RunCadmon({"set-address", "192.168.0.99", "192.168.0.150", "--seconds", "1"}, environment);
    EXPECT_EQ(nobody.exitStatus, 3) << nobody.Describe();
    EXPECT_EQ(nobody.out, "No Select print\n");
    const auto lines = sim.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("address setting", 0) == 0; }),
              4);
}

// Two printers at the same factory address: choosing by that address is
// refused, choosing by MAC reaches the one meant.
TEST(CadmonSetAddress, SharedAddressNeedsTheMac) {
    SimProcess sim(WithArgs({"--printer", "mac=00:1a:0b:ff:07:c0,ip=192.168.0.199,id=1.0",
                             "--printer", "mac=00:1a:0b:ff:07:c1,ip=192.168.0.199,id=1.0"}));
    ASSERT_TRUE(sim.ok()) << sim.error();
    const CadmonRun shared = RunCadmon({"set-address", "192.168.0.199", "192.168.0.150"}, EnvironmentFor(sim));
    EXPECT_EQ(shared.exitStatus, 4) << shared.Describe();
    EXPECT_NE(shared.err.find("2 printers answer to that choice:\n  (1.0)192.168.0.199. MAC 0:1a:b:ff:7:c0\n"
                              "  (1.0)192.168.0.199. MAC 0:1a:b:ff:7:c1\nchoose one with --mac"),
              std::string::npos)
        << shared.Describe();

    const CadmonRun byMac =
        RunCadmon({"set-address", "--mac", "0:1a:b:ff:7:c1", "192.168.0.150"}, EnvironmentFor(sim));
    EXPECT_EQ(byMac.exitStatus, 0) << byMac.Describe();
    EXPECT_TRUE(sim.WaitForLine("now (1.0)192.168.0.150. 00:1a:0b:ff:07:c1"));
    const auto lines = sim.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("address setting", 0) == 0; }),
              1);
}

TEST(CadmonHelp, ProgramAndSubcommandsDescribeThemselves) {
    const CadmonRun help = RunCadmon({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* name : {"print", "cut", "drawer", "dhcp", "set-ip", "set-mac", "buzzer", "feed", "density",
                             "codepage", "reprint", "charset", "speed", "usb-id", "wifi", "wifi-static",
                             "test-connection", "status", "scan", "set-address"}) {
        EXPECT_NE(help.out.find(std::string("\n  ") + name), std::string::npos) << name;
        const CadmonRun one = RunCadmon({name, "--help"});
        EXPECT_EQ(one.exitStatus, 0) << name;
        EXPECT_EQ(one.out.rfind(std::string("Usage: cadmon [OPTIONS] ") + name, 0), 0u) << one.out;
    }
    EXPECT_NE(help.out.find("\nExit status:\n"), std::string::npos);
    const CadmonRun list = RunCadmon({"help", "codepage"});
    EXPECT_NE(list.out.find("23  \"pc1001\""), std::string::npos) << list.out;
}

// The window started as the desktop launcher starts it keeps init_params.txt
// in $XDG_CONFIG_HOME/cadmon (made on first run); started from a terminal it
// keeps the file in the folder it was started from.
TEST(CadmonWindow, FromTheMenuItKeepsItsLanguageInTheConfigFolder) {
#ifndef CADMON_HAS_WINDOW
    GTEST_SKIP() << "built without the window";
#else
    namespace fs = std::filesystem;
    std::string base = ::testing::TempDir() + "cadmon-menu.XXXXXX";
    ASSERT_NE(::mkdtemp(base.data()), nullptr);
    const fs::path work = fs::path(base) / "work", config = fs::path(base) / "config";
    fs::create_directories(work);
    const Environment environment = {{"QT_QPA_PLATFORM", "offscreen"},
                                     {"XDG_CONFIG_HOME", config.string()},
                                     {"USB_PRINTER_ROOT", base},
                                     {"PRINTER_BROADCAST_ADDR", "127.0.0.1"},
                                     {"PRINTER_REPLY_PORT", std::to_string(simtest::FreeUdpPort())}};
    // Runs the window until `file` holds the language flag, then ends it.
    const auto windowWrites = [&](const std::vector<std::string>& args, const fs::path& file) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(work.c_str()) != 0) ::_exit(126);
            for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
            std::vector<std::string> words{CADMON_PATH};
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        std::string content;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (content != "0\n" && std::chrono::steady_clock::now() < deadline && ::waitpid(pid, nullptr, WNOHANG) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::ifstream in(file);
            content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return content == "0\n";
    };
    EXPECT_TRUE(windowWrites({"--from-menu"}, config / "cadmon" / "init_params.txt"));
    EXPECT_FALSE(fs::exists(work / "init_params.txt"));
    EXPECT_TRUE(windowWrites({}, work / "init_params.txt"));
    // The window takes no other option of the program.
    const CadmonRun withNet = RunCadmon({"--net", "127.0.0.1"}, environment);
    EXPECT_EQ(withNet.exitStatus, 2) << withNet.Describe();
    EXPECT_EQ(withNet.err, "cadmon: a subcommand is required with --net\nUsage: cadmon [OPTIONS] SUBCOMMAND [ARGUMENTS]\n");
    fs::remove_all(base);
#endif
}


// A USB printer that pauses: this test reads the fake tree's FIFO itself. The
// pipe is filled so that only `room` bytes fit, and is read empty again
// `pauseMs` after cadmon starts (never when < 0).
class PausingUsbPrinter {
public:
    PausingUsbPrinter(std::size_t room, int pauseMs) {
        ::chmod(tree_.Root().c_str(), 0755);
        node_ = tree_.AddPrinter("1-1", "0418", "5011", 0);
        reader_ = ::open(node_.c_str(), O_RDONLY | O_NONBLOCK);
        const int writer = ::open(node_.c_str(), O_WRONLY | O_NONBLOCK);
        const int size = ::fcntl(writer, F_GETPIPE_SZ);
        filler_ = static_cast<std::size_t>(std::max(size, 0)) - room;
        const std::string filler(filler_, '\0');
        for (std::size_t done = 0; done < filler_;) {
            const ssize_t n = ::write(writer, filler.data() + done, filler_ - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(writer);
        thread_ = std::thread([this, pauseMs] {
            if (pauseMs < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            while (!done_) ReadSome(20);
        });
    }
    ~PausingUsbPrinter() {
        Finish();
        ::close(reader_);
    }
    // Everything that arrived after the filler.
    std::string Finish() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
        while (ReadSome(0)) {
        }
        return received_.size() > filler_ ? received_.substr(filler_) : std::string();
    }
    const std::string& Root() const { return tree_.Root(); }
    const std::string& Node() const { return node_; }

private:
    bool ReadSome(int waitMs) {
        pollfd fd{reader_, POLLIN, 0};
        if (::poll(&fd, 1, waitMs) <= 0) return false;
        char buffer[8192];
        const ssize_t n = ::read(reader_, buffer, sizeof buffer);
        if (n <= 0) return false;
        received_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    platform_fake::FakeUsbTree tree_;
    std::string node_;
    int reader_ = -1;
    std::size_t filler_ = 0;
    std::string received_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// A printer that pauses while it prints gets the rest of the message from the
// first byte it did not take; one that takes nothing for 10 s is given up,
// and the line says how much it took.
TEST(CadmonPause, UsbResumesAtTheFirstUnsentByteAndGivesUpAfterTenQuietSeconds) {
    std::string message;
    for (int i = 0; i < 100; ++i) message.push_back(static_cast<char>('A' + i % 26));
    const struct {
        const char* name;
        std::size_t room;  // bytes the printer takes before it pauses
        int pauseMs;       // < 0: it never takes more
        int exitStatus;
        std::size_t arrives;
        const char* said;  // on stderr (empty: nothing)
    } rows[] = {
        {"takes 64 of 100, pauses 2.5 s", 64, 2500, 0, 100, ""},
        {"takes nothing for 2.5 s", 0, 2500, 0, 100, ""},
        {"takes 64 of 100, then nothing", 64, -1, 1, 64, "printer not taking data for 10 s; 64 of 100 bytes sent"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PausingUsbPrinter printer(row.room, row.pauseMs);
        const auto start = std::chrono::steady_clock::now();
        const CadmonRun run = RunCadmon({"--usb-root", printer.Root(), "print", message}, {{"LC_ALL", "C.UTF-8"}});
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(run.exitStatus, row.exitStatus) << run.Describe();
        EXPECT_EQ(printer.Finish(), message.substr(0, row.arrives));
        if (*row.said == '\0') {
            EXPECT_EQ(run.err, "") << run.Describe();
        } else {
            EXPECT_NE(run.err.find(printer.Node() + ": " + row.said), std::string::npos) << run.Describe();
            EXPECT_GT(seconds, 9.0) << "gave up before the printer had been quiet for 10 s";
        }
    }
}

// Over the network the same pause costs nothing: the socket holds the message.
TEST(CadmonPause, NetworkPrinterThatPausesTakesEverything) {
    SimProcess sim(WithArgs({"--read-size", "64", "--delay", "2500"}));
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string message(100, 'n');
    const CadmonRun run = RunCadmon({"--net", "127.0.0.1", "print", message}, EnvironmentFor(sim));
    EXPECT_EQ(run.exitStatus, 0) << run.Describe();
    ASSERT_TRUE(sim.WaitForRawSize(100, std::chrono::seconds(10)));
    EXPECT_EQ(Raw(sim), message);
}

// A node this user may not open is a local failure: its name and what grants access.
TEST(CadmonFailure, PermissionDeniedOnTheUsbNodeIsStatusFive) {
    platform_fake::FakeUsbTree tree;
    ::chmod(tree.Root().c_str(), 0755);
    const std::string node = tree.AddPrinter("1-1", "0418", "5011", 0);
    ::chmod(node.c_str(), 0600);
    const CadmonRun run = RunCadmon({"--usb-root", tree.Root(), "cut"}, {{"LC_ALL", "C.UTF-8"}}, 60, {}, 65534);
    EXPECT_EQ(run.exitStatus, 5) << run.Describe();
    EXPECT_EQ(run.err, "USB OPEN FAIL\ncadmon: cannot open " + node +
                           ": Permission denied (install the udev rule 70-receipt-printers.rules and re-plug the "
                           "printer, or add your user to the lp group)\n");
}

// Lists of numbers with a unit take the plain number; positions stay for the others.
TEST(CadmonLists, PlainNumbersNameTheEntryTheyShow) {
    SimProcess sim;
    ASSERT_TRUE(sim.ok()) << sim.error();
    const struct {
        std::vector<std::string> args;
        const char* hex;  // empty: refused with status 2
    } rows[] = {
        {{"feed", "1"}, "1F 1B 6B 00 00 00"},
        {{"feed", "5"}, "1F 1B 6B 04 00 00"},
        {{"feed", "0"}, ""},
        {{"feed", "6"}, ""},
        {{"speed", "3"}, "1F 1B 6D 03 00 00"},
    };
    std::size_t total = 0;
    for (const auto& row : rows) {
        std::vector<std::string> args = {"--net", "127.0.0.1"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const CadmonRun run = RunCadmon(args, EnvironmentFor(sim));
        if (*row.hex == '\0') {
            EXPECT_EQ(run.exitStatus, 2) << row.args[1] << run.Describe();
            continue;
        }
        EXPECT_EQ(run.exitStatus, 0) << row.args[1] << run.Describe();
        const std::string expected = FromHex(row.hex);
        ASSERT_TRUE(sim.WaitForRawSize(total + expected.size()));
        EXPECT_EQ(Hex(Raw(sim).substr(total)), Hex(expected)) << row.args[1];
        total += expected.size();
    }
}

// A missing value, in our words, with the usage line (missing arguments: CadmonRefusal).
TEST(CadmonUsage, MissingOptionValueIsNamed) {
    const CadmonRun noIp = RunCadmon({"cut", "--net"});
    EXPECT_EQ(noIp.exitStatus, 2);
    EXPECT_EQ(noIp.err, "cadmon: missing IP after --net\nUsage: cadmon [OPTIONS] cut\n");
}

}  // namespace
}  // namespace cadmon::testing
