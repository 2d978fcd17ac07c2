#pragma once
// The core of the raster driver: rows of a page in, ESC/POS out. No CUPS I/O
// here, so that tests and the benchmark drive it directly.
//
// What a job becomes:
//   ESC @                          once, at the start
//   ESC p m t1 t2                  drawer pulse before the job (option)
//   per page:
//     GS v 0 0 xL xH yL yH data    the printed rows, in bands of at most `bandRows` rows
//     ESC J n                      runs of blank rows (option), the feed after the page
//     GS V 66 0 / GS V 65 0        partial / full cut after the page (option)
//   ESC p m t1 t2                  drawer pulse after the job's last page (option)
//   GS V 66 0 / GS V 65 0          cut after the job (option)
// The blank head and the blank tail of a page are not printed (options): a
// document whose page is longer than its print (a letter page, a page made
// for a wider roll and scaled down) would otherwise start and end with blank
// paper. A band is written only
// whole, so output stopped between two calls never ends inside a command.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace receipt {

enum class CutWhen { None, EachPage, Job };
enum class CutKind { Partial, Full };
enum class DrawerWhen { None, Before, After };
enum class GrayToBlack { ErrorDiffusion, Threshold };

struct JobOptions {
    CutWhen cut = CutWhen::Job;
    CutKind cutKind = CutKind::Partial;
    DrawerWhen drawer = DrawerWhen::None;
    int drawerPin = 2;             // 2 or 5
    int feedAfterDots = 40;        // paper fed after a page's last printed row (5 mm at 203 dpi)
    bool blankRowsAsFeed = true;   // runs of blank rows go out as ESC J feeds instead of raster
    bool skipBlankHead = true;     // the blank rows at the start of a page are not printed
    bool skipBlankTail = true;     // the blank rows at the end of a page are not printed
    GrayToBlack gray = GrayToBlack::ErrorDiffusion;
};

// The job's option values by PPD keyword (job options first, then the PPD's
// defaults): PaperCut None|Page|Job, CutType Partial|Full, CashDrawer
// None|Before|After, DrawerPin Pin2|Pin5, FeedAfter <n>mm, BlankRows
// Feed|Raster, SkipBlankHead True|False, SkipBlankTail True|False, Dithering ErrorDiffusion|Threshold.
// Missing or unknown values keep the defaults; `dpi` turns millimetres into dots.
using OptionLookup = std::function<std::optional<std::string>(std::string_view keyword)>;
JobOptions ParseJobOptions(const OptionLookup& lookup, int dpi);

enum class PixelFormat {
    Ink1,    // 1 bit per pixel, 1 = ink (black colour space)
    White1,  // 1 bit per pixel, 1 = white paper (white / sGray colour spaces)
    Ink8,    // 8 bits, 255 = full ink
    White8,  // 8 bits, 255 = white paper
};

struct PageFormat {
    unsigned width = 0;         // pixels per input row
    unsigned bytesPerLine = 0;  // bytes per input row
    PixelFormat format = PixelFormat::Ink1;
    unsigned leftOffset = 0;    // first input column under the head's first dot
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Writes all bytes; false when the output has failed.
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
};

inline constexpr unsigned kDefaultBandRows = 256;
// Blank runs shorter than this stay in the raster: a feed would split the band
// for less than a millimetre of paper.
inline constexpr unsigned kMinFeedRun = 8;

class ReceiptWriter {
public:
    ReceiptWriter(ByteSink& out, const JobOptions& options, unsigned headDots, unsigned bandRows = kDefaultBandRows);

    bool StartJob();
    bool StartPage(const PageFormat& page);
    // One input row of the page's bytesPerLine bytes.
    bool AddRow(const std::uint8_t* row);
    bool EndPage();
    bool EndJob();
    // The job was cancelled: the rows collected so far go out as one whole
    // band; nothing else follows.
    bool Cancel();

    // The current page held ink outside the columns the head prints.
    bool ClippedInk() const { return clippedInk_; }
    unsigned HeadDots() const { return headBytes_ * 8; }
    // Rows of the current page that went out as raster, and as feed.
    std::uint64_t RasterRows() const { return rasterRows_; }
    std::uint64_t FedRows() const { return fedRows_; }

private:
    void ConvertRow(const std::uint8_t* in);
    void Dither8(const std::uint8_t* in);
    void Threshold8(const std::uint8_t* in);
    void Extract1(const std::uint8_t* in);
    // Writes the pending blank rows as a feed, or as blank raster rows.
    bool WriteBlankRows(bool asFeed);
    bool FlushBand();
    bool Feed(std::uint64_t dots);
    bool Cut();
    bool DrawerPulse();
    bool Put(std::span<const std::uint8_t> bytes);

    ByteSink& out_;
    JobOptions options_;
    unsigned headBytes_;
    unsigned bandRows_;
    PageFormat page_{};
    unsigned printedColumns_ = 0;  // input columns under the head

    std::vector<std::uint8_t> row_;     // the current row, packed to the head's width
    std::vector<std::uint8_t> band_;    // bandRows_ rows of headBytes_
    std::vector<std::uint8_t> packet_;  // one band command, as written
    unsigned bandCount_ = 0;
    unsigned bandWidth_ = 0;            // bytes of the widest row in the band
    std::uint64_t pendingBlank_ = 0;    // blank rows not yet written
    std::vector<int> errorRow_;         // error diffusion: this row's and the next row's error,
    bool errorFlip_ = false;            //   1 column of margin each side; which half is this row
    bool pageInked_ = false;           // a row of the current page held ink
    bool pageCutPending_ = false;
    bool pagesDone_ = false;
    bool clippedInk_ = false;
    bool failed_ = false;
    std::uint64_t rasterRows_ = 0;
    std::uint64_t fedRows_ = 0;
};

}  // namespace receipt
