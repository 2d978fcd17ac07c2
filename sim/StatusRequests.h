#pragma once
// Finds the real-time status requests (DLE EOT n, 10 04 01 .. 10 04 04) in
// the bytes a stream brings, as a printer does: between commands only. The
// bytes of a command's parameters and data (a raster image, column graphics,
// a settings message, a firmware download) are print data even where they
// read 10 04 01. It knows the length of every command the decoders know and
// of the common one-byte-parameter commands; any other byte is a command of
// its own.
#include <cstdint>
#include <vector>

#include "sim/StreamDecoder.h"

namespace sim {

class StatusRequestFinder {
public:
    // Print data, then (when `request` is 1..4) one status request that came after it.
    struct Piece {
        std::vector<std::uint8_t> data;
        int request = 0;
    };

    // Splits the next bytes of the stream; the requests are taken out, every
    // other byte is passed on in order. A 10 or 10 04 that may start a
    // request waits for the byte that tells.
    void Feed(ByteSpan bytes, std::vector<Piece>& out);
    // The stream has ended: bytes still waiting are print data.
    void Finish(std::vector<Piece>& out);

private:
    void Take(std::uint8_t b, std::vector<Piece>& out);
    // The length of the command that head_ starts; 0 while more bytes are needed.
    std::size_t CommandLength();
    std::vector<std::uint8_t>& Data(std::vector<Piece>& out);

    std::vector<std::uint8_t> head_;  // the first bytes of the command at hand
    std::uint64_t skip_ = 0;          // bytes of the command at hand still to come
    bool started_ = false;            // a command has begun (a download is known by the stream's first bytes)
    bool claimed_ = false;            // the stream is a download: all data
    bool wifiBodyNext_ = false;       // a WIFI static header came: a 20-byte body may follow
};

}  // namespace sim
