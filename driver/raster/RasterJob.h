#pragma once
// A CUPS raster stream through the ReceiptWriter: the page loop of the filter,
// apart from where the bytes come from and go to, so that the filter and the
// benchmark run the same code.
#include <cups/raster.h>

#include <csignal>
#include <functional>
#include <string>

#include "driver/raster/ReceiptWriter.h"

namespace receipt {

struct RasterJobSettings {
    // Dots of the print head; 0: from the page width (HeadDotsForPaper).
    int headDots = 0;
    // The job's options by keyword (see ParseJobOptions).
    OptionLookup options = [](std::string_view) { return std::optional<std::string>(); };
    // Set (by a signal handler) when the job is cancelled; checked after every row.
    const volatile std::sig_atomic_t* cancelled = nullptr;
    // One line for the CUPS log, with its prefix ("INFO: ...", "WARNING: ...").
    std::function<void(const std::string&)> log = [](const std::string&) {};
};

enum class RasterJobResult {
    Printed,    // every page went out
    Cancelled,  // stopped after a whole band
    NoPages,    // the stream held no page
    BadRaster,  // a page of a format the driver does not take, or data that end inside a page
    OutputFailed,
};

// The pixel format of a page header, if the driver takes it (1 or 8 bits, one
// colour: black, white or sGray, chunked).
std::optional<PixelFormat> PixelFormatOf(const cups_page_header2_t& header);

RasterJobResult RunRasterJob(cups_raster_t* raster, const RasterJobSettings& settings, ByteSink& out);

}  // namespace receipt
