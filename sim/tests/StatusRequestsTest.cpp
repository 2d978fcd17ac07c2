// Where printer-sim finds status requests: between commands only, the same
// however the stream is cut into reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/StatusRequests.h"

using sim::StatusRequestFinder;
using Bytes = std::vector<std::uint8_t>;

namespace {

// The print data with each request written as "<n>" in its place.
std::string Split(const Bytes& stream, std::size_t cut) {
    StatusRequestFinder finder;
    std::vector<StatusRequestFinder::Piece> pieces;
    for (std::size_t at = 0; at < stream.size(); at += cut) {
        const std::size_t n = std::min(cut, stream.size() - at);
        finder.Feed(sim::ByteSpan(stream.data() + at, n), pieces);
    }
    finder.Finish(pieces);
    std::string out;
    for (const auto& piece : pieces) {
        for (const std::uint8_t b : piece.data) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X ", b);
            out += hex;
        }
        if (piece.request) out += "<" + std::to_string(piece.request) + "> ";
    }
    return out;
}

}  // namespace

TEST(StatusRequestFinder, RequestsBetweenCommandsOnly) {
    struct Row {
        const char* name;
        Bytes stream;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"four requests", {0x10, 0x04, 0x01, 0x10, 0x04, 0x02, 0x10, 0x04, 0x03, 0x10, 0x04, 0x04}, "<1> <2> <3> <4> "},
        {"between text", {'a', 0x10, 0x04, 0x04, 'b'}, "61 <4> 62 "},
        {"not a request: DLE EOT 5, DLE alone, DLE at the end", {0x10, 0x04, 0x05, 0x10, 'x', 0x10},
         "10 04 05 10 78 10 "},
        {"a DLE that starts a request after a DLE", {0x10, 0x10, 0x04, 0x01}, "10 <1> "},
        {"inside a raster image",
         {0x1D, 0x76, 0x30, 0x00, 0x03, 0x00, 0x01, 0x00, 0x10, 0x04, 0x01, 0x10, 0x04, 0x02},
         "1D 76 30 00 03 00 01 00 10 04 01 <2> "},
        {"inside column graphics", {0x1B, 0x2A, 0x21, 0x01, 0x00, 0x10, 0x04, 0x01, 0x10, 0x04, 0x03},
         "1B 2A 21 01 00 10 04 01 <3> "},
        {"a parameter byte", {0x1B, 0x4A, 0x10, 0x04, 0x01}, "1B 4A 10 04 01 "},
        {"drawer pulse of five bytes, then a request",
         {0x1B, 0x70, 0x00, 0x19, 0xFA, 0x10, 0x04, 0x01}, "1B 70 00 19 FA <1> "},
        {"inside a settings message",
         {0x1F, 0x1B, 0x65, 0x10, 0x10, 0x04, 0x04}, "1F 1B 65 10 <4> "},
        {"a firmware download is all data", {0x1B, 0x2B, 0x10, 0x04, 0x01}, "1B 2B 10 04 01 "},
        {"a download is known at the first data byte", {0x10, 0x04, 0x01, 0x1B, 0x2B, 0x10, 0x04, 0x01},
         "<1> 1B 2B 10 04 01 "},
        {"ESC 2B later is no download", {'a', 0x1B, 0x2B, 0x10, 0x04, 0x01}, "61 1B 2B <1> "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const std::size_t cut : {std::size_t{1}, std::size_t{2}, std::size_t{5}, row.stream.size()}) {
            EXPECT_EQ(Split(row.stream, cut), row.expected) << "in reads of " << cut;
        }
    }
}
