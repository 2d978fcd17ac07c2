#include "receipt/RasterJob.h"

#include <cmath>
#include <memory>

#include "protocol/HeadWidth.h"

namespace receipt {
namespace {

std::string Text(const char* format, auto... values) {
    char line[256];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

int HeadDotsFor(const cups_page_header2_t& h, int configured) {
    if (configured > 0) return configured;
    const double paperMm = h.PageSize[0] * 25.4 / 72.0;
    return protocol::HeadDotsForPaper(static_cast<int>(std::lround(paperMm)), static_cast<int>(h.HWResolution[0]));
}

// Dots in `mm` millimetres at `dpi`.
std::uint64_t DotsIn(unsigned mm, unsigned dpi) { return static_cast<std::uint64_t>(mm) * dpi * 10 / 254; }

}  // namespace

unsigned LeftOffsetOf(const cups_page_header2_t& h) {
    const double points = h.cupsImagingBBox[0] > 0 ? h.cupsImagingBBox[0] : h.ImagingBoundingBox[0];
    const double res = h.HWResolution[0];
    if (points <= 0 || res <= 0) return 0;
    const double pagePoints = h.cupsPageSize[0] > 0 ? h.cupsPageSize[0] : h.PageSize[0];
    if (std::abs(h.cupsWidth - pagePoints * res / 72.0) > 4) return 0;
    return static_cast<unsigned>(std::lround(points * res / 72.0));
}

std::optional<std::string> OutOfBounds(const cups_page_header2_t& h) {
    const unsigned xdpi = h.HWResolution[0], ydpi = h.HWResolution[1];
    if (xdpi < kMinDpi || xdpi > kMaxDpi || ydpi < kMinDpi || ydpi > kMaxDpi) {
        return Text("a resolution of %u x %u dpi (a receipt printer has %u to %u dpi)", xdpi, ydpi, kMinDpi, kMaxDpi);
    }
    if (h.cupsWidth > DotsIn(kMaxPageWidthMm, xdpi)) {
        return Text("%u dots wide at %u dpi (a receipt is at most %u mm wide)", h.cupsWidth, xdpi, kMaxPageWidthMm);
    }
    if (h.cupsHeight > DotsIn(kMaxPageLengthMm, ydpi)) {
        return Text("%u rows long at %u dpi (a receipt page is at most %u mm long)", h.cupsHeight, ydpi,
                    kMaxPageLengthMm);
    }
    // Rows of at most 8 bits a pixel: one byte a dot of the widest page.
    if (h.cupsBytesPerLine > DotsIn(kMaxPageWidthMm, xdpi)) {
        return Text("%u bytes per row (a receipt row has at most %llu)", h.cupsBytesPerLine,
                    static_cast<unsigned long long>(DotsIn(kMaxPageWidthMm, xdpi)));
    }
    return std::nullopt;
}

std::optional<PixelFormat> PixelFormatOf(const cups_page_header2_t& h) {
    if (h.cupsColorOrder != CUPS_ORDER_CHUNKED || h.cupsBitsPerColor != h.cupsBitsPerPixel) return std::nullopt;
    const bool ink = h.cupsColorSpace == CUPS_CSPACE_K;
    const bool white = h.cupsColorSpace == CUPS_CSPACE_W || h.cupsColorSpace == CUPS_CSPACE_SW;
    if (!ink && !white) return std::nullopt;
    if (h.cupsBitsPerColor == 1) return ink ? PixelFormat::Ink1 : PixelFormat::White1;
    if (h.cupsBitsPerColor == 8) return ink ? PixelFormat::Ink8 : PixelFormat::White8;
    return std::nullopt;
}

RasterJobResult RunRasterJob(cups_raster_t* raster, const RasterJobSettings& settings, ByteSink& out) {
    auto cancelled = [&] { return settings.cancelled != nullptr && *settings.cancelled != 0; };
    std::unique_ptr<ReceiptWriter> writer;
    std::vector<std::uint8_t> row;
    cups_page_header2_t h;
    unsigned page = 0;
    bool read = false;
    for (;;) {
        if (cancelled()) break;
        if (settings.input) settings.input->Mark();
        read = cupsRasterReadHeader2(raster, &h) != 0;
        if (settings.input && page == 0) settings.input->headerRequest = settings.input->firstRequest;
        if (!read) break;
        ++page;
        if (const auto why = OutOfBounds(h)) {
            settings.log(Text("ERROR: Page %u is not one a receipt printer can print: %s", page, why->c_str()));
            if (writer) writer->Cancel();
            return RasterJobResult::BadRaster;
        }
        const auto format = PixelFormatOf(h);
        const std::uint64_t minBytes = (static_cast<std::uint64_t>(h.cupsWidth) * h.cupsBitsPerPixel + 7) / 8;
        if (!format || h.cupsBytesPerLine < minBytes || h.cupsWidth == 0) {
            settings.log(Text("ERROR: Page %u: unsupported raster data (colour space %u, %u bits per pixel, %u bytes "
                              "per line for %u pixels)",
                              page, h.cupsColorSpace, h.cupsBitsPerPixel, h.cupsBytesPerLine, h.cupsWidth));
            if (writer) writer->Cancel();
            return RasterJobResult::BadRaster;
        }
        if (!writer) {
            const int dpi = h.HWResolution[1] > 0 ? static_cast<int>(h.HWResolution[1]) : 203;
            const int head = HeadDotsFor(h, settings.headDots);
            writer = std::make_unique<ReceiptWriter>(out, ParseJobOptions(settings.options, dpi),
                                                     static_cast<unsigned>(head));
            settings.log(Text("DEBUG: Print head %d dots, %d dpi", head, dpi));
            if (!writer->StartJob()) return RasterJobResult::OutputFailed;
        }
        settings.log(Text("PAGE: %u %u", page, h.NumCopies > 0 ? h.NumCopies : 1u));
        settings.log(Text("DEBUG: Page %u: %u x %u pixels, %u bits, colour space %u, imageable area from %.2f points",
                          page, h.cupsWidth, h.cupsHeight, h.cupsBitsPerPixel, h.cupsColorSpace,
                          static_cast<double>(h.cupsImagingBBox[0])));
        PageFormat pf;
        pf.width = h.cupsWidth;
        pf.bytesPerLine = h.cupsBytesPerLine;
        pf.format = *format;
        pf.leftOffset = LeftOffsetOf(h);
        if (!writer->StartPage(pf)) return RasterJobResult::OutputFailed;
        row.resize(h.cupsBytesPerLine);
        for (unsigned y = 0; y < h.cupsHeight; ++y) {
            if (cupsRasterReadPixels(raster, row.data(), h.cupsBytesPerLine) != h.cupsBytesPerLine) {
                if (cancelled()) break;
                settings.log(Text("ERROR: Page %u: the raster data end at row %u of %u", page, y, h.cupsHeight));
                writer->Cancel();
                return RasterJobResult::BadRaster;
            }
            if (!writer->AddRow(row.data())) return RasterJobResult::OutputFailed;
            if (cancelled()) break;
        }
        if (cancelled()) break;
        if (!writer->EndPage()) return RasterJobResult::OutputFailed;
        if (writer->ClippedInk()) {
            settings.log(Text("WARNING: Page %u is wider than the print head: it is %u dots wide, the head prints "
                              "%u from column %u; the ink outside is cut off",
                              page, h.cupsWidth, writer->HeadDots(), pf.leftOffset));
        }
        settings.log(Text("DEBUG: Page %u: %llu rows printed, %llu fed", page,
                          static_cast<unsigned long long>(writer->RasterRows()),
                          static_cast<unsigned long long>(writer->FedRows())));
    }
    if (cancelled()) {
        if (writer && !writer->Cancel()) return RasterJobResult::OutputFailed;
        settings.log("INFO: Job cancelled");
        return RasterJobResult::Cancelled;
    }
    // The stream ends where no header follows: cleanly when the library asked
    // the input for a whole header and got nothing. Anything else (a read for
    // less, bytes delivered, or none at all as the library failed on bytes it
    // held) is data that are no page: a header cut short, bytes after the last page.
    if (!read && writer && settings.input) {
        const InputTally& in = *settings.input;
        if (in.delivered > 0 || in.firstRequest != in.headerRequest) {
            settings.log(Text("WARNING: The input goes on after page %u with data that are no page (a page header "
                              "cut short, or bytes after the last page); they are not printed",
                              page));
        }
    }
    if (!writer) return RasterJobResult::NoPages;
    return writer->EndJob() ? RasterJobResult::Printed : RasterJobResult::OutputFailed;
}

}  // namespace receipt
