// The shared command line: the values every program reads alike, the JSON
// of --json, what a wrong command line gets back, and the terminal's texts
// and progress.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

#include "cli-common/Environment.h"
#include "cli-common/Json.h"
#include "cli-common/Program.h"
#include "cli-common/TerminalWindow.h"
#include "cli-common/Values.h"

namespace {

TEST(Values, AddressesAndMacsAreReadAlikeEverywhere) {
    const struct {
        const char* text;
        bool ok;
    } addresses[] = {
        {"192.168.0.1", true}, {"0.0.0.0", true},    {"255.255.255.255", true}, {"256.1.1.1", false},
        {"1.2.3", false},      {"1.2.3.4.5", false}, {"1..2.3", false},         {" 1.2.3.4", false},
        {"1.2.3.4 ", false},   {"+1.2.3.4", false},  {"1.2.3.0004", false},     {"", false},
    };
    for (const auto& a : addresses) EXPECT_EQ(cli::ParseIpv4(a.text).has_value(), a.ok) << a.text;
    EXPECT_EQ(*cli::ParseIpv4("10.0.200.7"), (protocol::Ipv4{10, 0, 200, 7}));

    const protocol::Mac mac{0x00, 0x1a, 0x0b, 0xff, 0x07, 0xc0};
    EXPECT_EQ(cli::ParseMac("0:1a:b:FF:7:c0"), mac);
    EXPECT_EQ(cli::ParseMac("00-1a-0b-ff-07-c0"), mac);
    EXPECT_EQ(cli::MacFromBoxes(cli::SplitMacBoxes({"0", "1a", "b", "ff", "7", "c0"})), mac);
    EXPECT_FALSE(cli::ParseMac("0:1a:b:ff:7"));
    EXPECT_TRUE(cli::SplitMacBoxes({"0", "1"}).empty());
    std::size_t bad = 99;
    EXPECT_FALSE(cli::MacFromBoxes({"0", "1a", "zz", "ff", "7", "c0"}, &bad));
    EXPECT_EQ(bad, 2u);
    EXPECT_EQ(cli::MacBoxesText(mac), "0:1a:b:ff:7:c0");
    EXPECT_EQ(cli::MacText(mac), "00:1a:0b:ff:07:c0");
}

TEST(TcpPort, FromEnvironment) {
    for (const auto& [text, port] : std::vector<std::pair<const char*, int>>{
             {"19100", 19100}, {"70000", 9100}, {"0", 9100}, {"", 9100}, {nullptr, 9100}}) {
        if (text) ::setenv("PRINTER_TCP_PORT", text, 1); else ::unsetenv("PRINTER_TCP_PORT");
        EXPECT_EQ(cli::TcpPortFromEnvironment(), port) << (text ? text : "(unset)");
    }
    ::unsetenv("PRINTER_TCP_PORT");
}

TEST(DiscoverySettings, EnvironmentOverrides) {
    ::setenv("PRINTER_BROADCAST_ADDR", "127.0.0.1", 1);
    ::setenv("PRINTER_PROBE_PORT", "19000", 1);
    ::setenv("PRINTER_REPLY_PORT", "not-a-port", 1);
    const auto s = cli::DiscoverySettingsFromEnvironment();
    ::unsetenv("PRINTER_BROADCAST_ADDR");
    ::unsetenv("PRINTER_PROBE_PORT");
    ::unsetenv("PRINTER_REPLY_PORT");
    EXPECT_EQ(s.broadcastAddress, "127.0.0.1");
    EXPECT_EQ(s.probePort, 19000);
    EXPECT_EQ(s.replyPort, 8999);  // unreadable value: default kept
    const auto d = cli::DiscoverySettingsFromEnvironment();
    EXPECT_EQ(d.broadcastAddress, "255.255.255.255");
    EXPECT_EQ(d.probePort, 9000);
}

TEST(Json, StringsAreEscapedAndListsStreamAsOneArray) {
    EXPECT_EQ(cli::JsonString("a\"b\\c\n\x01\xE4\xB8\xAD"), "\"a\\\"b\\\\c\\n\\u0001\xE4\xB8\xAD\"");
    std::ostringstream empty;
    cli::JsonList(empty).Close();
    EXPECT_EQ(empty.str(), "[\n]\n");
    std::ostringstream two;
    {
        cli::JsonList list(two);
        list.Add(cli::JsonObject().Field("n", 1).Field("s", "x").Null("none"));
        list.Add(cli::JsonObject().Field("b", true).Raw("id", "[1, 0]"));
    }
    EXPECT_EQ(two.str(), "[\n{\"n\": 1, \"s\": \"x\", \"none\": null},\n{\"b\": true, \"id\": [1, 0]}\n]\n");
}

// A program of two subcommands, run as the real ones are.
struct Result {
    int code;
    std::string out, err;
};

Result RunProgram(const std::vector<std::string>& args, bool withDefault = false) {
    cli::Program program({"demo", "a demo", "A demo program.\n"});
    std::string where;
    program.App().add_option("--where", where, "where to")->type_name("W");
    program.Add({
        {"send", "send ADDRESS", [&](CLI::App& c) {
             auto address = std::make_shared<std::string>();
             c.add_option("ADDRESS", *address, "an address")->required()->check(cli::Ipv4Value());
             return [address, &where] {
                 if (*address == "0.0.0.0") throw cli::UsageError("0.0.0.0 is no printer");
                 if (*address == "1.1.1.1") throw cli::Refusal("not that one; nothing sent");
                 return where == "here" ? 7 : 0;
             };
         }},
        {"wait", "wait", [](CLI::App&) { return [] { return 0; }; }},
    });
    if (withDefault) program.SetDefault([] { return 9; });
    std::ostringstream out, err;
    const int code = program.Run(args, out, err);
    return {code, out.str(), err.str()};
}

TEST(Program, WrongInputIsOneLineAndTheUsageLine) {
    const struct {
        std::vector<std::string> args;
        int code;
        const char* err;
    } cases[] = {
        {{"send", "--bogus", "1.2.3.4"}, 2, "demo: unknown option --bogus\nUsage: demo [OPTIONS] send ADDRESS\n"},
        {{"frob"}, 2, "demo: unknown subcommand frob\nUsage: demo [OPTIONS] SUBCOMMAND [ARGUMENTS]\n"},
        {{"send"}, 2, "demo: missing ADDRESS\nUsage: demo [OPTIONS] send ADDRESS\n"},
        {{"send", "1.2.3.4", "--where"}, 2, "demo: missing W after --where\nUsage: demo [OPTIONS] send ADDRESS\n"},
        {{"send", "1.2.3.400"}, 2,
         "demo: ADDRESS: \"1.2.3.400\" is not a dotted address such as 192.168.0.1\nUsage: demo [OPTIONS] send ADDRESS\n"},
        {{"send", "0.0.0.0"}, 2, "demo: 0.0.0.0 is no printer\nUsage: demo [OPTIONS] send ADDRESS\n"},
        {{"send", "1.2.3.4", "5.6.7.8"}, 2, "demo: unexpected argument: 5.6.7.8\nUsage: demo [OPTIONS] send ADDRESS\n"},
        {{"send", "1.1.1.1"}, 4, "demo: not that one; nothing sent\n"},
        {{"wait", "send"}, 2, "demo: unexpected argument: send\nUsage: demo [OPTIONS] wait\n"},
        {{}, 2, "demo: a subcommand is required\nUsage: demo [OPTIONS] SUBCOMMAND [ARGUMENTS]\n"},
        {{"help", "frob"}, 2, "demo: unknown subcommand frob\nUsage: demo [OPTIONS] help [SUBCOMMAND]\n"},
    };
    for (const auto& c : cases) {
        const Result r = RunProgram(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    // The program's options stand before or after the subcommand.
    EXPECT_EQ(RunProgram({"--where", "here", "send", "1.2.3.4"}).code, 7);
    EXPECT_EQ(RunProgram({"send", "1.2.3.4", "--where", "here"}).code, 7);
    EXPECT_EQ(RunProgram({}, true).code, 9);
}

TEST(Program, HelpAtEveryLevelAndTheVersion) {
    const Result top = RunProgram({"--help"});
    EXPECT_EQ(top.code, 0);
    EXPECT_EQ(top.out.rfind("Usage: demo [OPTIONS] SUBCOMMAND [ARGUMENTS]\nA demo program.\n", 0), 0u) << top.out;
    EXPECT_NE(top.out.find("\n  send ADDRESS"), std::string::npos) << top.out;
    EXPECT_NE(top.out.find(cli::ExitCodeTable(false)), std::string::npos) << top.out;
    EXPECT_EQ(RunProgram({"-h"}).out, top.out);
    EXPECT_EQ(RunProgram({"help"}).out, top.out);
    const Result send = RunProgram({"help", "send"});
    EXPECT_EQ(send.out.rfind("Usage: demo [OPTIONS] send ADDRESS\n", 0), 0u) << send.out;
    EXPECT_EQ(RunProgram({"send", "--help"}).out, send.out);
    EXPECT_EQ(RunProgram({"send", "-h"}).out, send.out);
    EXPECT_EQ(RunProgram({"--version"}).out, std::string("demo ") + cli::ProjectVersion() + "\n");
}

TEST(TerminalWindow, TextsProgressAndTheFirstFailure) {
    std::ostringstream out, err;
    {
        cli::TerminalWindow terminal("demo", out, err, false);
        terminal.Show("send finish count 1 \r\n");
        terminal.Show("finish ");  // no line end: the blank stays
        terminal.ShowFailure("USB OPEN FAIL", cli::kUnreachable);
        terminal.Fail(cli::kPrinterFailed);
        EXPECT_EQ(terminal.Status(), cli::kUnreachable);
        for (std::int64_t done = 0; done <= 4096; done += 256) terminal.Progress(done, 4096);
    }
    EXPECT_EQ(out.str(), "send finish count 1\nfinish \n");
    EXPECT_EQ(err.str(),
              "USB OPEN FAIL\n"
              "progress 25% (1024 of 4096 bytes)\nprogress 50% (2048 of 4096 bytes)\n"
              "progress 75% (3072 of 4096 bytes)\nprogress 100% (4096 of 4096 bytes)\n");

    std::ostringstream tty;
    {
        cli::TerminalWindow terminal("demo", out, tty, true);
        terminal.Progress(2048, 4096);
        terminal.Note("a line after the bar");
    }
    EXPECT_EQ(tty.str(), "\r[####################....................] 50% (2048 of 4096 bytes)\n"
                         "demo: a line after the bar\n");
}

}  // namespace
