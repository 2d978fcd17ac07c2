// A real print: a private cupsd, a queue with the driver's PPD and CUPS's own
// socket backend, printer-sim on 127.0.0.1 rendering the receipt. PDFs and
// a PNG go through CUPS's stock filters and the driver: a document made for
// the roll prints at its size, without the blank paper above and below its
// print; a wider one is scaled to the head.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "driver/raster/tests/FilterHarness.h"
#include "installer/engine/PcdFile.h"
#include "platform/linux/cups/Ppd.h"
#include "sim/Receipt.h"

namespace {

namespace fs = std::filesystem;
using namespace drivertest;
using ::testing::HasSubstr;

class CupsPrint : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::random_device rd;
        tree = fs::path("/tmp") / ("receipt-cups-" + std::to_string(rd() % 1000000));
        std::string out;
        started = StartPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string(), "", &out);
        if (!started) std::fprintf(stderr, "%s\n", out.c_str());
        // The driver where the installer puts it: a root-owned program CUPS may run.
        driver = tree / "usr/lib/lumbra/driver/POS80Drv.dll";
        fs::create_directories(driver.parent_path());
        fs::copy_file(FilterProgram(), driver, fs::copy_options::overwrite_existing);
        ::chmod(driver.c_str(), 0755);
    }
    static void TearDownTestSuite() { StopPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string()); }
    void SetUp() override {
        if (!started) GTEST_SKIP() << "the private cupsd did not start";
    }

    // The PPD the installer writes for `model` (POS58 or POS80).
    static fs::path Ppd(const std::string& model) {
        const fs::path path = tree / (model + "_Driver.ppd");
        if (!fs::exists(path)) {
            engine::PcdData data;
            data.resolution = 203;
            data.forms = engine::PcdFormsFor(model, model == "POS58" ? 580 : 800, 2100);
            std::ofstream(path) << platform_linux::BuildPpd(model + " Driver", data, driver);
        }
        return path;
    }

    // Prints `file` with `options` on a new queue of `model` aimed at the
    // printer and returns the receipt.
    static std::optional<sim::Bitmap> Print(simtest::SimProcess& printer, const std::string& model,
                                            const fs::path& file, const std::string& options, std::string* line) {
        static unsigned queues = 0;
        int status = -1;
        const std::string uri = "socket://127.0.0.1:" + std::to_string(printer.TcpPort());
        const std::string queue = "Receipt" + std::to_string(++queues);
        const std::string added =
            Shell("lpadmin -p " + queue + " -E -v " + uri + " -P " + Ppd(model).string(), &status);
        EXPECT_EQ(status, 0) << added;
        const std::string submitted = Shell("lp -d " + queue + " " + options + " " + file.string(), &status);
        EXPECT_THAT(submitted, HasSubstr("request id is " + queue + "-"));
        return WaitForReceipt(printer, 1, line, (tree / "var/log/cups/error_log").string());
    }

    static inline fs::path tree;
    static inline fs::path driver;
    static inline bool started = false;
};

// Rows [first, first + rows) of a receipt.
sim::Bitmap Rows(const sim::Bitmap& b, unsigned first, unsigned rows) {
    sim::Bitmap out(b.width, rows);
    for (unsigned y = 0; y < rows && first + y < b.height; ++y)
        for (unsigned x = 0; x < b.width; ++x)
            out.dots[static_cast<std::size_t>(y) * b.width + x] = b.Ink(x, first + y) ? 1 : 0;
    return out;
}

struct Box {
    unsigned left, right, top, bottom;  // of the ink; right and bottom just past it
};
Box InkBox(const sim::Bitmap& b) {
    Box box{b.width, 0, b.height, 0};
    for (unsigned y = 0; y < b.height; ++y)
        for (unsigned x = 0; x < b.width; ++x)
            if (b.Ink(x, y)) {
                box.left = std::min(box.left, x), box.right = std::max(box.right, x + 1);
                box.top = std::min(box.top, y), box.bottom = std::max(box.bottom, y + 1);
            }
    return box;
}

TEST_F(CupsPrint, DocumentsBecomeReceipts) {
    const fs::path pdf80 = tree / "receipt.pdf", pdfA4 = tree / "a4.pdf", png = tree / "square.png",
                   pdfLong = tree / "long.pdf";
    std::ofstream(pdf80, std::ios::binary) << ReceiptPdf();
    std::ofstream(pdfLong, std::ios::binary) << LongReceiptPdf();
    std::ofstream(pdfA4, std::ios::binary) << A4Pdf();
    std::string error;
    ASSERT_TRUE(WriteSquarePng(png.string(), &error)) << error;

    struct Case {
        const char* name;
        const char* model;
        fs::path file;
        const char* options;
        unsigned headDots;
        unsigned minWidth, maxWidth;  // of the ink, in dots
        bool inkAtTop;                // the receipt starts with the print
        unsigned minHeight;           // of the ink, in rows
    } cases[] = {
        {"80 mm PDF, blank head kept", "POS80", pdf80, "-o SkipBlankHead=False", 576, 300, 576, false, 0},
        {"80 mm PDF", "POS80", pdf80, "", 576, 300, 576, true, 0},
        {"80 mm PDF on 58 mm paper", "POS58", pdf80, "", 384, 200, 384, true, 0},
        {"A4 PDF", "POS80", pdfA4, "", 576, 200, 576, true, 0},
        {"PNG", "POS80", png, "", 576, 60, 576, true, 0},
        // Longer than the model's form: on the roll's longest size it prints at its own
        // size (the 810 pt bar is 2284 rows at 203 dpi), and starts at once.
        {"80 x 300 mm PDF on the roll size", "POS80", pdfLong, "-o media=X80MMY3276MM", 576, 300, 576, true, 2270},
    };
    std::optional<sim::Bitmap> headKept;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        simtest::SimProcess printer({"--receipts", "{tmp}/receipts", "--head-dots", std::to_string(c.headDots)});
        ASSERT_TRUE(printer.ok()) << printer.error();
        std::string line;
        const auto r = Print(printer, c.model, c.file, c.options, &line);
        ASSERT_TRUE(r);
        EXPECT_THAT(line, ::testing::EndsWith("partial cut"));
        EXPECT_EQ(r->width, c.headDots);
        const Box box = InkBox(*r);
        ASSERT_LT(box.left, box.right) << "no ink";
        EXPECT_GE(box.right - box.left, c.minWidth);
        EXPECT_LE(box.right - box.left, c.maxWidth);
        EXPECT_EQ(box.top == 0, c.inkAtTop);
        EXPECT_GE(box.bottom - box.top, c.minHeight);
        if (c.file == png) CheckSquareReceipt(*r);
        if (c.file == pdf80 && c.headDots == 576 && !c.inkAtTop) {
            CheckPdfReceipt(*r, kPdfHeadRows);
            headKept = r;
        } else if (c.file == pdf80 && c.headDots == 576) {
            // The same receipt as with the head kept, from the title on.
            CheckPdfReceipt(*r);
            ASSERT_TRUE(headKept);
            const unsigned top = InkBox(*headKept).top;
            EXPECT_TRUE(SameBitmap(Rows(*headKept, top, headKept->height - top), *r));
        }
    }
}

}  // namespace
