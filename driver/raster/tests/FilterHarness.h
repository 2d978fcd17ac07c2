#pragma once
// Test support for the raster driver: CUPS raster files made in the test, the
// filter program run on them, and printer-sim rendering what it writes.
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/Png.h"
#include "sim/testing/SimProcess.h"

namespace drivertest {

using Bytes = std::vector<std::uint8_t>;

// One page of a raster made in the test: `ink(x, y)` is the darkness of a
// pixel, 0 (paper) to 255 (black).
struct TestPage {
    unsigned width = 576;
    unsigned height = 100;
    unsigned bits = 1;                       // 1 or 8
    cups_cspace_t space = CUPS_CSPACE_K;     // K: 1 = ink; W / SW: 1 = white
    float leftMarginPoints = 0;              // the imageable area's left edge
    std::function<unsigned(unsigned x, unsigned y)> ink;
};

// The raster stream of the pages (compressed, as CUPS's own filters write it).
Bytes MakeRaster(const std::vector<TestPage>& pages);
// The pages written in `mode`: each header holds what every test page has
// (203 dpi, its size and bits, one colour, one copy) and then what `adjust`
// sets; then the page's rows.
Bytes WriteTestRaster(const std::vector<TestPage>& pages, cups_mode_t mode,
                      const std::function<void(cups_page_header2_t&, const TestPage&)>& adjust);
// Writes the page's rows under `header` (written already): 8 bits a dot or
// 1, ink or white as the header's colour space says.
void WritePageRows(cups_raster_t* raster, const TestPage& page, const cups_page_header2_t& header);

struct FilterRun {
    int status = -1;        // exit status; -1 when it did not exit normally
    Bytes output;           // stdout: the ESC/POS stream
    std::string log;        // stderr: the CUPS log lines
};

// The PPD the installer writes for a model row ("POS80", 800 tenths of a
// millimetre), in a temporary file that lives as long as the test program.
std::string ModelPpd(const std::string& model, int widthTenthsMm);
inline std::string Pos80Ppd() { return ModelPpd("POS80", 800); }

// rastertoreceipt running with pipes on stdin and stdout and its log in a file.
class FilterProcess {
public:
    FilterProcess(const std::string& options, const std::string& ppd = Pos80Ppd());
    ~FilterProcess();
    bool ok() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    int Input() const { return in_; }     // write end of its stdin
    int Output() const { return out_; }   // read end of its stdout
    void CloseInput();
    // Waits for the exit (SIGKILL after `timeout`); the exit status, -1 when killed.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::string Log() const;

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string logPath_;
};


// Runs rastertoreceipt with the raster on stdin. `options` is the job's option
// string ("PaperCut=Page CashDrawer=After"); `ppd` the PPD file (none when empty).
FilterRun RunFilter(const Bytes& raster, const std::string& options, const std::string& ppd = Pos80Ppd());

// Runs a shell command; what it printed (stdout and stderr) and its exit status.
std::string Shell(const std::string& command, int* status);

// Starts a private cupsd in `tree` (scripts/private-cupsd.sh is `script`,
// `options` its further options) and points libcups and the programs this
// process starts at it (CUPS_SERVER). False, with what the script said in
// `said`, when it did not start.
bool StartPrivateCupsd(const std::string& script, const std::string& tree, const std::string& options,
                       std::string* said);

// Stops the private cupsd of `tree` (scripts/private-cupsd.sh is `script`)
// and removes the tree, unless KEEP_CUPS_TREE is set.
void StopPrivateCupsd(const std::string& script, const std::string& tree);

// The filter program of this build.
std::string FilterProgram();

// printer-sim with receipts rendered into TempDir()/receipts.
struct RenderedJob {
    std::vector<std::string> messages;      // printer-sim's decoded lines
    std::vector<sim::Bitmap> receipts;      // receipt-0001.png ...
};
RenderedJob RenderOnPrinter(const Bytes& escpos, unsigned headDots = 576);

// The expected receipt of pages printed with the head's columns [0, headDots)
// taken from the page from `offset` on, dark where ink >= 128.
sim::Bitmap Expected(const TestPage& page, unsigned headDots, unsigned rows, unsigned offset = 0);

// A one-page PDF of 80 x 210 mm: a title line "RECEIPT 42" and a black box
// 40 x 20 mm whose corners are (56.7, 57.6) and (170.1, 114.3) points from the top left.
std::string ReceiptPdf();
// An A4 page (210 x 297 mm) with lines of text from its top margin down.
std::string A4Pdf();
// A one-page PDF of 80 x 300 mm, longer than the model's 210 mm form.
std::string LongReceiptPdf();

// The receipts the PDF above and the PNG below make on an 80 mm printer: the
// PDF's box solid where it belongs with paper beside it, its title, no blank
// page tail, and no blank head unless `headRows` (the page's rows above the
// title) were kept; the PNG's square solid and square. Failures are the test's.
inline constexpr unsigned kPdfHeadRows = 105;
void CheckPdfReceipt(const sim::Bitmap& receipt, unsigned headRows = 0);
void CheckSquareReceipt(const sim::Bitmap& receipt);

// A PNG picture: a black square (120 dots) in the middle of white (240 dots).
bool WriteSquarePng(const std::string& path, std::string* error);

// Waits up to 90 s for printer-sim's receipt `number` ("receipt N: ..." in
// `line`) and reads its PNG. A miss fails the test with the tail of `log`.
std::optional<sim::Bitmap> WaitForReceipt(const simtest::SimProcess& printer, unsigned number, std::string* line,
                                          const std::string& log);

// Dots of ink in columns [x0, x1) and rows [y0, y1) of a receipt.
unsigned InkIn(const sim::Bitmap& b, unsigned x0, unsigned x1, unsigned y0, unsigned y1);
// The smallest box [left, right) x [top, bottom) that holds all of a
// receipt's ink; left >= right when there is none.
struct InkBox {
    unsigned left, right, top, bottom;
};
InkBox InkBounds(const sim::Bitmap& b);

// Equal size and dots; a mismatch names the first differing dot.
::testing::AssertionResult SameBitmap(const sim::Bitmap& expected, const sim::Bitmap& actual);

}  // namespace drivertest
