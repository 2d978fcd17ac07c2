#include "receipt/ReceiptWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace receipt {
namespace {

constexpr std::uint8_t kEsc = 0x1B, kGs = 0x1D;
// Drawer pulse: 50 ms on (t1 = 25 x 2 ms), 500 ms off (t2 = 250 x 2 ms).
constexpr std::uint8_t kPulseOn = 25, kPulseOff = 250;

bool Is(const std::optional<std::string>& value, std::string_view choice) { return value && *value == choice; }

// Keeps the bytes of the columns past `columns` at zero, whatever the input
// held in its padding.
void MaskTail(std::uint8_t* row, unsigned columns, unsigned bytes) {
    const unsigned full = columns / 8;
    if (full < bytes) {
        const unsigned bits = columns % 8;
        row[full] &= static_cast<std::uint8_t>(0xFF00u >> bits);
        std::memset(row + full + 1, 0, bytes - full - 1);
    }
}

}  // namespace

JobOptions ParseJobOptions(const OptionLookup& lookup, int dpi) {
    JobOptions o;
    if (dpi <= 0) dpi = 203;
    const auto cut = lookup("PaperCut");
    if (Is(cut, "None")) o.cut = CutWhen::None;
    else if (Is(cut, "Page")) o.cut = CutWhen::EachPage;
    else if (Is(cut, "Job")) o.cut = CutWhen::Job;
    const auto kind = lookup("CutType");
    if (Is(kind, "Full")) o.cutKind = CutKind::Full;
    else if (Is(kind, "Partial")) o.cutKind = CutKind::Partial;
    const auto drawer = lookup("CashDrawer");
    if (Is(drawer, "None")) o.drawer = DrawerWhen::None;
    else if (Is(drawer, "Before")) o.drawer = DrawerWhen::Before;
    else if (Is(drawer, "After")) o.drawer = DrawerWhen::After;
    const auto pin = lookup("DrawerPin");
    if (Is(pin, "Pin2")) o.drawerPin = 2;
    else if (Is(pin, "Pin5")) o.drawerPin = 5;
    o.feedAfterDots = static_cast<int>(std::lround(5 * dpi / 25.4));
    if (const auto feed = lookup("FeedAfter"); feed && feed->size() > 2 && feed->ends_with("mm")) {
        const std::string number = feed->substr(0, feed->size() - 2);
        if (number.find_first_not_of("0123456789") == std::string::npos && number.size() <= 4) {
            o.feedAfterDots = static_cast<int>(std::lround(std::stoi(number) * dpi / 25.4));
        }
    }
    const auto blank = lookup("BlankRows");
    if (Is(blank, "Raster")) o.blankRowsAsFeed = false;
    else if (Is(blank, "Feed")) o.blankRowsAsFeed = true;
    const auto head = lookup("SkipBlankHead");
    if (Is(head, "False")) o.skipBlankHead = false;
    else if (Is(head, "True")) o.skipBlankHead = true;
    const auto tail = lookup("SkipBlankTail");
    if (Is(tail, "False")) o.skipBlankTail = false;
    else if (Is(tail, "True")) o.skipBlankTail = true;
    const auto gray = lookup("Dithering");
    if (Is(gray, "Threshold")) o.gray = GrayToBlack::Threshold;
    else if (Is(gray, "ErrorDiffusion")) o.gray = GrayToBlack::ErrorDiffusion;
    return o;
}

ReceiptWriter::ReceiptWriter(ByteSink& out, const JobOptions& options, unsigned headDots, unsigned bandRows)
    : out_(out), options_(options), headBytes_(std::max(1u, headDots / 8)), bandRows_(std::clamp(bandRows, 1u, 4096u)) {
    row_.resize(headBytes_);
    band_.resize(static_cast<std::size_t>(headBytes_) * bandRows_);
    packet_.reserve(band_.size() + 8);
}

bool ReceiptWriter::Put(std::span<const std::uint8_t> bytes) {
    if (failed_) return false;
    if (!out_.Write(bytes)) failed_ = true;
    return !failed_;
}

bool ReceiptWriter::StartJob() {
    const std::uint8_t init[] = {kEsc, '@'};
    if (!Put(init)) return false;
    return options_.drawer == DrawerWhen::Before ? DrawerPulse() : true;
}

bool ReceiptWriter::StartPage(const PageFormat& page) {
    if (pageCutPending_) {
        pageCutPending_ = false;
        if (!Cut()) return false;
    }
    page_ = page;
    const unsigned head = headBytes_ * 8;
    printedColumns_ = page.width > page.leftOffset ? std::min(head, page.width - page.leftOffset) : 0;
    bandCount_ = bandWidth_ = 0;
    pendingBlank_ = 0;
    pageInked_ = false;
    clippedInk_ = false;
    rasterRows_ = fedRows_ = 0;
    errorRow_.assign(2 * (static_cast<std::size_t>(printedColumns_) + 2), 0);
    errorFlip_ = false;
    return !failed_;
}

void ReceiptWriter::Extract1(const std::uint8_t* in) {
    const bool invert = page_.format == PixelFormat::White1;
    const unsigned shift = page_.leftOffset % 8;
    const unsigned first = page_.leftOffset / 8;
    const unsigned bytes = (printedColumns_ + 7) / 8;
    std::uint8_t* row = row_.data();
    if (shift == 0) {
        std::memcpy(row, in + first, bytes);
    } else {
        const unsigned last = page_.bytesPerLine;
        for (unsigned i = 0; i < bytes; ++i) {
            const unsigned at = first + i;
            const unsigned hi = in[at];
            const unsigned lo = at + 1 < last ? in[at + 1] : 0u;
            row[i] = static_cast<std::uint8_t>((hi << shift) | (lo >> (8 - shift)));
        }
    }
    if (invert) {
        for (unsigned i = 0; i < bytes; ++i) row[i] = static_cast<std::uint8_t>(~row[i]);
    }
    MaskTail(row, printedColumns_, headBytes_);

    // Ink the head cannot print: columns left of the offset and right of the head.
    if (!clippedInk_ && (page_.leftOffset > 0 || page_.width > page_.leftOffset + printedColumns_)) {
        const std::uint8_t blank = invert ? 0xFF : 0x00;
        auto inkIn = [&](unsigned from, unsigned to) {  // columns [from, to)
            for (unsigned x = from; x < to; ++x) {
                const bool bit = (in[x / 8] >> (7 - x % 8)) & 1u;
                if (bit != (blank != 0)) return true;
            }
            return false;
        };
        clippedInk_ = inkIn(0, std::min(page_.leftOffset, page_.width)) ||
                      inkIn(page_.leftOffset + printedColumns_, page_.width);
    }
}

void ReceiptWriter::Threshold8(const std::uint8_t* in) {
    // Ink from mid-gray on: the top bit of the value (of its inverse for white-is-255).
    const unsigned flip = page_.format == PixelFormat::White8 ? 1u : 0u;
    const std::uint8_t* px = in + page_.leftOffset;
    std::uint8_t* row = row_.data();
    const unsigned whole = printedColumns_ / 8;
    for (unsigned b = 0; b < whole; ++b) {
        const std::uint8_t* p = px + 8 * b;
        unsigned bits = 0;
        for (unsigned i = 0; i < 8; ++i) bits |= ((p[i] >> 7) ^ flip) << (7 - i);
        row[b] = static_cast<std::uint8_t>(bits);
    }
    if (printedColumns_ & 7) {
        unsigned bits = 0;
        for (unsigned i = 0; i < (printedColumns_ & 7); ++i) bits |= ((px[8 * whole + i] >> 7) ^ flip) << (7 - i);
        row[whole] = static_cast<std::uint8_t>(bits);
    }
    MaskTail(row, printedColumns_, headBytes_);
}

// Floyd-Steinberg: 7/16 of a pixel's error to the right, 3/16, 5/16 and 1/16
// to the row below (left, under, right). Plain paper and full ink are printed
// as they are and take no error, so text stays crisp beside a picture and the
// paper after it stays clean; runs of eight of them (most of a receipt) go a
// byte at a time.
void ReceiptWriter::Dither8(const std::uint8_t* in) {
    const bool invert = page_.format == PixelFormat::White8;
    const std::uint8_t* px = in + page_.leftOffset;
    const std::size_t stride = printedColumns_ + 2;
    int* cur = errorRow_.data() + (errorFlip_ ? stride : 0);
    int* next = errorRow_.data() + (errorFlip_ ? 0 : stride);
    std::uint8_t* row = row_.data();
    unsigned acc = 0;
    int right = 0;
    for (unsigned x = 0; x < printedColumns_; ++x) {
        const std::uint8_t value = px[x];
        if (value == 0x00 || value == 0xFF) {
            if ((x & 7) == 0 && x + 8 <= printedColumns_) {
                std::uint64_t eight;
                std::memcpy(&eight, px + x, 8);
                if (eight == 0 || eight == ~std::uint64_t{0}) {
                    row[x >> 3] = (value == 0xFF) != invert ? 0xFF : 0x00;
                    std::memset(cur + x + 1, 0, 8 * sizeof(int));
                    right = 0;
                    x += 7;
                    continue;
                }
            }
            cur[x + 1] = 0;
            right = 0;
            acc = (acc << 1) | ((value == 0xFF) != invert ? 1u : 0u);
        } else {
            const int ink = invert ? 255 - value : value;
            const int v = ink + cur[x + 1] + right;
            cur[x + 1] = 0;
            const unsigned dot = v >= 128 ? 1u : 0u;
            const int e = v - (dot ? 255 : 0);
            const int e7 = e * 7 / 16, e3 = e * 3 / 16, e5 = e * 5 / 16;
            right = e7;
            next[x] += e3;
            next[x + 1] += e5;
            next[x + 2] += e - e7 - e3 - e5;
            acc = (acc << 1) | dot;
        }
        if ((x & 7) == 7) row[x >> 3] = static_cast<std::uint8_t>(acc);
    }
    if (printedColumns_ & 7) row[printedColumns_ >> 3] = static_cast<std::uint8_t>(acc << (8 - (printedColumns_ & 7)));
    MaskTail(row, printedColumns_, headBytes_);
    // The row just filled becomes the current one; the old one (zero again) the next.
    cur[0] = cur[stride - 1] = 0;
    errorFlip_ = !errorFlip_;
}

void ReceiptWriter::ConvertRow(const std::uint8_t* in) {
    switch (page_.format) {
        case PixelFormat::Ink1:
        case PixelFormat::White1:
            Extract1(in);
            return;
        case PixelFormat::Ink8:
        case PixelFormat::White8:
            if (options_.gray == GrayToBlack::Threshold) Threshold8(in);
            else Dither8(in);
            if (!clippedInk_ && (page_.leftOffset > 0 || page_.width > page_.leftOffset + printedColumns_)) {
                const bool invert = page_.format == PixelFormat::White8;
                auto inkIn = [&](unsigned from, unsigned to) {
                    for (unsigned x = from; x < to; ++x)
                        if ((invert ? 255u - in[x] : in[x]) >= 128) return true;
                    return false;
                };
                clippedInk_ = inkIn(0, std::min(page_.leftOffset, page_.width)) ||
                              inkIn(page_.leftOffset + printedColumns_, page_.width);
            }
            return;
    }
}

bool ReceiptWriter::AddRow(const std::uint8_t* in) {
    if (failed_) return false;
    ConvertRow(in);
    // Width of the row's ink in bytes; 0 for a blank row.
    unsigned used = headBytes_;
    while (used > 0 && row_[used - 1] == 0) --used;
    if (used == 0) {
        ++pendingBlank_;
        return true;
    }
    // The page's blank head, when skipped, goes nowhere.
    if (pendingBlank_ > 0 && options_.skipBlankHead && !pageInked_) pendingBlank_ = 0;
    pageInked_ = true;
    // Short runs (or every run, without feeds) stay in the raster.
    if (pendingBlank_ > 0 &&
        !WriteBlankRows(options_.blankRowsAsFeed && (pendingBlank_ >= kMinFeedRun || bandCount_ == 0))) {
        return false;
    }
    std::memcpy(&band_[static_cast<std::size_t>(bandCount_) * headBytes_], row_.data(), headBytes_);
    bandWidth_ = std::max(bandWidth_, used);
    if (++bandCount_ == bandRows_) return FlushBand();
    return true;
}

bool ReceiptWriter::WriteBlankRows(bool asFeed) {
    const std::uint64_t rows = pendingBlank_;
    pendingBlank_ = 0;
    if (asFeed) return FlushBand() && Feed(rows);
    for (std::uint64_t r = 0; r < rows; ++r) {
        std::memset(&band_[static_cast<std::size_t>(bandCount_) * headBytes_], 0, headBytes_);
        if (++bandCount_ == bandRows_ && !FlushBand()) return false;
    }
    return !failed_;
}

bool ReceiptWriter::FlushBand() {
    if (bandCount_ == 0) return !failed_;
    const unsigned width = std::max(1u, bandWidth_);
    packet_.clear();
    packet_.insert(packet_.end(), {kGs, 'v', '0', 0, static_cast<std::uint8_t>(width & 0xFF),
                                   static_cast<std::uint8_t>(width >> 8), static_cast<std::uint8_t>(bandCount_ & 0xFF),
                                   static_cast<std::uint8_t>(bandCount_ >> 8)});
    for (unsigned r = 0; r < bandCount_; ++r) {
        const std::uint8_t* row = &band_[static_cast<std::size_t>(r) * headBytes_];
        packet_.insert(packet_.end(), row, row + width);
    }
    rasterRows_ += bandCount_;
    bandCount_ = bandWidth_ = 0;
    return Put(packet_);
}

bool ReceiptWriter::Feed(std::uint64_t dots) {
    fedRows_ += dots;
    std::vector<std::uint8_t> feeds;
    while (dots > 0) {
        const auto n = static_cast<std::uint8_t>(std::min<std::uint64_t>(dots, 255));
        feeds.insert(feeds.end(), {kEsc, 'J', n});
        dots -= n;
    }
    return feeds.empty() || Put(feeds);
}

bool ReceiptWriter::Cut() {
    // Function B: the printer feeds to its cutter, then cuts.
    const std::uint8_t cut[] = {kGs, 'V', static_cast<std::uint8_t>(options_.cutKind == CutKind::Full ? 65 : 66), 0};
    return Put(cut);
}

bool ReceiptWriter::DrawerPulse() {
    const std::uint8_t pulse[] = {kEsc, 'p', static_cast<std::uint8_t>(options_.drawerPin == 5 ? 1 : 0), kPulseOn,
                                  kPulseOff};
    return Put(pulse);
}

bool ReceiptWriter::EndPage() {
    if (!options_.skipBlankTail && pendingBlank_ > 0 && !WriteBlankRows(options_.blankRowsAsFeed)) return false;
    pendingBlank_ = 0;
    if (!FlushBand()) return false;
    if (options_.feedAfterDots > 0 && !Feed(static_cast<std::uint64_t>(options_.feedAfterDots))) return false;
    pagesDone_ = true;
    if (options_.cut == CutWhen::EachPage) pageCutPending_ = true;
    return !failed_;
}

bool ReceiptWriter::EndJob() {
    if (pagesDone_ && options_.drawer == DrawerWhen::After && !DrawerPulse()) return false;
    const bool cut = pageCutPending_ || (pagesDone_ && options_.cut == CutWhen::Job);
    pageCutPending_ = false;
    return cut ? Cut() : !failed_;
}

bool ReceiptWriter::Cancel() {
    pageCutPending_ = false;
    return FlushBand();
}

}  // namespace receipt
