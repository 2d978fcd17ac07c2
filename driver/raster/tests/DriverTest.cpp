// The raster driver end to end: raster files made here, the filter program,
// and printer-sim rendering what the filter writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "driver/raster/tests/FilterHarness.h"

namespace {

using namespace drivertest;
using ::testing::HasSubstr;
using ::testing::Not;

// Printer-sim lines of the printing commands, without the receipts' lines.
std::vector<std::string> Commands(const std::vector<std::string>& messages) {
    std::vector<std::string> out;
    for (const auto& m : messages)
        if (m.rfind("receipt ", 0) != 0) out.push_back(m);
    return out;
}

std::vector<std::string> ReceiptLines(const std::vector<std::string>& messages) {
    std::vector<std::string> out;
    for (const auto& m : messages)
        if (m.rfind("receipt ", 0) == 0) out.push_back(m);
    return out;
}

// Ink in rows [40, 140) is missing (a feed) and so is the tail from row 500;
// the rows between make two bands.
unsigned Pattern(unsigned x, unsigned y) {
    if ((y >= 40 && y < 140) || y >= 500) return 0;
    return ((x * 7 + y * 3) % 11 < 4 || x % 97 == y % 97) ? 255 : 0;
}

struct ExactCase {
    const char* name;
    TestPage page;
    unsigned offset;        // first page column under the head
    bool clipped;           // ink outside the head: a warning in the log
    const char* raster;     // the first band as printer-sim names it
};

TEST(RasterDriver, OneBitPagesPrintBitExact) {
    TestPage full;
    full.width = 576;
    full.height = 1000;
    full.ink = Pattern;
    TestPage narrow = full;  // left-aligned; white-is-one raster
    narrow.width = 384;
    narrow.space = CUPS_CSPACE_W;
    TestPage wide = full;    // an 80 mm page with margins: the head prints the imageable area
    wide.width = 640;
    wide.leftMarginPoints = 11.35f;  // 32 dots
    const ExactCase cases[] = {
        {"full head", full, 0, false, "raster 576 x 40 dots"},
        {"narrow page", narrow, 0, false, "raster 384 x 40 dots"},
        {"wide page", wide, 32, true, "raster 576 x 40 dots"},
    };
    for (const ExactCase& c : cases) {
        SCOPED_TRACE(c.name);
        const FilterRun run = RunFilter(MakeRaster({c.page}), "");
        ASSERT_EQ(run.status, 0) << run.log;
        EXPECT_EQ(run.log.find("WARNING: Page 1 is wider than the print head") != std::string::npos, c.clipped)
            << run.log;
        const RenderedJob job = RenderOnPrinter(run.output);
        const std::string band = c.raster;
        const std::string secondBand = band.substr(0, band.find(" x ")) + " x 256 dots";
        EXPECT_EQ(Commands(job.messages),
                  (std::vector<std::string>{"initialize", band, "feed 100 dots", secondBand,
                                            band.substr(0, band.find(" x ")) + " x 104 dots", "feed 40 dots",
                                            "partial cut"}));
        // 500 rows up to the blank tail, and 5 mm of feed.
        EXPECT_EQ(ReceiptLines(job.messages), std::vector<std::string>{"receipt 1: 576 x 540 dots, partial cut"});
        ASSERT_EQ(job.receipts.size(), 1u);
        EXPECT_TRUE(SameBitmap(Expected(c.page, 576, 540, c.offset), job.receipts[0]));
    }
}

double InkShare(const sim::Bitmap& b, unsigned x0, unsigned x1, unsigned y0, unsigned y1) {
    unsigned ink = 0;
    for (unsigned y = y0; y < y1; ++y)
        for (unsigned x = x0; x < x1; ++x) ink += b.Ink(x, y);
    return static_cast<double>(ink) / ((x1 - x0) * (y1 - y0));
}

TEST(RasterDriver, GrayPicturesAreDiffusedOrThresholded) {
    TestPage gradient;
    gradient.width = 576;
    gradient.height = 200;
    gradient.bits = 8;
    gradient.space = CUPS_CSPACE_SW;
    gradient.ink = [](unsigned x, unsigned) { return x * 255 / 575; };

    // Error diffusion: each stripe of the gradient as dark as its gray.
    const FilterRun diffused = RunFilter(MakeRaster({gradient}), "Dithering=ErrorDiffusion FeedAfter=0mm");
    ASSERT_EQ(diffused.status, 0) << diffused.log;
    const RenderedJob picture = RenderOnPrinter(diffused.output);
    ASSERT_EQ(picture.receipts.size(), 1u);
    const sim::Bitmap& p = picture.receipts[0];
    ASSERT_EQ(p.height, 200u);
    for (unsigned stripe = 0; stripe < 8; ++stripe) {
        const unsigned x0 = stripe * 72, x1 = x0 + 72;
        const double gray = ((x0 + x1 - 1) / 2.0) / 575.0;
        EXPECT_NEAR(InkShare(p, x0, x1, 10, 200), gray, 0.04) << "stripe " << stripe;
    }

    // Threshold: paper below mid-gray, ink from it on, exactly.
    const FilterRun thresholded = RunFilter(MakeRaster({gradient}), "Dithering=Threshold FeedAfter=0mm");
    ASSERT_EQ(thresholded.status, 0) << thresholded.log;
    const RenderedJob text = RenderOnPrinter(thresholded.output);
    ASSERT_EQ(text.receipts.size(), 1u);
    EXPECT_TRUE(SameBitmap(Expected(gradient, 576, 200), text.receipts[0]));
}

// Ink 80 dots wide in rows [0, 10), [15, 20) and [120, 130) of a 400-row page.
TestPage SparsePage() {
    TestPage page;
    page.width = 576;
    page.height = 400;
    page.ink = [](unsigned x, unsigned y) {
        const bool row = y < 10 || (y >= 15 && y < 20) || (y >= 120 && y < 130);
        return row && x < 80 && (x + y) % 3 != 0 ? 255u : 0u;
    };
    return page;
}

TEST(RasterDriver, BlankRowsAndTheBlankTail) {
    struct Case {
        const char* options;
        std::vector<std::string> commands;
        const char* receipt;
    } cases[] = {
        {"",
         {"initialize", "raster 80 x 20 dots", "feed 100 dots", "raster 80 x 10 dots", "feed 40 dots", "partial cut"},
         "receipt 1: 576 x 170 dots, partial cut"},
        {"BlankRows=Raster",
         {"initialize", "raster 80 x 130 dots", "feed 40 dots", "partial cut"},
         "receipt 1: 576 x 170 dots, partial cut"},
        {"SkipBlankTail=False",
         {"initialize", "raster 80 x 20 dots", "feed 100 dots", "raster 80 x 10 dots", "feed 255 dots", "feed 15 dots",
          "feed 40 dots", "partial cut"},
         "receipt 1: 576 x 440 dots, partial cut"},
        {"PaperCut=None FeedAfter=0mm",
         {"initialize", "raster 80 x 20 dots", "feed 100 dots", "raster 80 x 10 dots"},
         "receipt 1: 576 x 130 dots, no cut"},
    };
    const TestPage page = SparsePage();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const FilterRun run = RunFilter(MakeRaster({page}), c.options);
        ASSERT_EQ(run.status, 0) << run.log;
        const RenderedJob job = RenderOnPrinter(run.output);
        EXPECT_EQ(Commands(job.messages), c.commands);
        EXPECT_EQ(ReceiptLines(job.messages), std::vector<std::string>{c.receipt});
        ASSERT_EQ(job.receipts.size(), 1u);
        // Whatever went out as feed or raster, the receipt shows the page's ink.
        const sim::Bitmap& r = job.receipts[0];
        EXPECT_TRUE(SameBitmap(Expected(page, 576, r.height), r));
    }
}

TEST(RasterDriver, CutsAndDrawerPulsesComeInTheirPlace) {
    TestPage page = SparsePage();
    page.height = 10;  // one band of 10 rows
    const std::string band = "raster 80 x 10 dots";
    const std::string pin2 = "drawer pulse pin 2 (50 ms on, 500 ms off)";
    const std::string pin5 = "drawer pulse pin 5 (50 ms on, 500 ms off)";
    struct Case {
        const char* options;
        std::vector<std::string> commands;
        std::vector<std::string> receipts;
    } cases[] = {
        {"PaperCut=Page CutType=Full",
         {"initialize", band, "feed 40 dots", "full cut", band, "feed 40 dots", "full cut"},
         {"receipt 1: 576 x 50 dots, full cut", "receipt 2: 576 x 50 dots, full cut"}},
        {"CashDrawer=Before DrawerPin=Pin5",
         {"initialize", pin5, band, "feed 40 dots", band, "feed 40 dots", "partial cut"},
         {"receipt 1: 576 x 100 dots, partial cut, drawer pin 5"}},
        {"CashDrawer=After PaperCut=Page",
         {"initialize", band, "feed 40 dots", "partial cut", band, "feed 40 dots", pin2, "partial cut"},
         {"receipt 1: 576 x 50 dots, partial cut", "receipt 2: 576 x 50 dots, partial cut, drawer pin 2"}},
        {"CashDrawer=After PaperCut=None",
         {"initialize", band, "feed 40 dots", band, "feed 40 dots", pin2},
         {"receipt 1: 576 x 100 dots, no cut, drawer pin 2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const FilterRun run = RunFilter(MakeRaster({page, page}), c.options);
        ASSERT_EQ(run.status, 0) << run.log;
        EXPECT_THAT(run.log, HasSubstr("PAGE: 2 1"));
        const RenderedJob job = RenderOnPrinter(run.output);
        EXPECT_EQ(Commands(job.messages), c.commands);
        EXPECT_EQ(ReceiptLines(job.messages), c.receipts);
    }
}

// Reads what the filter has written so far, up to `atLeast` bytes or the deadline.
void ReadOutput(int fd, Bytes& out, std::size_t atLeast, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t buffer[65536];
    while (out.size() < atLeast) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return;
        out.insert(out.end(), buffer, buffer + n);
    }
}

// A cancelled job (SIGTERM) ends after a whole band: printer-sim sees no
// command cut short, and nothing after the band.
TEST(RasterDriver, CancelledJobLeavesNoBrokenCommand) {
    ::signal(SIGPIPE, SIG_IGN);
    TestPage dense;
    dense.width = 576;
    dense.height = 20000;
    dense.ink = [](unsigned x, unsigned y) { return ((x * 13 + y * 7) % 5 < 2) ? 255u : 0u; };
    const Bytes raster = MakeRaster({dense});
    const std::size_t band = 8 + 72 * 256;

    enum class Where { WaitingForInput, WritingOutput };
    for (Where where : {Where::WaitingForInput, Where::WritingOutput}) {
        SCOPED_TRACE(where == Where::WaitingForInput ? "waiting for input" : "writing output");
        FilterProcess filter("");
        ASSERT_TRUE(filter.ok());
        Bytes out;
        std::thread feeder;
        if (where == Where::WaitingForInput) {
            // A third of the raster, and the pipe stays open: once the filter
            // has taken it all, it waits for the rest inside a band.
            const std::size_t part = raster.size() / 3;
            std::atomic<bool> fed = false;
            feeder = std::thread([&] {
                for (std::size_t sent = 0; sent < part;) {
                    const ssize_t n = ::write(filter.Input(), raster.data() + sent, part - sent);
                    if (n <= 0) break;
                    sent += static_cast<std::size_t>(n);
                }
                fed = true;
            });
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            int unread = 1;
            while (std::chrono::steady_clock::now() < deadline) {
                ReadOutput(filter.Output(), out, out.size() + 1, std::chrono::milliseconds(20));
                if (fed && ::ioctl(filter.Input(), FIONREAD, &unread) == 0 && unread == 0 && out.size() >= band) break;
            }
            feeder.join();
            ASSERT_EQ(unread, 0) << "the filter did not take its input";
        } else {
            // All of it, nothing read: the filter fills its output pipe.
            feeder = std::thread([&] {
                for (std::size_t sent = 0; sent < raster.size();) {
                    const ssize_t n = ::write(filter.Input(), raster.data() + sent, raster.size() - sent);
                    if (n <= 0) return;
                    sent += static_cast<std::size_t>(n);
                }
            });
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            int queued = 0;
            while (std::chrono::steady_clock::now() < deadline) {
                ::ioctl(filter.Output(), FIONREAD, &queued);
                if (queued >= 65536 - static_cast<int>(band)) break;
                ::poll(nullptr, 0, 5);
            }
            ASSERT_GE(queued, 65536 - static_cast<int>(band));
        }
        ::kill(filter.Pid(), SIGTERM);
        ReadOutput(filter.Output(), out, SIZE_MAX, std::chrono::seconds(20));
        EXPECT_EQ(filter.Wait(), 0);
        if (feeder.joinable()) {
            filter.CloseInput();
            feeder.join();
        }
        EXPECT_THAT(filter.Log(), HasSubstr("INFO: Job cancelled"));
        EXPECT_LT(out.size(), 20000u * 72 / 2) << "the job stopped early";

        const RenderedJob job = RenderOnPrinter(out);
        const auto commands = Commands(job.messages);
        ASSERT_GE(commands.size(), 2u);
        EXPECT_EQ(commands.front(), "initialize");
        for (std::size_t i = 1; i < commands.size(); ++i) {
            EXPECT_THAT(commands[i], ::testing::StartsWith("raster 576 x ")) << "line " << i;
        }
        ASSERT_EQ(job.receipts.size(), 1u);
        EXPECT_TRUE(SameBitmap(Expected(dense, 576, job.receipts[0].height), job.receipts[0]));
    }
}

TEST(RasterDriver, UnsupportedRasterIsRefused) {
    TestPage color;
    color.width = 64;
    color.height = 4;
    color.space = CUPS_CSPACE_RGB;
    color.bits = 8;
    FilterRun run = RunFilter(MakeRaster({color}), "");
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.log, HasSubstr("ERROR: Page 1: unsupported raster data"));
    run = RunFilter({}, "");
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.log, HasSubstr("ERROR: The input holds no CUPS raster data"));
    EXPECT_TRUE(run.output.empty());
}

// A one-page raster whose header says what `set` makes it say; the rows stay
// those of the page made (the driver must refuse the header before them).
Bytes WithHeader(const TestPage& page, const std::function<void(cups_page_header2_t&)>& set) {
    Bytes raster = MakeRaster({page});
    cups_page_header2_t h;
    std::memcpy(&h, raster.data() + 4, sizeof h);  // after the sync word, in this machine's order
    set(h);
    std::memcpy(raster.data() + 4, &h, sizeof h);
    return raster;
}

// Headers no receipt printer can print are refused before a byte goes out
// (no PPD: nothing but the header bounds them); a stream that goes on after
// its last page with bytes that are no page prints its pages and says so.
TEST(RasterDriver, HeadersOutOfBoundsAndDataAfterTheLastPage) {
    TestPage page = SparsePage();
    page.height = 10;
    const Bytes one = MakeRaster({page});
    const Bytes two = MakeRaster({page, page});
    Bytes junk = one;
    junk.insert(junk.end(), {'j', 'u', 'n', 'k'});
    const Bytes cutHeader(two.begin(), two.begin() + static_cast<long>(one.size()) + 100);
    struct Case {
        const char* name;
        Bytes raster;
        int status;
        const char* log;  // a line the log holds
    } cases[] = {
        {"500000000 dpi across", WithHeader(page, [](auto& h) { h.HWResolution[0] = 500000000; }), 1,
         "ERROR: Page 1 is not one a receipt printer can print: a resolution of 500000000 x 203 dpi"},
        {"10000000 dpi across", WithHeader(page, [](auto& h) { h.HWResolution[0] = 10000000; }), 1,
         "ERROR: Page 1 is not one a receipt printer can print: a resolution of"},
        {"2000000000 dpi down", WithHeader(page, [](auto& h) { h.HWResolution[1] = 2000000000; }), 1,
         "ERROR: Page 1 is not one a receipt printer can print: a resolution of 203 x 2000000000 dpi"},
        {"no resolution", WithHeader(page, [](auto& h) { h.HWResolution[0] = h.HWResolution[1] = 0; }), 1,
         "ERROR: Page 1 is not one a receipt printer can print: a resolution of 0 x 0 dpi"},
        {"4294967288 dots wide",
         WithHeader(page,
                    [](auto& h) {
                        h.cupsWidth = 4294967288u;
                        h.cupsBytesPerLine = 536870911u;
                        h.cupsHeight = 1;
                    }),
         1, "ERROR: Page 1 is not one a receipt printer can print: 4294967288 dots wide at 203 dpi"},
        {"12.5 m long", WithHeader(page, [](auto& h) { h.cupsHeight = 100000; }), 1,
         "ERROR: Page 1 is not one a receipt printer can print: 100000 rows long at 203 dpi"},
        {"second header cut short", cutHeader, 0, "WARNING: The input goes on after page 1 with data that are no page"},
        {"junk after the last page", junk, 0, "WARNING: The input goes on after page 1 with data that are no page"},
        {"clean end", one, 0, "DEBUG: Page 1: 10 rows printed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FilterRun run = RunFilter(c.raster, "", "");
        EXPECT_EQ(run.status, c.status) << run.log;
        EXPECT_THAT(run.log, HasSubstr(c.log));
        if (c.status != 0) {
            EXPECT_TRUE(run.output.empty());
        } else {
            EXPECT_EQ(run.log.find("WARNING: The input goes on") == std::string::npos, c.raster == one) << run.log;
            EXPECT_EQ(Commands(RenderOnPrinter(run.output).messages),
                      (std::vector<std::string>{"initialize", "raster 80 x 10 dots", "feed 40 dots", "partial cut"}));
        }
    }
}

}  // namespace

namespace {

// The PPD of each known model passes cupstestppd and gives the filter the
// model's head: a page as wide as the roll prints the head's width of it.
TEST(RasterDriverPpd, EachModelPassesCupstestppdAndNamesItsHead) {
    struct Model {
        const char* name;
        int width;  // tenths of a millimetre
        unsigned head;
    } models[] = {{"POS58", 580, 384}, {"POS72", 720, 512}, {"POS80", 800, 576}, {"POS110", 1100, 832}};
    for (const Model& m : models) {
        SCOPED_TRACE(m.name);
        const std::string ppd = ModelPpd(m.name, m.width);
        int status = -1;
        const std::string report = Shell("cupstestppd " + ppd, &status);
        EXPECT_EQ(status, 0) << report;
        EXPECT_THAT(report, HasSubstr("PASS"));
        std::ifstream in(ppd);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_THAT(text, HasSubstr("*ReceiptHeadDots: \"" + std::to_string(m.head) + "\""));
        EXPECT_THAT(text, HasSubstr("*cupsSNMPSupplies: False\n"));
        EXPECT_THAT(text, HasSubstr("*DefaultSkipBlankHead: True\n"));
        EXPECT_THAT(text, HasSubstr("*cupsFilter2: \"application/vnd.cups-raster application/vnd.receipt-escpos 0 " +
                                    FilterProgram() + "\""));

        TestPage page;
        page.width = m.head + 32;
        page.height = 4;
        page.leftMarginPoints = 16 * 72 / 203.0f;
        page.ink = [](unsigned, unsigned) { return 255u; };
        const FilterRun run = RunFilter(MakeRaster({page}), "", ppd);
        ASSERT_EQ(run.status, 0) << run.log;
        EXPECT_THAT(run.log, HasSubstr("WARNING: Page 1 is wider than the print head"));
        const RenderedJob job = RenderOnPrinter(run.output, m.head);
        EXPECT_THAT(job.messages, ::testing::Contains("raster " + std::to_string(m.head) + " x 4 dots"));
    }
}

}  // namespace
