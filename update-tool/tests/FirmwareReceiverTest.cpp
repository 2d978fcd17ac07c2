// printer-sim's side of the downloads: what it reports for good streams and
// for every way a stream can be wrong, fed in awkward pieces.
#include "sim/FirmwareReceiver.h"
#include "sim/StreamDecoder.h"
#include "update-tool/tests/RecordingWindow.h"

namespace ferrik::testing {
namespace {

// Feeds the stream in pieces of `piece` bytes and returns every line.
std::vector<std::string> Decode(sim::StreamKind kind, const Bytes& stream, std::size_t piece,
                                sim::PrinterState& state) {
    sim::ByteStream s(kind, "test", state);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        const std::size_t n = std::min(piece, stream.size() - at);
        auto out = s.Feed(sim::ByteSpan(stream.data() + at, n));
        lines.insert(lines.end(), out.begin(), out.end());
    }
    auto out = s.Close();
    lines.insert(lines.end(), out.begin(), out.end());
    return lines;
}

std::vector<std::string> Decode(sim::StreamKind kind, const Bytes& stream, std::size_t piece = 61) {
    sim::PrinterState state;
    return Decode(kind, stream, piece, state);
}

std::string Last(const std::vector<std::string>& lines, std::size_t back = 1) {
    return lines.size() >= back ? lines[lines.size() - back] : "";
}

TEST(FirmwareReceiver, GoodStreamsAreCountedAndRestartThePrinter) {
    sim::PrinterState state;
    state.wifiBodyExpected = true;
    auto lines = Decode(sim::StreamKind::Usb, UsbFirmwareStream(Image(256 * 3)), 1, state);
    EXPECT_EQ(Last(lines, 2), "firmware received: 3 blocks, checksum ok");
    EXPECT_EQ(Last(lines), "printer restarted");
    EXPECT_FALSE(state.wifiBodyExpected);

    lines = Decode(sim::StreamKind::Usb, UsbFirmwareStream({}), 4096);
    EXPECT_EQ(Last(lines, 3), "firmware detail: 0 image blocks, 0 padding, 2 trailer, checksum 0x0000aa00");
    lines = Decode(sim::StreamKind::Usb, UsbFirmwareStream(Bytes(256, 0)));
    EXPECT_EQ(Last(lines, 3), "firmware detail: 1 image blocks, 1 padding, 2 trailer, checksum 0x0000ff00");
    lines = Decode(sim::StreamKind::Tcp, NetworkFirmwareStream(Image(256 * 5)), 300);
    EXPECT_EQ(Last(lines, 2), "firmware received: 5 blocks, checksum ok");
}

TEST(FirmwareReceiver, BrokenStreamsSayWhatIsWrongAndDoNotRestart) {
    const Bytes good = UsbFirmwareStream(Image(256 * 2));
    struct Case {
        const char* name;
        sim::StreamKind kind;
        Bytes stream;
        std::string line;
    };
    Bytes wrongSum = good;
    wrongSum[wrongSum.size() - 4] ^= 1;
    Bytes badTrailer = good;
    badTrailer[2 + 256 * 2 + 10] = 0x54;
    Bytes cut = good;
    cut.resize(cut.size() - 100);
    Bytes oddCount = UsbFirmwareStream(Image(256 * 3));
    oddCount.erase(oddCount.begin() + 2 + 256 * 3, oddCount.begin() + 2 + 256 * 4);  // padding left out
    Bytes shortTcp = NetworkFirmwareStream(Image(256));
    shortTcp.resize(shortTcp.size() - 256);
    const Case cases[] = {
        {"checksum", sim::StreamKind::Usb, wrongSum,
         "firmware received: 2 blocks, checksum wrong: received 0x" },
        {"trailer", sim::StreamKind::Usb, badTrailer, "firmware received: trailer block 1 of 2 is not all 55"},
        {"cut", sim::StreamKind::Usb, cut, "firmware received: 924 bytes are not whole 256-byte blocks"},
        {"odd", sim::StreamKind::Usb, oddCount, "firmware received: 3 blocks before the trailer, padding missing"},
        {"tcp trailer", sim::StreamKind::Tcp, shortTcp, "firmware received: trailer block 1 of 3 is not all 55"},
        {"only the command", sim::StreamKind::Usb, Bytes{0x1B, 0x2B}, "firmware received: stream too short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto lines = Decode(c.kind, c.stream);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(Last(lines).rfind(c.line, 0), 0u) << Last(lines);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "printer restarted"), 0);
    }
}

TEST(FirmwareReceiver, OnlyAtTheStartOfAStream) {
    // 1B 2B after other bytes is no download.
    Bytes stream{0x1F, 0x1B, 0x65, 0x01};
    const Bytes firmware = UsbFirmwareStream({});
    stream.insert(stream.end(), firmware.begin(), firmware.begin() + 2);
    for (const auto& line : Decode(sim::StreamKind::Usb, stream)) {
        EXPECT_EQ(line.find("firmware"), std::string::npos) << line;
    }
}

TEST(FontReceiver, FramesAreCheckedOverUsbOnly) {
    const Bytes good = FontStream(Image(256 * 3 + 7));
    EXPECT_EQ(Last(Decode(sim::StreamKind::Usb, good, 100)), "font received: 4 frames, ok");
    Bytes badMark = good;
    badMark[2 + 258 + 257] = 0x2B;
    EXPECT_EQ(Last(Decode(sim::StreamKind::Usb, badMark)), "font received: frame 2 lacks its 2A marks");
    Bytes stray = good;
    stray.push_back(0x2A);
    EXPECT_EQ(Last(Decode(sim::StreamKind::Usb, stray)), "font received: 4 frames and 1 stray bytes");
    for (const auto& line : Decode(sim::StreamKind::Tcp, good)) {
        EXPECT_EQ(line.find("font received"), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace ferrik::testing
