#pragma once
// What the receipt drivers do with a job, a status request, an identify
// request and a test page. Raster pages go through receipt::ReceiptWriter,
// so a page comes out as the same bytes rastertoreceipt makes of it; files
// in the printer's own command language (kRawFormat) go out as they are.
#include <pappl/pappl.h>

#include <cstdint>
#include <string>
#include <vector>

#include <cups/raster.h>

namespace printer_app {

// The printers' native format: ESC/POS command streams, printed raw.
inline constexpr const char* kRawFormat = "application/vnd.escpos";

bool StartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool WriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
               const unsigned char* line);
bool EndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool EndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
// The MIME filter of PWG and Apple raster documents: the document's pages
// with their own headers through receipt::RunRasterJob, the raster driver's
// page loop. (PAPPL's own raster path hands the driver the document's rows
// under a page header of its own making, which need not describe them.)
bool PrintRasterStream(pappl_job_t* job, pappl_device_t* device, void* data);
// The MIME filters of PNG and JPEG pictures: read to gray with white behind
// any transparency, narrowed to the head's width when wider (never widened),
// centred, and printed through the receipt encoder with the job's options.
// (PAPPL 1.3's own picture path reads gray PNGs of fewer than 8 bits and gray
// with alpha as solid black, turns pictures wider than tall sideways and
// enlarges them to the paper.)
bool PrintPngPicture(pappl_job_t* job, pappl_device_t* device, void* data);
bool PrintJpegPicture(pappl_job_t* job, pappl_device_t* device, void* data);
bool PrintRawFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool UpdateStatus(pappl_printer_t* printer);
// The system timer (every second) that asks idle printers how they are
// while clients watch them. PAPPL asks a printer from Get-Printer-Attributes
// only when two whole seconds have passed since it last asked; for 5 s after
// it asked, this keeps the reasons within about a second of the printer. A
// printer nobody asks about is not asked, and one whose last answer took
// longer than a moment (gone, or silent) is left to PAPPL's own asking, so
// that the system's loop never waits for it every second.
bool RefreshIdlePrinters(pappl_system_t* system, void* data);
void Identify(pappl_printer_t* printer, pappl_identify_actions_t actions, const char* message);
const char* TestPage(pappl_printer_t* printer, char* buffer, std::size_t size);

// The first input column under the head's first dot: the raster driver's
// reading of the header's imageable area, and for a page wider than the head
// whose header tells none (PWG raster has no field for it), the media's left
// margin, where the head's first dot sits on the roll.
unsigned LeftOffsetFor(const cups_page_header2_t& header, unsigned headDots, int leftMarginHundredthsMm);

// "media-empty, cover-open"; "ready" for none.
std::string ReasonsText(pappl_preason_t reasons);

// The ESC/POS text of a line for the printer: printable ASCII kept, other
// bytes (UTF-8 of a name) as '?', so no byte can be read as a command.
std::string PrintableLine(const std::string& text);

// The test page in ESC/POS, printed in the printer's own font.
struct TestPageFacts {
    std::string printer, driver, deviceUri, status;
    int paperMm = 80, headDots = 576, dpi = 203;
};
std::vector<std::uint8_t> TestPageBytes(const TestPageFacts& facts);

}  // namespace printer_app
