// The stream decoding of printer-sim: every message the tools send, decoded
// the same way however the stream is cut into reads.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "protocol/SettingsCommands.h"
#include "sim/Decoders.h"
#include "sim/StreamDecoder.h"

using namespace sim;
using protocol::Bytes;

namespace {

struct Piece {
    Bytes bytes;
    std::vector<std::string> lines;
};

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Every message of the settings tools, with the lines the simulator shows.
std::vector<Piece> AllMessages() {
    const protocol::Ipv4 ip{192, 168, 1, 199}, mask{255, 255, 255, 0}, gateway{192, 168, 0, 1};
    return {
        {Text("Welcome to use the needle printing and thermal series printers produced \r\nby professional POS "
              "invoice printing companies!\r\n"),
         {"text: Welcome to use the needle printing and thermal series printers produced ",
          "text: by professional POS invoice printing companies!"}},
        {protocol::CutTest(), {"cut"}},
        {protocol::CashDrawer(), {"cash drawer"}},
        {protocol::Dhcp(true), {"DHCP on"}},
        {protocol::Dhcp(false), {"DHCP off"}},
        {protocol::SetIp(ip, mask, gateway), {"set IP 192.168.1.199 mask 255.255.255.0 gateway 192.168.0.1"}},
        {protocol::SetMac({0x00, 0x1A, 0x0B, 0xFF, 0x07, 0xC0}), {"set MAC 00:1a:0b:ff:07:c0"}},
        {protocol::Buzzer(3), {"buzzer 3"}},
        {protocol::BlankFeed(1), {"blank feed 2 lines"}},
        {protocol::BlankFeed(-1), {"blank feed FF (nothing chosen)"}},
        {protocol::Density(12), {"density 12"}},
        {protocol::CodePage(23), {"code page 23 (pc1001)"}},
        {protocol::Reprint(1), {"reprint on"}},
        {protocol::CharacterSet(2), {"character set 2 (ASCII)"}},
        {protocol::PrintSpeed(-1), {"print speed FF (nothing chosen)"}},
        {protocol::UsbIdentityX(), {"USB identity vendor 1fc9 product 2016"}},
        {*protocol::WifiCredentials("shop", "p4ss'w"), {"WIFI name 'shop' password 'p4ss\\x27w'"}},
        {protocol::WifiStaticHeader(), {"WIFI static header"}},
        {protocol::WifiStaticBody({10, 0, 0, 7}, mask, {10, 0, 0, 1}),
         {"WIFI static IP 10.0.0.7 mask 255.255.255.0 gateway 10.0.0.1"}},
        {Text("Total\t9.99\n"), {"text: Total\\t9.99"}},
        {{0x1F, 0x1B, 0x99, 0x00}, {"unknown command: 1F 1B 99", "hex: 00"}},
        {Text("no line feed at the end"), {"text: no line feed at the end"}},
    };
}

std::vector<std::string> Decode(const Bytes& stream, const std::vector<std::size_t>& cuts) {
    PrinterState state;
    ByteStream decoder(StreamKind::Tcp, "tcp 1", state);
    std::vector<std::string> lines;
    std::size_t from = 0;
    auto feed = [&](std::size_t to) {
        for (auto& l : decoder.Feed(ByteSpan(stream.data() + from, to - from))) lines.push_back(l);
        from = to;
    };
    for (std::size_t cut : cuts) feed(cut);
    feed(stream.size());
    for (auto& l : decoder.Close()) lines.push_back(l);
    return lines;
}

}  // namespace

TEST(StreamDecoding, EveryMessageWhateverTheReadBoundaries) {
    Bytes stream;
    std::vector<std::string> expected;
    for (const auto& piece : AllMessages()) {
        stream.insert(stream.end(), piece.bytes.begin(), piece.bytes.end());
        expected.insert(expected.end(), piece.lines.begin(), piece.lines.end());
    }
    EXPECT_EQ(Decode(stream, {}), expected);
    // Cut once at every position, then byte by byte, then at random places.
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        ASSERT_EQ(Decode(stream, {cut}), expected) << "stream cut at byte " << cut;
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < stream.size(); ++i) everyByte.push_back(i);
    EXPECT_EQ(Decode(stream, everyByte), expected);
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0;;) {
            at += 1 + random() % 40;
            if (at >= stream.size()) break;
            cuts.push_back(at);
        }
        ASSERT_EQ(Decode(stream, cuts), expected) << "round " << round;
    }
}

TEST(StreamDecoding, EndOfStreamInsideAMessageAndUnknownBytes) {
    const Bytes partial = {0x1F, 0x1B, 0x64, 0x00, 0xC0};
    EXPECT_EQ(Decode(partial, {2}),
              std::vector<std::string>{"incomplete set IP (5 of 23 bytes): 1F 1B 64 00 C0"});
    Bytes junk(20, 0x01);
    EXPECT_EQ(Decode(junk, {3, 11}),
              (std::vector<std::string>{"hex: 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01", "hex: 01 01 01 01"}));
    // Text followed directly by the cut: the cut's line feeds do not end the text line.
    Bytes textThenCut = Text("Hello");
    const Bytes cut = protocol::CutTest();
    textThenCut.insert(textThenCut.end(), cut.begin(), cut.end());
    EXPECT_EQ(Decode(textThenCut, {6}), (std::vector<std::string>{"text: Hello", "cut"}));
}

TEST(StreamDecoding, WifiStaticBodyMayComeOnTheNextConnection) {
    PrinterState state;
    std::vector<std::string> lines;
    for (const Bytes& message : {protocol::WifiStaticHeader(),
                                 protocol::WifiStaticBody({192, 168, 0, 7}, {255, 255, 0, 0}, {192, 168, 0, 1})}) {
        ByteStream connection(StreamKind::Tcp, "tcp", state);
        for (auto& l : connection.Feed(message)) lines.push_back(l);
        for (auto& l : connection.Close()) lines.push_back(l);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"WIFI static header",
                                               "WIFI static IP 192.168.0.7 mask 255.255.0.0 gateway 192.168.0.1"}));
    // Without a header, a leading 00 is no WIFI body.
    EXPECT_EQ(Decode(protocol::WifiStaticBody({1, 2, 3, 4}, {}, {}), {}).front().rfind("hex: 00 01 02 03", 0), 0u);
}

namespace {

// A decoder that takes a whole stream starting with 1B 2B, as a download
// receiver does, and sums it up at the end of the stream.
class ClaimingDecoder final : public StreamDecoder {
public:
    DecodeResult Decode(ByteSpan pending, DecodeContext& context) override {
        if (active_) {
            received_ += pending.size();
            return DecodeResult::Consumed(pending.size(), true);
        }
        if (context.offset != 0) return DecodeResult::NoMatch();
        if (pending.size() < 2) return pending[0] == 0x1B && !context.final ? DecodeResult::NeedMore() : DecodeResult::NoMatch();
        if (pending[0] != 0x1B || pending[1] != 0x2B) return DecodeResult::NoMatch();
        active_ = true;
        context.lines.push_back("download start");
        return DecodeResult::Consumed(2, true);
    }
    void Finish(DecodeContext& context) override {
        if (active_) context.lines.push_back("download of " + std::to_string(received_) + " bytes");
    }

private:
    bool active_ = false;
    std::size_t received_ = 0;
};

}  // namespace

TEST(StreamDecoding, ADecoderCanClaimTheRestOfItsStream) {
    std::vector<DecoderFactory> decoders = {[] { return std::make_unique<ClaimingDecoder>(); }};
    for (const auto& make : DefaultDecoders()) decoders.push_back(make);
    PrinterState state;
    {
        ByteStream stream(StreamKind::Usb, "usb lp0", state, decoders);
        std::vector<std::string> lines = stream.Feed(Bytes{0x1B});
        Bytes image = protocol::CutTest();  // would be a cut outside the download
        image.insert(image.begin(), 0x2B);
        for (auto& l : stream.Feed(image)) lines.push_back(l);
        for (auto& l : stream.Close()) lines.push_back(l);
        EXPECT_EQ(lines, (std::vector<std::string>{"download start", "download of 6 bytes"}));
    }
    {
        // Elsewhere in a stream 1B 2B is not a download.
        ByteStream stream(StreamKind::Tcp, "tcp 1", state, decoders);
        std::vector<std::string> lines = stream.Feed(Bytes{0x1B, 0x70, 0x01, 0x01, 0x00, 0x00, 0x1B, 0x2B});
        for (auto& l : stream.Close()) lines.push_back(l);
        EXPECT_EQ(lines, (std::vector<std::string>{"cash drawer", "hex: 1B", "text: +"}));
    }
}
