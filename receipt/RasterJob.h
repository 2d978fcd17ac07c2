#pragma once
// A CUPS raster stream through the ReceiptWriter: the page loop of the filter,
// apart from where the bytes come from and go to, so that the filter and the
// benchmark run the same code.
#include <cups/raster.h>

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "receipt/ReceiptWriter.h"

namespace receipt {

// What a receipt printer can be. A page header outside these bounds is not a
// receipt job but damaged or hostile data: taken as it is, it would make the
// driver take gigabytes of memory for one row or feed metres of paper.
//   Receipt heads print at 180 to 300 dpi (203 on almost all); 100 to 600 dpi
//   takes every real one with room to spare.
inline constexpr unsigned kMinDpi = 100;
inline constexpr unsigned kMaxDpi = 600;
//   The widest roll is 110 mm (a 104 mm head); a raster of the whole page may
//   be as wide as the roll, so 10 mm more leave room for any margin.
inline constexpr unsigned kMaxPageWidthMm = 120;
//   The PPD offers pages up to 3276 mm long, and a raster sent straight to
//   the queue may be longer (a day's report runs to a few metres); 10 m is
//   more than any receipt and still a bound on the paper one page can feed.
inline constexpr unsigned kMaxPageLengthMm = 10000;

// The reads the raster library makes of the job's input, kept by the input's
// read function (Note) so that the page loop can tell a stream that ends
// after its last page from one that goes on with bytes that are no page: the
// library reads a page header straight from the input once its buffer is
// empty, so a clean end is a read of a whole header that gets nothing.
struct InputTally {
    std::size_t headerRequest = 0;  // bytes of the first read of the first header
    std::size_t firstRequest = 0;   // bytes the first read since Mark asked for; 0: none yet
    std::uint64_t delivered = 0;    // bytes delivered since Mark
    void Mark() {
        firstRequest = 0;
        delivered = 0;
    }
    void Note(std::size_t requested, ssize_t got) {
        if (firstRequest == 0) firstRequest = requested;
        if (got > 0) delivered += static_cast<std::uint64_t>(got);
    }
};

struct RasterJobSettings {
    // Dots of the print head; 0: from the page width (HeadDotsForPaper).
    int headDots = 0;
    // The job's options by keyword (see ParseJobOptions).
    OptionLookup options = [](std::string_view) { return std::optional<std::string>(); };
    // Set (by a signal handler) when the job is cancelled; checked after every row.
    const volatile std::sig_atomic_t* cancelled = nullptr;
    // The input's reads; null: not known, a stream's end is not checked.
    InputTally* input = nullptr;
    // One line for the CUPS log, with its prefix ("INFO: ...", "WARNING: ...").
    std::function<void(const std::string&)> log = [](const std::string&) {};
};

enum class RasterJobResult {
    Printed,    // every page went out
    Cancelled,  // stopped after a whole band
    NoPages,    // the stream held no page
    BadRaster,  // a page of a format or size the driver does not take, or data that end inside a page
    OutputFailed,
};

// Why a page header is not one of a receipt printer (resolution, width, length
// or row size out of bounds); nullopt when it is.
std::optional<std::string> OutOfBounds(const cups_page_header2_t& header);

// First input column under the head: the left edge of the imageable area
// when the raster holds the whole page (as wide as the paper); column 0 when
// it holds the imageable area only (as Ghostscript writes it for a PPD with
// margins) or the header tells no imageable area.
unsigned LeftOffsetOf(const cups_page_header2_t& header);

// The pixel format of a page header, if the driver takes it (1 or 8 bits, one
// colour: black, white or sGray, chunked).
std::optional<PixelFormat> PixelFormatOf(const cups_page_header2_t& header);

RasterJobResult RunRasterJob(cups_raster_t* raster, const RasterJobSettings& settings, ByteSink& out);

}  // namespace receipt
