#include "driver/raster/tests/FilterHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "installer/engine/PcdFile.h"
#include "sim/Receipt.h"
#include "platform/linux/cups/Ppd.h"

#ifndef RASTER_FILTER_PATH
#define RASTER_FILTER_PATH "rastertoreceipt"
#endif

extern char** environ;

namespace drivertest {
namespace fs = std::filesystem;

namespace {

ssize_t AppendToBytes(void* context, unsigned char* data, std::size_t length) {
    auto* out = static_cast<Bytes*>(context);
    out->insert(out->end(), data, data + length);
    return static_cast<ssize_t>(length);
}

}  // namespace

Bytes WriteTestRaster(const std::vector<TestPage>& pages, cups_mode_t mode,
                      const std::function<void(cups_page_header2_t&, const TestPage&)>& adjust) {
    Bytes out;
    cups_raster_t* raster = cupsRasterOpenIO(AppendToBytes, &out, mode);
    for (const TestPage& page : pages) {
        cups_page_header2_t h{};
        h.HWResolution[0] = h.HWResolution[1] = 203;
        h.cupsWidth = page.width;
        h.cupsHeight = page.height;
        h.cupsBitsPerColor = h.cupsBitsPerPixel = page.bits;
        h.cupsBytesPerLine = (page.width * page.bits + 7) / 8;
        h.cupsColorOrder = CUPS_ORDER_CHUNKED;
        h.cupsNumColors = 1;
        h.NumCopies = 1;
        adjust(h, page);
        cupsRasterWriteHeader2(raster, &h);
        WritePageRows(raster, page, h);
    }
    cupsRasterClose(raster);
    return out;
}

Bytes MakeRaster(const std::vector<TestPage>& pages) {
    return WriteTestRaster(pages, CUPS_RASTER_WRITE_COMPRESSED, [](cups_page_header2_t& h, const TestPage& page) {
        h.cupsColorSpace = page.space;
        h.cupsPageSize[0] = page.width * 72.0f / 203;
        h.cupsPageSize[1] = page.height * 72.0f / 203;
        h.PageSize[0] = static_cast<unsigned>(h.cupsPageSize[0]);
        h.PageSize[1] = static_cast<unsigned>(h.cupsPageSize[1]);
        h.cupsImagingBBox[0] = page.leftMarginPoints;
        h.ImagingBoundingBox[0] = static_cast<unsigned>(page.leftMarginPoints);
    });
}

void WritePageRows(cups_raster_t* raster, const TestPage& page, const cups_page_header2_t& header) {
    const bool white = header.cupsColorSpace != CUPS_CSPACE_K;
    Bytes row(header.cupsBytesPerLine);
    for (unsigned y = 0; y < page.height; ++y) {
        std::fill(row.begin(), row.end(), 0);
        for (unsigned x = 0; x < page.width; ++x) {
            const unsigned ink = page.ink ? page.ink(x, y) : 0;
            if (page.bits == 8) {
                row[x] = static_cast<std::uint8_t>(white ? 255 - ink : ink);
            } else if ((ink >= 128) != white) {
                row[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
            }
        }
        cupsRasterWritePixels(raster, row.data(), header.cupsBytesPerLine);
    }
}

std::string FilterProgram() { return RASTER_FILTER_PATH; }

std::string Shell(const std::string& command, int* status) {
    std::string out;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    const int s = ::pclose(p);
    *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return out;
}

bool StartPrivateCupsd(const std::string& script, const std::string& tree, const std::string& options,
                       std::string* said) {
    int status = -1;
    *said = Shell(script + " start " + tree + (options.empty() ? "" : " " + options), &status);
    if (status != 0) return false;
    ::setenv("CUPS_SERVER", (fs::path(tree) / "cups.sock").c_str(), 1);
    return true;
}

void StopPrivateCupsd(const std::string& script, const std::string& tree) {
    int status = 0;
    Shell(script + " stop " + tree, &status);
    std::error_code ec;
    if (!std::getenv("KEEP_CUPS_TREE")) fs::remove_all(tree, ec);
}

std::string ModelPpd(const std::string& model, int widthTenthsMm) {
    struct Folder {
        std::string path;
        Folder() {
            char name[] = "/tmp/rastertoreceipt-ppd-XXXXXX";
            if (::mkdtemp(name)) path = name;
        }
        ~Folder() {
            std::error_code ec;
            if (!path.empty()) fs::remove_all(path, ec);
        }
    };
    static Folder folder;
    static std::map<std::string, std::string> made;
    const std::string key = model + "-" + std::to_string(widthTenthsMm);
    if (auto it = made.find(key); it != made.end()) return it->second;
    engine::PcdData data;
    data.resolution = 203;
    data.forms = engine::PcdFormsFor(model, widthTenthsMm, 2100);
    const std::string path = folder.path + "/" + key + ".ppd";
    std::ofstream(path) << platform_linux::BuildPpd(model + " Driver", data, FilterProgram());
    return made[key] = path;
}

FilterProcess::FilterProcess(const std::string& options, const std::string& ppd) {
    char logName[] = "/tmp/rastertoreceipt-log-XXXXXX";
    const int logFd = ::mkstemp(logName);
    if (logFd < 0) return;
    logPath_ = logName;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        ::close(logFd);
        return;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        ::close(logFd);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, logFd, 2);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).rfind("PPD=", 0) != 0) env.push_back(*e);
    if (!ppd.empty()) env.push_back("PPD=" + ppd);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = FilterProgram();
    std::vector<std::string> args = {program, "1", "tester", "receipt", "1", options};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(logFd);
    in_ = in[1];
    out_ = out[0];
    if (spawned != 0) pid_ = -1;
}

FilterProcess::~FilterProcess() {
    if (pid_ > 0) Wait(std::chrono::milliseconds(0));
    CloseInput();
    if (out_ >= 0) ::close(out_);
    if (!logPath_.empty()) ::unlink(logPath_.c_str());
}

void FilterProcess::CloseInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

int FilterProcess::Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        ::poll(nullptr, 0, 10);
    }
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FilterProcess::Log() const {
    std::ifstream log(logPath_);
    std::stringstream text;
    text << log.rdbuf();
    return text.str();
}

FilterRun RunFilter(const Bytes& raster, const std::string& options, const std::string& ppd) {
    FilterRun run;
    FilterProcess filter(options, ppd);
    if (!filter.ok()) return run;
    // Feed the raster and read the output at the same time: either may fill its pipe.
    ::signal(SIGPIPE, SIG_IGN);
    std::size_t sent = 0;
    std::uint8_t buffer[65536];
    for (;;) {
        pollfd fds[2] = {{filter.Output(), POLLIN, 0}, {filter.Input(), POLLOUT, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) {
            const ssize_t n = sent < raster.size() ? ::write(filter.Input(), raster.data() + sent, raster.size() - sent) : 0;
            if (n > 0) sent += static_cast<std::size_t>(n);
            if (n <= 0 || sent == raster.size()) filter.CloseInput();
        }
        if (fds[0].revents) {
            const ssize_t n = ::read(filter.Output(), buffer, sizeof buffer);
            if (n <= 0) break;
            run.output.insert(run.output.end(), buffer, buffer + n);
        }
    }
    run.status = filter.Wait();
    run.log = filter.Log();
    return run;
}

RenderedJob RenderOnPrinter(const Bytes& escpos, unsigned headDots) {
    RenderedJob job;
    simtest::SimProcess printer({"--receipts", "{tmp}/receipts", "--head-dots", std::to_string(headDots)});
    if (!printer.ok()) {
        job.messages.push_back("printer-sim did not start: " + printer.error());
        return job;
    }
    if (!printer.SendTcp(escpos) || !printer.WaitForStreamsClosed(1, std::chrono::seconds(30))) {
        job.messages.push_back("the job did not reach printer-sim");
        return job;
    }
    job.messages = printer.Messages();
    for (unsigned n = 1;; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "/receipts/receipt-%04u.png", n);
        const std::string path = printer.TempDir() + name;
        if (!fs::exists(path)) break;
        std::string error;
        auto bitmap = sim::ReadPng(path, &error);
        if (!bitmap) {
            job.messages.push_back(error);
            break;
        }
        job.receipts.push_back(std::move(*bitmap));
    }
    return job;
}

sim::Bitmap Expected(const TestPage& page, unsigned headDots, unsigned rows, unsigned offset) {
    sim::Bitmap b(headDots, rows);
    for (unsigned y = 0; y < std::min(rows, page.height); ++y)
        for (unsigned x = 0; x < headDots && x + offset < page.width; ++x)
            b.dots[static_cast<std::size_t>(y) * headDots + x] = page.ink(x + offset, y) >= 128 ? 1 : 0;
    return b;
}

namespace {

// A one-page PDF of `width` x `height` points drawing `content` in Helvetica (/F1).
std::string OnePagePdf(const char* width, const char* height, const std::string& content) {
    const std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        std::string("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 ") + width + " " + height +
            "] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t at : offsets) {
        char line[24];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", at);
        pdf += line;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

}  // namespace

// A one-page PDF of 80 x 210 mm: a title line and a black box 40 x 20 mm
// whose corners are (56.7, 57.6) and (170.1, 114.3) points from the top left.
std::string ReceiptPdf() {
    return OnePagePdf("226.77", "595.28",
                      "0 g 56.7 481 113.4 56.7 re f BT /F1 24 Tf 20 540 Td (RECEIPT 42) Tj ET\n");
}

std::string LongReceiptPdf() {
    // 80 x 300 mm: a bar down the whole page, a title half-way.
    return OnePagePdf("226.77", "850.39",
                      "0 g 103 20 20 810 re f BT /F1 18 Tf 20 425 Td (LONG RECEIPT) Tj ET\n");
}

std::string A4Pdf() {
    std::string content = "0 g BT /F1 12 Tf 72 770 Td 14 TL\n";
    for (int line = 0; line < 10; ++line) content += "(Invoice line with some text across the page width) '\n";
    return OnePagePdf("595.28", "841.89", content + "ET\n");
}

unsigned InkIn(const sim::Bitmap& b, unsigned x0, unsigned x1, unsigned y0, unsigned y1) {
    unsigned ink = 0;
    for (unsigned y = y0; y < std::min(y1, b.height); ++y)
        for (unsigned x = x0; x < std::min(x1, b.width); ++x) ink += b.Ink(x, y);
    return ink;
}

InkBox InkBounds(const sim::Bitmap& b) {
    InkBox box{b.width, 0, b.height, 0};
    for (unsigned y = 0; y < b.height; ++y)
        for (unsigned x = 0; x < b.width; ++x)
            if (b.Ink(x, y)) {
                box.left = std::min(box.left, x), box.right = std::max(box.right, x + 1);
                box.top = std::min(box.top, y), box.bottom = std::max(box.bottom, y + 1);
            }
    return box;
}

void CheckPdfReceipt(const sim::Bitmap& r, unsigned headRows) {
    EXPECT_EQ(r.width, 576u);
    // Rows of the page from its top: the receipt starts `up` rows lower.
    const unsigned up = kPdfHeadRows - headRows;
    auto row = [&](unsigned pageRow) { return pageRow - up; };
    // The box, in dots from the imageable area's left edge (11.24 points in):
    // columns 128 to 448, page rows 162 to 322. Solid inside, paper around it.
    EXPECT_EQ(InkIn(r, 134, 442, row(168), row(316)), (442u - 134) * (316 - 168));
    EXPECT_EQ(InkIn(r, 100, 122, row(168), row(316)), 0u);
    EXPECT_EQ(InkIn(r, 454, 576, row(168), row(316)), 0u);
    EXPECT_EQ(InkIn(r, 134, 442, row(328), r.height), 0u);
    // The title above it (from page row 105), and no print above the title.
    EXPECT_GT(InkIn(r, 0, 576, row(kPdfHeadRows), row(kPdfHeadRows + 30)), 500u);
    EXPECT_EQ(InkIn(r, 0, 576, 0, headRows > 5 ? headRows - 5 : 0), 0u);
    // The blank rest of the 210 mm page is not printed: 5 mm of feed follow the box.
    EXPECT_NEAR(static_cast<int>(r.height), static_cast<int>(row(322 + 40)), 6);
}

bool WriteSquarePng(const std::string& path, std::string* error) {
    sim::Bitmap square(240, 240);
    for (unsigned y = 60; y < 180; ++y)
        for (unsigned x = 60; x < 180; ++x) square.dots[y * 240 + x] = 1;
    return sim::WritePng(path, square, error);
}

void CheckSquareReceipt(const sim::Bitmap& s) {
    EXPECT_EQ(s.width, 576u);
    const auto [left, right, top, bottom] = InkBounds(s);
    ASSERT_LT(left, right) << "no ink";
    const unsigned w = right - left, h = bottom - top;
    EXPECT_GE(w, 60u);
    EXPECT_NEAR(static_cast<double>(w) / h, 1.0, 0.05);
    // Solid: everything inside the square's outline is ink.
    EXPECT_EQ(InkIn(s, left + 3, right - 3, top + 3, bottom - 3), (w - 6) * (h - 6));
}

std::optional<sim::Bitmap> WaitForReceipt(const simtest::SimProcess& printer, unsigned number, std::string* line,
                                          const std::string& log) {
    const std::string prefix = "receipt " + std::to_string(number) + ": ";
    if (!printer.WaitForLine(prefix, std::chrono::seconds(90))) {
        int status = 0;
        ADD_FAILURE() << "no " << prefix << "; " << log << ":\n" << Shell("tail -40 " + log, &status);
        return std::nullopt;
    }
    for (const auto& l : printer.Messages())
        if (l.rfind(prefix, 0) == 0) *line = l;
    std::string error;
    auto bitmap = sim::ReadPng(printer.TempDir() + "/receipts/" + sim::ReceiptBook::FileName(number), &error);
    EXPECT_TRUE(bitmap) << error;
    return bitmap;
}

::testing::AssertionResult SameBitmap(const sim::Bitmap& expected, const sim::Bitmap& actual) {
    if (expected.width != actual.width || expected.height != actual.height) {
        return ::testing::AssertionFailure() << "size " << actual.width << " x " << actual.height << ", expected "
                                             << expected.width << " x " << expected.height;
    }
    for (unsigned y = 0; y < expected.height; ++y)
        for (unsigned x = 0; x < expected.width; ++x)
            if (expected.Ink(x, y) != actual.Ink(x, y))
                return ::testing::AssertionFailure() << "dot (" << x << ", " << y << ") is "
                                                     << (actual.Ink(x, y) ? "ink" : "paper");
    return ::testing::AssertionSuccess();
}

}  // namespace drivertest
