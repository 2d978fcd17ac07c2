// printer-sim's paper: what the decoders print lands in one PNG per receipt.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>

#include "protocol/SettingsCommands.h"
#include "sim/Font.h"
#include "sim/Receipt.h"
#include "sim/StreamDecoder.h"

using namespace sim;
using protocol::Bytes;
namespace fs = std::filesystem;

namespace {

struct Printed {
    std::vector<std::string> lines;
    std::vector<Bitmap> receipts;
};

// Decodes the stream in pieces of `piece` bytes with receipts rendered into a fresh folder.
Printed Print(const Bytes& stream, std::size_t piece = 7) {
    char name[] = "/tmp/sim-receipts-XXXXXX";
    const std::string folder = ::mkdtemp(name);
    ReceiptBook book(folder, 576);
    PrinterState state;
    Printed out;
    {
        ByteStream decoder(StreamKind::Tcp, "tcp 1", state);
        decoder.PrintOn(book);
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const std::size_t n = std::min(piece, stream.size() - at);
            for (auto& l : decoder.Feed(ByteSpan(stream.data() + at, n))) out.lines.push_back(l);
        }
        for (auto& l : decoder.Close()) out.lines.push_back(l);
    }
    for (unsigned n = 1; fs::exists(folder + "/" + ReceiptBook::FileName(n)); ++n) {
        std::string error;
        auto bitmap = ReadPng(folder + "/" + ReceiptBook::FileName(n), &error);
        EXPECT_TRUE(bitmap) << error;
        if (bitmap) out.receipts.push_back(*bitmap);
    }
    fs::remove_all(folder);
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool GlyphAt(const Bitmap& b, std::uint8_t c, unsigned x0, unsigned y0) {
    for (unsigned y = 0; y < kCellHeight; ++y)
        for (unsigned x = 0; x < kCellWidth; ++x)
            if (b.Ink(x0 + x, y0 + y) != GlyphDot(c, x, y)) return false;
    return true;
}

}  // namespace

TEST(Receipts, TextGraphicsRasterFeedCutAndDrawer) {
    const Bytes stream = Bytes{0x1B, '@'} + Bytes{'A', 'b', '\n'} +
                         // ESC * 33: two 24-dot columns, the first all ink, then a line feed
                         Bytes{0x1B, '*', 33, 2, 0, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, '\n'} +
                         // GS v 0, double width: 1 byte x 2 rows
                         Bytes{0x1D, 'v', '0', 1, 1, 0, 2, 0, 0x80, 0x01} +
                         Bytes{0x1B, 'J', 10, 0x1B, 'p', 0, 25, 250, 0x1D, 'V', 66, 3};
    const Printed p = Print(stream);
    EXPECT_EQ(p.lines, (std::vector<std::string>{
                           "initialize", "text: Ab", "column graphics 24-dot double density, 2 columns", "text: ",
                           "raster 8 x 2 dots (double width)", "feed 10 dots",
                           "drawer pulse pin 2 (50 ms on, 500 ms off)", "partial cut after 3 dots of feed",
                           "receipt 1: 576 x 75 dots, partial cut, drawer pin 2"}));
    ASSERT_EQ(p.receipts.size(), 1u);
    const Bitmap& r = p.receipts[0];
    ASSERT_EQ(r.width, 576u);
    ASSERT_EQ(r.height, 30u + 30 + 2 + 10 + 3);
    EXPECT_TRUE(GlyphAt(r, 'A', 0, 0));
    EXPECT_TRUE(GlyphAt(r, 'b', 12, 0));
    // Column graphics on the second line: column 0 all ink, column 1 one dot at the bottom.
    for (unsigned y = 30; y < 54; ++y) EXPECT_TRUE(r.Ink(0, y)) << y;
    EXPECT_TRUE(r.Ink(1, 53));
    EXPECT_FALSE(r.Ink(1, 52));
    // The raster, twice as wide: dots 0-1 of row 60 and 14-15 of row 61.
    EXPECT_TRUE(r.Ink(0, 60) && r.Ink(1, 60) && !r.Ink(2, 60));
    EXPECT_TRUE(r.Ink(14, 61) && r.Ink(15, 61) && !r.Ink(13, 61));
}

// The settings tools' own messages keep their lines; what they print is a
// receipt too. A command cut short by the end of the stream is reported.
TEST(Receipts, ToolMessagesAndAnIncompleteRaster) {
    const Printed p = Print(Bytes{'H', 'i', '\r', '\n'} + protocol::CashDrawer() + protocol::CutTest() +
                            Bytes{0x1D, 'v', '0', 0, 2, 0, 4, 0, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(p.lines, (std::vector<std::string>{"text: Hi", "cash drawer", "cut",
                                                 "receipt 1: 576 x 90 dots, partial cut, drawer pin 5",
                                                 "incomplete raster 16 x 4 dots (11 of 16 bytes)"}));
    ASSERT_EQ(p.receipts.size(), 1u);
    EXPECT_TRUE(GlyphAt(p.receipts[0], 'H', 0, 0));
}
