// printer-sim's stream decoding: the lines and the printer state after a
// stream are the same however the stream is cut into reads, and every line is
// free of control characters.
//
// Input: a flags byte (bit 0: USB stream rather than TCP; bit 1: a WIFI
// static body is expected from an earlier connection), a byte whose low three
// bits give the number of cut points (the high five the read size of a long
// stream read piece by piece), two bytes (little endian) per cut point,
// then the stream itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/StreamDecoder.h"

namespace {

struct Outcome {
    std::vector<std::string> lines;
    bool wifiBodyExpected = false;
    bool operator==(const Outcome&) const = default;
};

void Check(bool condition) {
    if (!condition) std::abort();
}

Outcome Decode(sim::StreamKind kind, bool wifiBodyExpected, const std::vector<std::uint8_t>& stream,
               const std::vector<std::size_t>& cuts) {
    sim::PrinterState state;
    state.wifiBodyExpected = wifiBodyExpected;
    sim::ByteStream decoder(kind, kind == sim::StreamKind::Usb ? "usb lp0" : "tcp 1", state);
    Outcome outcome;
    std::size_t from = 0;
    auto feed = [&](std::size_t to) {
        // Each read in its own buffer, so that a decoder reading past it is caught.
        const std::vector<std::uint8_t> piece(stream.begin() + static_cast<std::ptrdiff_t>(from),
                                              stream.begin() + static_cast<std::ptrdiff_t>(to));
        for (auto& l : decoder.Feed(piece)) outcome.lines.push_back(std::move(l));
        from = to;
    };
    for (std::size_t cut : cuts) feed(cut);
    feed(stream.size());
    for (auto& l : decoder.Close()) outcome.lines.push_back(std::move(l));
    Check(decoder.TotalBytes() == stream.size());
    Check(decoder.Feed(stream).empty() && decoder.Close().empty());  // a closed stream takes nothing more
    outcome.wifiBodyExpected = state.wifiBodyExpected;
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const sim::StreamKind kind = (data[0] & 1) ? sim::StreamKind::Usb : sim::StreamKind::Tcp;
    const bool wifiBodyExpected = (data[0] & 2) != 0;
    const std::size_t cutCount = data[1] & 7;
    std::size_t pos = 2;
    if (size - pos < 2 * cutCount) return 0;
    std::vector<unsigned> rawCuts;
    for (std::size_t i = 0; i < cutCount; ++i, pos += 2) rawCuts.push_back(data[pos] | (data[pos + 1] << 8));
    const std::vector<std::uint8_t> stream(data + pos, data + size);

    std::vector<std::size_t> cuts;
    for (unsigned c : rawCuts) cuts.push_back(stream.empty() ? 0 : c % (stream.size() + 1));
    std::sort(cuts.begin(), cuts.end());

    const Outcome whole = Decode(kind, wifiBodyExpected, stream, {});
    for (const std::string& line : whole.lines) {
        Check(!line.empty());
        Check(std::none_of(line.begin(), line.end(), [](char c) {
            const auto b = static_cast<unsigned char>(c);
            return b < 0x20 || b == 0x7F;
        }));
        // Bytes no decoder takes come at most sixteen to a line.
        if (line.rfind("hex: ", 0) == 0) Check(line.size() <= 5 + 16 * 3 - 1);
    }
    Check(Decode(kind, wifiBodyExpected, stream, cuts) == whole);
    // Reads of one byte each (of a few bytes in long streams, to keep runs fast).
    const std::size_t step = stream.size() <= 256 ? 1 : 1 + (data[1] >> 3);
    std::vector<std::size_t> pieces;
    for (std::size_t i = step; i < stream.size(); i += step) pieces.push_back(i);
    Check(Decode(kind, wifiBodyExpected, stream, pieces) == whole);
    return 0;
}
