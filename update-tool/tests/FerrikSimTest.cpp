// The ferrik program's subcommands against printer-sim: the exact bytes the
// simulated printer received, what it made of them, and the exit status.
#include <algorithm>

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

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += "  " + l + "\n";
    return out;
}

class FerrikSimTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ok()) << sim.error(); }

    RunResult Ferrik(const std::vector<std::string>& args) { return RunFerrik(args, sim.Environment(), dir.path()); }

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
    for (const Case c : {Case{0, 0}, Case{256, 1}, Case{512, 2}, Case{256 * 7 + 5, 8}, Case{40960 + 512, 162}}) {
        SCOPED_TRACE(c.size);
        const Bytes image = c.size == 256 ? Bytes(256, 0) : Image(c.size, static_cast<std::uint32_t>(c.size + 1));
        WriteFile(dir / "PRINT_NET80.bin", image);
        const RunResult r = Ferrik({"flash", "--usb"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.out, kUsbDoneText);  // its own line break ends the line
        ASSERT_TRUE(sim.WaitForStreamsClosed(++streams));
        EXPECT_TRUE(SameBytes(UsbFirmwareStream(image), LastStream()));
        const std::string expected = "firmware received: " + std::to_string(c.blocks) + " blocks, checksum ok";
        ASSERT_TRUE(sim.WaitForLine(expected, 2s)) << Joined(sim.Lines());
        if (c.size >= 40960) {
            EXPECT_NE(r.err.find("] 100% "), std::string::npos) << r.err;
        }
    }
    const auto lines = sim.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "printer restarted"), 5);
}

TEST_F(FerrikSimTest, NetworkFlashSendsThreeTrailerBlocksAndNoChecksum) {
    std::size_t streams = 0;
    for (std::size_t size : {std::size_t{0}, std::size_t{256 * 3}, std::size_t{256 * 4 + 1}}) {
        SCOPED_TRACE(size);
        const Bytes image = Image(size, 11);
        WriteFile(dir / "PRINT_NET80.bin", image);
        const RunResult r = Ferrik({"flash", "--net", "127.0.0.1", "PRINT_NET80.bin"});
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
    RunResult r = Ferrik({"flash", "--usb", "other.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    EXPECT_TRUE(SameBytes(UsbFirmwareStream(image), LastStream()));

    // No PRINT_NET80.bin: a message, and the printer never hears 1B 2B.
    r = Ferrik({"flash", "--usb"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("PRINT_NET80.bin"), std::string::npos);
    r = Ferrik({"flash", "--net", "127.0.0.1"});
    EXPECT_EQ(r.status, 3);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sim.StreamFiles().size(), 1u);
}

TEST_F(FerrikSimTest, FontGoesOutInTwoStarFrames) {
    const Bytes font = Image(256 * 4 + 100, 5);
    WriteFile(dir / "gb2312", font);
    const RunResult r = Ferrik({"font"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "FINISH\n");
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    EXPECT_TRUE(SameBytes(FontStream(font), LastStream()));
    EXPECT_TRUE(sim.WaitForLine("font received: 5 frames, ok", 2s)) << Joined(sim.Lines());
}

TEST_F(FerrikSimTest, NoUsbPrinterIsPrintErrorAndExitStatusOne) {
    WriteFile(dir / "PRINT_NET80.bin", Image(1024));
    auto env = sim.Environment();
    TempDir empty;
    env.emplace_back("USB_PRINTER_ROOT", empty.path().string());
    const RunResult r = RunFerrik({"flash", "--usb"}, env, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Print error\n");
}

TEST_F(FerrikSimTest, ZeroAndDuplicateAddressesSendNothing) {
    WriteFile(dir / "PRINT_NET80.bin", Image(512));
    // 0.0.0.0 equals every empty slot of the device table: the duplicate rule.
    RunResult r = Ferrik({"flash", "--net", "0.0.0.0"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, std::string(kDuplicateIpText) + "\n");
    // A first byte of 0 with a unique address: refused without a message box.
    r = Ferrik({"flash", "--net", "0.1.2.3"});
    EXPECT_EQ(r.status, 3);
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
    auto env = sim.Environment();
    env.emplace_back("PRINTER_TCP_PORT", std::to_string(simtest::FreeTcpPort()));
    const RunResult r = RunFerrik({"connect-test", "127.0.0.1"}, env, dir.path());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, std::string(kConnectFailShortText) + "\n");
}

}  // namespace
}  // namespace ferrik::testing
