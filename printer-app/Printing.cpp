#include "printer-app/Printing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "printer-app/Devices.h"
#include "printer-app/Drivers.h"
#include "printer-app/JobSettings.h"
#include "printer-app/Picture.h"
#include "receipt/RasterJob.h"
#include "receipt/ReceiptWriter.h"

namespace printer_app {
namespace {

constexpr std::uint8_t kEsc = 0x1B, kGs = 0x1D;

class DeviceSink final : public receipt::ByteSink {
public:
    explicit DeviceSink(pappl_device_t* device) : device_(device) {}
    bool Write(std::span<const std::uint8_t> bytes) override {
        return bytes.empty() || papplDeviceWrite(device_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

private:
    pappl_device_t* device_;
};

// What a raster job keeps between its callbacks.
struct RasterJobState {
    explicit RasterJobState(pappl_device_t* device) : sink(device) {}
    DeviceSink sink;
    std::unique_ptr<receipt::ReceiptWriter> writer;
    unsigned headDots = 576;
    bool pageOpen = false;
    bool cancelled = false;  // the writer has been told; nothing more goes out
};

RasterJobState* StateOf(pappl_job_t* job) { return static_cast<RasterJobState*>(papplJobGetData(job)); }

unsigned HeadDotsOf(pappl_printer_t* printer) {
    const char* name = papplPrinterGetDriverName(printer);
    const auto driver = DriverNamed(name ? name : "");
    return static_cast<unsigned>(driver ? driver->headDots : DriverNamed("receipt_80mm")->headDots);
}

// The job's device shows the printer's condition on the job's printer while
// a write waits, and gives up the wait when the job is cancelled.
void HookUp(pappl_job_t* job, pappl_device_t* device) {
    pappl_printer_t* printer = papplJobGetPrinter(job);
    JobHooks hooks;
    hooks.condition = [printer](pappl_preason_t add, pappl_preason_t remove) {
        papplPrinterSetReasons(printer, add, remove);
    };
    hooks.cancelled = [job] { return papplJobIsCanceled(job); };
    SetJobHooks(device, std::move(hooks));
}

// Stops the job's output after the band being written, once.
bool CancelOutput(RasterJobState& state) {
    if (state.cancelled) return true;
    state.cancelled = true;
    return state.writer ? state.writer->Cancel() : true;
}

bool Put(pappl_device_t* device, const std::vector<std::uint8_t>& bytes) {
    const bool ok = papplDeviceWrite(device, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    papplDeviceFlush(device);
    return ok;
}

// A raster job's output: the device, and the job's cancel seen at each band,
// for the page loop's flag (it stops after the band it is writing).
class RasterStreamSink final : public receipt::ByteSink {
public:
    RasterStreamSink(pappl_job_t* job, pappl_device_t* device) : job_(job), device_(device) {}
    bool Write(std::span<const std::uint8_t> bytes) override {
        if (papplJobIsCanceled(job_)) cancelled = 1;
        return bytes.empty() ||
               papplDeviceWrite(device_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    volatile std::sig_atomic_t cancelled = 0;

private:
    pappl_job_t* job_;
    pappl_device_t* device_;
};

ssize_t ReadFd(void* context, unsigned char* buffer, std::size_t length) {
    const int fd = *static_cast<int*>(context);
    for (;;) {
        const ssize_t n = ::read(fd, buffer, length);
        if (n >= 0 || errno != EINTR) return n;
    }
}

// The page loop's log lines ("ERROR: ...", "PAGE: n copies") in the job's log.
void LogRasterLine(pappl_job_t* job, const std::string& line) {
    static const std::pair<const char*, pappl_loglevel_t> levels[] = {
        {"ERROR: ", PAPPL_LOGLEVEL_ERROR}, {"WARNING: ", PAPPL_LOGLEVEL_WARN},
        {"INFO: ", PAPPL_LOGLEVEL_INFO},   {"DEBUG: ", PAPPL_LOGLEVEL_DEBUG}};
    if (line.rfind("PAGE: ", 0) == 0) {
        papplJobSetImpressionsCompleted(job, 1);
        return;
    }
    for (const auto& [prefix, level] : levels) {
        if (line.rfind(prefix, 0) == 0) {
            papplLogJob(job, level, "%s", line.c_str() + std::strlen(prefix));
            if (level == PAPPL_LOGLEVEL_ERROR) papplJobSetMessage(job, "%s", line.c_str() + std::strlen(prefix));
            return;
        }
    }
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "%s", line.c_str());
}

}  // namespace

bool PrintRasterStream(pappl_job_t* job, pappl_device_t* device, void*) {
    const int fd = ::open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open the job file: %s", std::strerror(errno));
        return false;
    }
    int input = fd;
    cups_raster_t* raster = cupsRasterOpenIO(ReadFd, &input, CUPS_RASTER_READ);
    if (!raster) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The document holds no raster data");
        ::close(fd);
        return false;
    }
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, INT_MAX, false);
    RasterStreamSink sink(job, device);
    receipt::RasterJobSettings settings;
    settings.headDots = static_cast<int>(HeadDotsOf(papplJobGetPrinter(job)));
    settings.options = LookupOf(VendorOptionsOf(*options, papplJobGetPrinter(job)), options->print_content_optimize);
    settings.cancelled = &sink.cancelled;
    settings.log = [job](const std::string& line) { LogRasterLine(job, line); };
    HookUp(job, device);
    const receipt::RasterJobResult result = receipt::RunRasterJob(raster, settings, sink);
    papplDeviceFlush(device);
    SetJobHooks(device, {});
    papplJobDeletePrintOptions(options);
    cupsRasterClose(raster);
    ::close(fd);
    switch (result) {
        case receipt::RasterJobResult::Printed:
        case receipt::RasterJobResult::Cancelled:
            return true;
        case receipt::RasterJobResult::NoPages:
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "No pages found");
            return false;
        case receipt::RasterJobResult::OutputFailed:
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the print data");
            return false;
        case receipt::RasterJobResult::BadRaster:
            return false;
    }
    return false;
}

namespace {

bool PrintPicture(pappl_job_t* job, pappl_device_t* device, const char* kind,
                  std::optional<GrayPicture> (*read)(const std::string&, std::string*)) {
    std::string error;
    auto picture = read(papplJobGetFilename(job), &error);
    if (!picture) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", error.c_str());
        papplJobSetMessage(job, "%s", error.c_str());
        return false;
    }
    pappl_printer_t* printer = papplJobGetPrinter(job);
    const unsigned headDots = HeadDotsOf(printer);
    const unsigned sourceWidth = picture->width, sourceHeight = picture->height;
    *picture = FitToWidth(*picture, headDots);
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, false);
    const int copies = std::max(1, options->copies);
    const receipt::JobOptions jobOptions = JobOptionsOf(*options, printer, kDpi);
    papplJobDeletePrintOptions(options);
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "%s picture of %u x %u pixels printed as %u x %u dots, %s, %d copies",
                kind, sourceWidth, sourceHeight, picture->width, picture->height,
                jobOptions.gray == receipt::GrayToBlack::Threshold ? "threshold" : "error diffusion", copies);
    papplJobSetImpressions(job, copies);

    // Each page is as wide as the head, the picture in its middle on white.
    RasterJobState state(device);
    state.headDots = headDots;
    state.writer = std::make_unique<receipt::ReceiptWriter>(state.sink, jobOptions, headDots);
    receipt::PageFormat page;
    page.width = page.bytesPerLine = headDots;
    page.format = receipt::PixelFormat::White8;
    const unsigned left = (headDots - picture->width) / 2;
    std::vector<std::uint8_t> row(headDots, 255);
    HookUp(job, device);
    bool ok = state.writer->StartJob();
    for (int copy = 0; ok && copy < copies && !state.cancelled; ++copy) {
        ok = state.writer->StartPage(page);
        for (unsigned y = 0; ok && y < picture->height; ++y) {
            if (papplJobIsCanceled(job)) {
                ok = CancelOutput(state);
                break;
            }
            std::copy_n(&picture->pixels[static_cast<std::size_t>(y) * picture->width], picture->width,
                        row.begin() + left);
            ok = state.writer->AddRow(row.data());
        }
        if (ok && !state.cancelled) {
            ok = state.writer->EndPage();
            if (ok) papplJobSetImpressionsCompleted(job, 1);
        }
    }
    if (ok && !state.cancelled) ok = papplJobIsCanceled(job) ? CancelOutput(state) : state.writer->EndJob();
    papplDeviceFlush(device);
    SetJobHooks(device, {});
    if (!ok && !state.cancelled) papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the print data");
    return ok;
}

}  // namespace

bool PrintPngPicture(pappl_job_t* job, pappl_device_t* device, void*) {
    return PrintPicture(job, device, "PNG", ReadPngPicture);
}

bool PrintJpegPicture(pappl_job_t* job, pappl_device_t* device, void*) {
    return PrintPicture(job, device, "JPEG", ReadJpegPicture);
}

unsigned LeftOffsetFor(const cups_page_header2_t& header, unsigned headDots, int leftMarginHundredthsMm) {
    const unsigned offset = receipt::LeftOffsetOf(header);
    if (offset > 0 || header.cupsWidth <= headDots || leftMarginHundredthsMm <= 0) return offset;
    // The raster driver's reading of an imageable area that starts at the margin.
    const unsigned margin = static_cast<unsigned>(std::lround(leftMarginHundredthsMm / 2540.0 * header.HWResolution[0]));
    return std::min(margin, header.cupsWidth - headDots);
}

bool StartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
    auto state = std::make_unique<RasterJobState>(device);
    state->headDots = HeadDotsOf(papplJobGetPrinter(job));
    const int dpi = options->header.HWResolution[1] > 0 ? static_cast<int>(options->header.HWResolution[1]) : kDpi;
    const receipt::JobOptions jobOptions = JobOptionsOf(*options, papplJobGetPrinter(job), dpi);
    state->writer = std::make_unique<receipt::ReceiptWriter>(state->sink, jobOptions, state->headDots);
    HookUp(job, device);
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Print head %u dots, %d dpi; cut %d/%d, drawer %d pin %d, feed %d dots, %s",
                state->headDots, dpi, static_cast<int>(jobOptions.cut), static_cast<int>(jobOptions.cutKind),
                static_cast<int>(jobOptions.drawer), jobOptions.drawerPin, jobOptions.feedAfterDots,
                jobOptions.gray == receipt::GrayToBlack::Threshold ? "threshold" : "error diffusion");
    const bool ok = state->writer->StartJob();
    papplJobSetData(job, state.release());
    return ok;
}

bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned page) {
    RasterJobState* state = StateOf(job);
    if (!state) return false;
    const cups_page_header2_t& h = options->header;
    if (const auto why = receipt::OutOfBounds(h)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u is not one a receipt printer can print: %s", page + 1,
                    why->c_str());
        CancelOutput(*state);
        return false;
    }
    const auto format = receipt::PixelFormatOf(h);
    const std::uint64_t minBytes = (static_cast<std::uint64_t>(h.cupsWidth) * h.cupsBitsPerPixel + 7) / 8;
    if (!format || h.cupsWidth == 0 || h.cupsBytesPerLine < minBytes) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR,
                    "Page %u: unsupported raster data (colour space %u, %u bits per pixel, %u bytes per line)",
                    page + 1, h.cupsColorSpace, h.cupsBitsPerPixel, h.cupsBytesPerLine);
        CancelOutput(*state);
        return false;
    }
    receipt::PageFormat pf;
    pf.width = h.cupsWidth;
    pf.bytesPerLine = h.cupsBytesPerLine;
    pf.format = *format;
    pf.leftOffset = LeftOffsetFor(h, state->headDots, options->media.left_margin);
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG,
                "Page %u: %u x %u pixels, %u bits, colour space %u, from column %u (bbox %g/%u, page %g/%u)", page, h.cupsWidth, h.cupsHeight, h.cupsBitsPerPixel, h.cupsColorSpace, pf.leftOffset,
                static_cast<double>(h.cupsImagingBBox[0]), h.ImagingBoundingBox[0], static_cast<double>(h.cupsPageSize[0]),
                h.PageSize[0]);
    state->pageOpen = state->writer->StartPage(pf);
    return state->pageOpen;
}

bool WriteLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned, const unsigned char* line) {
    RasterJobState* state = StateOf(job);
    if (!state || !state->pageOpen) return false;
    if (state->cancelled) return true;
    if (papplJobIsCanceled(job)) return CancelOutput(*state);
    return state->writer->AddRow(line);
}

bool EndPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device, unsigned page) {
    RasterJobState* state = StateOf(job);
    if (!state) return false;
    papplDeviceFlush(device);
    if (!state->pageOpen || state->cancelled) return state->cancelled;
    state->pageOpen = false;
    const bool ok = state->writer->EndPage();
    if (state->writer->ClippedInk()) {
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Page %u is wider than the print head (%u dots); the ink outside is cut off",
                    page + 1, state->writer->HeadDots());
    }
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Page %u: %llu rows printed, %llu fed", page + 1,
                static_cast<unsigned long long>(state->writer->RasterRows()),
                static_cast<unsigned long long>(state->writer->FedRows()));
    papplDeviceFlush(device);
    return ok;
}

bool EndJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
    std::unique_ptr<RasterJobState> state(StateOf(job));
    papplJobSetData(job, nullptr);
    bool ok = false;
    if (state) {
        ok = papplJobIsCanceled(job) || state->cancelled ? CancelOutput(*state) : state->writer->EndJob();
        papplDeviceFlush(device);
    }
    SetJobHooks(device, {});
    return ok;
}

bool PrintRawFile(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
    const int fd = ::open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open the job file: %s", std::strerror(errno));
        return false;
    }
    HookUp(job, device);
    papplJobSetImpressions(job, 1);
    bool ok = true;
    std::uint8_t buffer[65536];
    for (;;) {
        if (papplJobIsCanceled(job)) break;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to read the job file: %s", std::strerror(errno));
            ok = false;
        }
        if (n <= 0) break;
        if (papplDeviceWrite(device, buffer, static_cast<std::size_t>(n)) != n) {
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send %zd bytes to the printer", n);
            ok = false;
            break;
        }
    }
    ::close(fd);
    papplDeviceFlush(device);
    SetJobHooks(device, {});
    if (ok) papplJobSetImpressionsCompleted(job, 1);
    return ok;
}

namespace {

// What is known of each printer's status asks (by printer ID).
struct Asking {
    bool quick = true;                                // the last ask took a moment only
    std::chrono::steady_clock::time_point demanded;   // PAPPL last asked for a client
};
std::mutex g_askingMutex;
std::map<int, Asking> g_asking;
// An ask that takes longer is not repeated from the system's loop.
constexpr auto kQuickAsk = std::chrono::milliseconds(250);
// After PAPPL asked for a client, the timer keeps asking this long.
constexpr auto kWatched = std::chrono::seconds(5);

// One status ask: the device's reasons become the printer's.
void AskStatus(pappl_printer_t* printer) {
    // The device is the job's while one prints; the job's writes show the
    // printer's condition then.
    const auto started = std::chrono::steady_clock::now();
    if (pappl_device_t* device = papplPrinterOpenDevice(printer)) {
        const pappl_preason_t reasons = papplDeviceGetStatus(device);
        papplPrinterCloseDevice(printer);
        papplPrinterSetReasons(printer, reasons, PAPPL_PREASON_DEVICE_STATUS & ~reasons);
    }
    const bool quick = std::chrono::steady_clock::now() - started < kQuickAsk;
    std::lock_guard<std::mutex> lock(g_askingMutex);
    g_asking[papplPrinterGetID(printer)].quick = quick;
}

void RefreshIfWatched(pappl_printer_t* printer, void*) {
    if (papplPrinterGetState(printer) != IPP_PSTATE_IDLE) return;
    {
        std::lock_guard<std::mutex> lock(g_askingMutex);
        const auto it = g_asking.find(papplPrinterGetID(printer));
        if (it == g_asking.end() || !it->second.quick ||
            std::chrono::steady_clock::now() - it->second.demanded > kWatched)
            return;
    }
    AskStatus(printer);
}

}  // namespace

bool UpdateStatus(pappl_printer_t* printer) {
    {
        std::lock_guard<std::mutex> lock(g_askingMutex);
        g_asking[papplPrinterGetID(printer)].demanded = std::chrono::steady_clock::now();
    }
    AskStatus(printer);
    return true;
}

bool RefreshIdlePrinters(pappl_system_t* system, void*) {
    papplSystemIteratePrinters(system, RefreshIfWatched, nullptr);
    return true;  // again in a second
}

std::string ReasonsText(pappl_preason_t reasons) {
    static const std::pair<pappl_preason_t, const char*> names[] = {
        {PAPPL_PREASON_OFFLINE, "offline"},       {PAPPL_PREASON_MEDIA_EMPTY, "paper out"},
        {PAPPL_PREASON_MEDIA_LOW, "paper low"},   {PAPPL_PREASON_COVER_OPEN, "cover open"},
        {PAPPL_PREASON_MEDIA_JAM, "cutter jam"},  {PAPPL_PREASON_DOOR_OPEN, "door open"},
        {PAPPL_PREASON_OTHER, "printer error"},
    };
    std::string text;
    for (const auto& [bit, name] : names)
        if (reasons & bit) text += (text.empty() ? "" : ", ") + std::string(name);
    return text.empty() ? "ready" : text;
}

std::string PrintableLine(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return out;
}

std::vector<std::uint8_t> TestPageBytes(const TestPageFacts& f) {
    // Font A is 12 dots wide: the columns of a line across the head.
    const unsigned columns = static_cast<unsigned>(f.headDots > 0 ? f.headDots / 12 : 48);
    std::vector<std::uint8_t> out = {kEsc, '@'};
    auto line = [&](const std::string& text) {
        const std::string printable = PrintableLine(text).substr(0, columns);
        out.insert(out.end(), printable.begin(), printable.end());
        out.push_back('\n');
    };
    const std::string rule(columns, '-');
    line("TEST PAGE");
    line(rule);
    line("Printer: " + f.printer);
    line("Driver:  " + f.driver);
    line("Paper:   " + std::to_string(f.paperMm) + " mm roll");
    char head[96];
    std::snprintf(head, sizeof head, "Head:    %d dots (%d mm) at %d dpi", f.headDots,
                  f.dpi > 0 ? static_cast<int>(f.headDots * 25.4 / f.dpi + 0.5) : 0, f.dpi);
    line(head);
    line("Status:  " + f.status);
    if (!f.deviceUri.empty()) line("Device:  " + f.deviceUri);
    line(rule);
    // A ruler of the head's width: one digit per column, the tens below.
    std::string ones, tens;
    for (unsigned i = 1; i <= columns; ++i) {
        ones += static_cast<char>('0' + i % 10);
        tens += i % 10 == 0 ? static_cast<char>('0' + (i / 10) % 10) : ' ';
    }
    line(ones);
    line(tens);
    const std::uint8_t tail[] = {kEsc, 'd', 4, kGs, 'V', 66, 0};
    out.insert(out.end(), std::begin(tail), std::end(tail));
    return out;
}

void Identify(pappl_printer_t* printer, pappl_identify_actions_t, const char* message) {
    // No buzzer or light command is known for these printers: a short
    // line on the paper names the printer instead.
    pappl_device_t* device = papplPrinterOpenDevice(printer);
    if (!device) return;
    std::vector<std::uint8_t> bytes = {kEsc, '@'};
    std::string text = std::string("Identify: ") + papplPrinterGetName(printer);
    if (message && *message) text += std::string(" - ") + message;
    text = PrintableLine(text) + "\n";
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.insert(bytes.end(), {kEsc, 'd', 4});
    if (!Put(device, bytes)) papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to send the identify line");
    papplPrinterCloseDevice(printer);
}

const char* TestPage(pappl_printer_t* printer, char* buffer, std::size_t size) {
    TestPageFacts facts;
    facts.printer = papplPrinterGetName(printer);
    const char* driverName = papplPrinterGetDriverName(printer);
    facts.driver = driverName ? driverName : "";
    if (const auto d = DriverNamed(facts.driver)) {
        facts.paperMm = d->paperMm;
        facts.headDots = d->headDots;
    }
    facts.dpi = kDpi;
    const char* uri = papplPrinterGetDeviceURI(printer);
    facts.deviceUri = uri ? uri : "";
    facts.status = ReasonsText(papplPrinterGetReasons(printer));
    const std::vector<std::uint8_t> bytes = TestPageBytes(facts);
    const int fd = papplPrinterOpenFile(printer, buffer, size, nullptr, "testpage", "prn", "w");
    if (fd < 0) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to write the test page: %s", std::strerror(errno));
        return nullptr;
    }
    const bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    if (!written) {
        ::unlink(buffer);
        return nullptr;
    }
    return buffer;
}

}  // namespace printer_app
