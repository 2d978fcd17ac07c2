// The ferrik program's subcommands against printer-sim: the exact bytes the
// simulated printer received, what it made of them, and the exit status.
#include <algorithm>

#include "cli-common/EnglishLines.h"
#include "sim/testing/SimProcess.h"
#include "update-tool/core/Texts.h"
#include "update-tool/tests/FerrikRunner.h"
#include "update-tool/tests/RecordingWindow.h"

namespace ferrik::testing {
namespace {

using namespace std::chrono_literals;

simtest::SimOptions WithPrinterAndUsb() {
    simtest::SimOptions options;
    options.args = {"--printer", "id=1.0,mac=00:1a:0b:ff:07:c0,ip=127.0.0.1"};
    options.usb = true;
    return options;
}

// A window's text as a terminal outside a Chinese locale shows it: the text,
// then its English line where it has one.
std::string Shown(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const std::string_view english = cli::EnglishLineFor(text);
    return text + "\n" + (english.empty() ? "" : std::string(english) + "\n");
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += "  " + l + "\n";
    return out;
}

class FerrikSimTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ok()) << sim.error(); }

    // In a locale that is not Chinese: the windows' Chinese-only texts get their English line.
    std::vector<std::pair<std::string, std::string>> Environment() const {
        auto env = sim.Environment();
        env.emplace_back("LC_ALL", "C.UTF-8");
        return env;
    }
    RunResult Ferrik(const std::vector<std::string>& args) { return RunFerrik(args, Environment(), dir.path()); }

    // The bytes of the one stream the simulator received last.
    Bytes LastStream() {
        const auto files = sim.StreamFiles();
        return files.empty() ? Bytes{} : simtest::SimProcess::ReadFile(files.back());
    }

    simtest::SimProcess sim{WithPrinterAndUsb()};
    TempDir dir;
};

TEST_F(FerrikSimTest, UsbFlashOfEveryBlockShapeReachesChecksumOk) {
    struct Case {
        std::size_t size;
        int blocks;
    };
    std::size_t streams = 0;
    for (const Case c : {Case{256, 1}, Case{512, 2}, Case{256 * 7 + 5, 8}, Case{40960 + 512, 162}}) {
        SCOPED_TRACE(c.size);
        const Bytes image = c.size == 256 ? Bytes(256, 0) : Image(c.size, static_cast<std::uint32_t>(c.size + 1));
        WriteFile(dir / "PRINT_NET80.bin", image);
        const RunResult r = Ferrik({"flash", "--usb", "--yes"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.out, Shown(kUsbDoneText));  // its own line break ends the line
        ASSERT_TRUE(sim.WaitForStreamsClosed(++streams));
        const Bytes stream = UsbFirmwareStream(image);
        EXPECT_TRUE(SameBytes(stream, LastStream()));
        const std::string expected = "firmware received: " + std::to_string(c.blocks) + " blocks, checksum ok";
        ASSERT_TRUE(sim.WaitForLine(expected, 2s)) << Joined(sim.Lines());
        // The summary names the checksum the stream ends with; the progress
        // counts the file's blocks, in plain lines when stderr is no terminal.
        char checksum[16];
        std::snprintf(checksum, sizeof checksum, "0x%02X%02X%02X%02X", stream.end()[-1], stream.end()[-2],
                      stream.end()[-3], stream.end()[-4]);
        const std::string bytes = std::to_string(c.blocks * 256);
        EXPECT_NE(r.err.find("firmware image PRINT_NET80.bin: " + std::to_string(c.size) + " bytes, " +
                             std::to_string(c.blocks) + " blocks of 256 bytes, checksum " + checksum + "\n"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("progress 100% (" + bytes + " of " + bytes + " bytes)\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
    }
    const auto lines = sim.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "printer restarted"), 4);
}

TEST_F(FerrikSimTest, NetworkFlashSendsThreeTrailerBlocksAndNoChecksum) {
    std::size_t streams = 0;
    for (std::size_t size : {std::size_t{256 * 3}, std::size_t{256 * 4 + 1}}) {
        SCOPED_TRACE(size);
        const Bytes image = Image(size, 11);
        WriteFile(dir / "PRINT_NET80.bin", image);
        const RunResult r = Ferrik({"flash", "--net", "127.0.0.1", "--yes", "PRINT_NET80.bin"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        ASSERT_TRUE(sim.WaitForStreamsClosed(++streams));
        EXPECT_TRUE(SameBytes(NetworkFirmwareStream(image), LastStream()));
        const std::string expected =
            "firmware received: " + std::to_string((size + 255) / 256) + " blocks, checksum ok";
        EXPECT_TRUE(sim.WaitForLine(expected, 2s)) << Joined(sim.Lines());
    }
}

TEST_F(FerrikSimTest, ImageFromAnotherFileAndAMissingOne) {
    const Bytes image = Image(256 * 2);
    WriteFile(dir / "other.bin", image);
    RunResult r = Ferrik({"flash", "--usb", "-y", "other.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    EXPECT_TRUE(SameBytes(UsbFirmwareStream(image), LastStream()));

    // No PRINT_NET80.bin: a message, and the printer never hears 1B 2B.
    r = Ferrik({"flash", "--usb", "--yes"});
    EXPECT_EQ(r.status, 5);
    EXPECT_NE(r.out.find("PRINT_NET80.bin"), std::string::npos);
    r = Ferrik({"flash", "--net", "127.0.0.1", "--yes"});
    EXPECT_EQ(r.status, 5);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sim.StreamFiles().size(), 1u);
}

// Files that are plainly no image, and a download nobody confirmed, send
// nothing: the one download that follows is the only stream the printer sees.
TEST_F(FerrikSimTest, PlainMistakesAreRefusedBeforeAnyByte) {
    WriteFile(dir / "empty.bin", {});
    WriteFile(dir / "gb2312", {});
    WriteFile(dir / "PRINT_NET80.bin", Image(512));
    std::filesystem::create_directory(dir / "folder");
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"flash", "--usb", "--yes", "empty.bin"}, "ferrik: empty.bin: an empty file; nothing sent\n"},
        {{"flash", "--net", "127.0.0.1", "-y", "empty.bin"}, "ferrik: empty.bin: an empty file; nothing sent\n"},
        {{"font", "--yes"}, "ferrik: gb2312: an empty file; nothing sent\n"},
        {{"flash", "--usb", "--yes", "folder"}, "ferrik: folder: a directory, not a regular file; nothing sent\n"},
        {{"flash", "--usb"}, "standard input is not a terminal to ask; add --yes to send without asking"},
        {{"flash", "--net", "127.0.0.1"}, "add --yes to send without asking; nothing sent\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = Ferrik(c.args);
        EXPECT_EQ(r.status, 4) << c.args[1] << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    const RunResult sent = Ferrik({"flash", "--usb", "--yes"});
    EXPECT_EQ(sent.status, 0) << sent.err;
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    EXPECT_EQ(sim.StreamFiles().size(), 1u);
    EXPECT_TRUE(SameBytes(UsbFirmwareStream(Image(512)), LastStream()));
}

// On a terminal ferrik shows what it is about to send and asks; "n" sends
// nothing, "y" sends and draws the bar in place up to the file's full size.
TEST_F(FerrikSimTest, OnATerminalItAsksAndDrawsItsBarInPlace) {
    const Bytes image = Image(256 * 200, 3);
    WriteFile(dir / "PRINT_NET80.bin", image);
    const RunResult no = RunFerrikOnTerminal({"flash", "--usb"}, sim.Environment(), dir.path(), "n\n");
    EXPECT_EQ(no.status, 4) << no.out;
    EXPECT_NE(no.out.find("firmware image PRINT_NET80.bin: 51200 bytes, 200 blocks of 256 bytes, checksum 0x"),
              std::string::npos)
        << no.out;
    EXPECT_NE(no.out.find("Send it to the USB printer? [y/N] "), std::string::npos) << no.out;
    EXPECT_NE(no.out.find("not confirmed; nothing sent"), std::string::npos) << no.out;

    const RunResult yes = RunFerrikOnTerminal({"flash", "--usb"}, sim.Environment(), dir.path(), "y\n");
    EXPECT_EQ(yes.status, 0) << yes.out;
    EXPECT_NE(yes.out.find("\r[########################################] 100% (51200 of 51200 bytes)"),
              std::string::npos)
        << yes.out;
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    EXPECT_EQ(sim.StreamFiles().size(), 1u);
    EXPECT_TRUE(SameBytes(UsbFirmwareStream(image), LastStream()));
}

TEST_F(FerrikSimTest, FontGoesOutInTwoStarFrames) {
    const Bytes font = Image(256 * 4 + 100, 5);
    WriteFile(dir / "gb2312", font);
    const RunResult r = Ferrik({"font", "--yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "FINISH\n");
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    EXPECT_TRUE(SameBytes(FontStream(font), LastStream()));
    EXPECT_TRUE(sim.WaitForLine("font received: 5 frames, ok", 2s)) << Joined(sim.Lines());
}

TEST_F(FerrikSimTest, NoUsbPrinterIsPrintErrorAndExitStatusThree) {
    WriteFile(dir / "PRINT_NET80.bin", Image(1024));
    auto env = sim.Environment();
    TempDir empty;
    env.emplace_back("USB_PRINTER_ROOT", empty.path().string());
    const RunResult r = RunFerrik({"flash", "--usb", "--yes"}, env, dir.path());
    EXPECT_EQ(r.status, 3);  // not reachable: the window's text, and the printer never took a byte
    EXPECT_EQ(r.out, "Print error\n");
}

TEST_F(FerrikSimTest, ZeroAndDuplicateAddressesSendNothing) {
    WriteFile(dir / "PRINT_NET80.bin", Image(512));
    // 0.0.0.0 equals every empty slot of the device table: the duplicate rule.
    RunResult r = Ferrik({"flash", "--net", "0.0.0.0", "--yes"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, Shown(kDuplicateIpText));
    // A first byte of 0 with a unique address: refused without a message box.
    r = Ferrik({"flash", "--net", "0.1.2.3", "--yes"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "");
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(sim.StreamFiles().empty());
}

TEST_F(FerrikSimTest, SettingActionsArriveAsTwoWritesOfOneStream) {
    ASSERT_EQ(Ferrik({"set", "--codepage", "China", "--width", "58CM", "--beep", "3"}).status, 0);
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x05, 0xFF, 0x01, 0x02, 0x00}), LastStream()));
    const RunResult dark = Ferrik({"dark", "2"});
    EXPECT_EQ(dark.out, "finish \n");
    ASSERT_TRUE(sim.WaitForStreamsClosed(2));
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x01, 0, 0, 0, 2, 0, 0, 0, 0}), LastStream()));
    ASSERT_EQ(Ferrik({"x-usb"}).status, 0);
    ASSERT_TRUE(sim.WaitForStreamsClosed(3));
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x06, 0xC9, 0x1F, 0x16, 0x20, 0x00}), LastStream()));
    EXPECT_EQ(Ferrik({"set", "--codepage", "nonsense"}).status, 2);
}

TEST_F(FerrikSimTest, ScanListsThePrinterAndSetNetworkCarriesTheDhcpByte) {
    RunResult r = Ferrik({"scan", "--seconds", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "(1.0)127.0.0.1.\n");
    r = Ferrik({"scan", "--seconds", "3", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[\n{\"number\": 1, \"line\": \"(1.0)127.0.0.1.\", \"id\": [1, 0], \"mac\": \"00:1a:0b:ff:07:c0\", "
                     "\"ip\": \"127.0.0.1\"}\n]\n");

    r = Ferrik({"set-network", "--printer", "127.0.0.1", "--ip", "127.0.0.1", "--mask", "255.0.0.0",
                "--gateway", "127.0.0.254", "--dhcp", "--seconds", "5"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(sim.WaitForLine("address setting for 00:1a:0b:ff:07:c0: ip 127.0.0.1 mask 255.0.0.0 gateway "
                                "127.0.0.254 mac 00:1a:0b:ff:07:c0 (DHCP 1)", 3s))
        << Joined(sim.Lines());

    r = Ferrik({"set-network", "--printer", "127.0.0.1", "--mac", "00:1a:0b:ff:07:c1", "--seconds", "5"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(sim.WaitForLine("mac 00:1a:0b:ff:07:c1 (DHCP 0)", 3s)) << Joined(sim.Lines());
}

TEST_F(FerrikSimTest, ConnectTest) {
    EXPECT_EQ(Ferrik({"connect-test", "127.0.0.1"}).status, 0);
    auto env = Environment();
    env.emplace_back("PRINTER_TCP_PORT", std::to_string(simtest::FreeTcpPort()));
    const RunResult r = RunFerrik({"connect-test", "127.0.0.1"}, env, dir.path());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, Shown(kConnectFailShortText));
}

// The window's Chinese-only texts stand first; the English line follows
// unless LC_ALL, LC_MESSAGES or LANG (the first set) is Chinese.
TEST_F(FerrikSimTest, ChineseOnlyTextsGetAnEnglishLineOutsideAChineseLocale) {
    const std::string closed = std::to_string(simtest::FreeTcpPort());
    const struct {
        std::vector<std::string> args;
        const char* text;
        int status;
    } actions[] = {
        {{"connect-test", "127.0.0.1"}, kConnectFailShortText, 3},
        {{"set-network", "--printer", "10.9.9.9", "--ip", "10.9.9.8", "--seconds", "1"}, kSelectDeviceText, 3},
    };
    const struct {
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        bool english;
    } locales[] = {
        {"", "", "en_US.UTF-8", true},
        {"C", "", "zh_CN.UTF-8", true},
        {"", "zh_CN.UTF-8", "en_US.UTF-8", false},
        {"zh_TW.UTF-8", "", "", false},
    };
    for (const auto& action : actions) {
        for (const auto& locale : locales) {
            SCOPED_TRACE(action.args[0] + " LC_ALL=" + locale.lcAll + " LC_MESSAGES=" + locale.lcMessages +
                         " LANG=" + locale.lang);
            auto env = sim.Environment();
            env.emplace_back("PRINTER_TCP_PORT", closed);
            env.emplace_back("LC_ALL", locale.lcAll);
            env.emplace_back("LC_MESSAGES", locale.lcMessages);
            env.emplace_back("LANG", locale.lang);
            const RunResult r = RunFerrik(action.args, env, dir.path());
            EXPECT_EQ(r.status, action.status) << r.err;
            EXPECT_EQ(r.out, locale.english ? Shown(action.text) : std::string(action.text) + "\n");
        }
    }
}

}  // namespace
}  // namespace ferrik::testing
