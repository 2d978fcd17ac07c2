// A real print: a private cupsd, a queue with the driver's PPD and CUPS's own
// socket backend, printer-sim on 127.0.0.1 rendering the receipt. A PDF and
// a PNG go through CUPS's stock filters and the driver.
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
        int status = -1;
        const std::string out = Shell(std::string(PRIVATE_CUPSD_SCRIPT) + " start " + tree.string(), &status);
        started = status == 0 && out.find("running") != std::string::npos;
        if (!started) std::fprintf(stderr, "%s\n", out.c_str());
        ::setenv("CUPS_SERVER", (tree / "cups.sock").c_str(), 1);
        // The driver where the installer puts it: a root-owned program CUPS may run.
        const fs::path driver = tree / "usr/lib/lumbra/driver/POS80Drv.dll";
        fs::create_directories(driver.parent_path());
        fs::copy_file(FilterProgram(), driver, fs::copy_options::overwrite_existing);
        ::chmod(driver.c_str(), 0755);
        engine::PcdData data;
        data.resolution = 203;
        data.forms = engine::PcdFormsFor("POS80", 800, 2100);
        ppd = tree / "POS80_Driver.ppd";
        std::ofstream(ppd) << linuxplat::BuildPpd("POS80 Driver", data, driver);
    }
    static void TearDownTestSuite() {
        int status = 0;
        Shell(std::string(PRIVATE_CUPSD_SCRIPT) + " stop " + tree.string(), &status);
        std::error_code ec;
        if (!std::getenv("KEEP_CUPS_TREE")) fs::remove_all(tree, ec);
    }
    void SetUp() override {
        if (!started) GTEST_SKIP() << "the private cupsd did not start";
    }

    // Prints `file` on a queue aimed at the printer and returns the receipt.
    static std::optional<sim::Bitmap> Print(simtest::SimProcess& printer, const std::string& queue,
                                            const fs::path& file, unsigned receipt, std::string* line) {
        int status = -1;
        const std::string uri = "socket://127.0.0.1:" + std::to_string(printer.TcpPort());
        const std::string added = Shell("lpadmin -p " + queue + " -E -v " + uri + " -P " + ppd.string(), &status);
        EXPECT_EQ(status, 0) << added;
        const std::string submitted = Shell("lp -d " + queue + " " + file.string(), &status);
        EXPECT_THAT(submitted, HasSubstr("request id is " + queue + "-"));
        const std::string prefix = "receipt " + std::to_string(receipt) + ": ";
        if (!printer.WaitForLine(prefix, std::chrono::seconds(90))) {
            ADD_FAILURE() << "no receipt; cupsd log:\n" << Shell("tail -40 " + (tree / "var/log/cups/error_log").string(), &status);
            return std::nullopt;
        }
        for (const auto& l : printer.Messages())
            if (l.rfind(prefix, 0) == 0) *line = l;
        std::string error;
        auto bitmap = sim::ReadPng(printer.TempDir() + "/receipts/" + sim::ReceiptBook::FileName(receipt), &error);
        EXPECT_TRUE(bitmap) << error;
        return bitmap;
    }

    static inline fs::path tree;
    static inline fs::path ppd;
    static inline bool started = false;
};

TEST_F(CupsPrint, PdfAndPngBecomeReceipts) {
    simtest::SimProcess printer({"--receipts", "{tmp}/receipts"});
    ASSERT_TRUE(printer.ok()) << printer.error();

    const fs::path pdf = tree / "receipt.pdf";
    std::ofstream(pdf, std::ios::binary) << ReceiptPdf();
    std::string line;
    const auto r = Print(printer, "Receipt80", pdf, 1, &line);
    ASSERT_TRUE(r);
    EXPECT_THAT(line, ::testing::EndsWith("partial cut"));
    EXPECT_EQ(r->width, 576u);
    // The box, in dots from the imageable area's left edge (11.24 points in):
    // columns 128 to 448, rows 162 to 322. Solid inside, paper around it.
    EXPECT_EQ(InkIn(*r, 134, 442, 168, 316), (442u - 134) * (316 - 168));
    EXPECT_EQ(InkIn(*r, 100, 122, 168, 316), 0u);
    EXPECT_EQ(InkIn(*r, 454, 576, 168, 316), 0u);
    EXPECT_EQ(InkIn(*r, 134, 442, 328, r->height), 0u);
    // The title above it, and no print above the title.
    EXPECT_GT(InkIn(*r, 0, 576, 70, 110), 500u);
    EXPECT_EQ(InkIn(*r, 0, 576, 0, 60), 0u);
    // The blank rest of the 210 mm page is not printed: 5 mm of feed follow the box.
    EXPECT_NEAR(static_cast<int>(r->height), 322 + 40, 6);

    // A PNG picture: a black square in the middle of white, 30 mm at 203 dpi.
    sim::Bitmap square(240, 240);
    for (unsigned y = 60; y < 180; ++y)
        for (unsigned x = 60; x < 180; ++x) square.dots[y * 240 + x] = 1;
    const fs::path png = tree / "square.png";
    std::string error;
    ASSERT_TRUE(sim::WritePng(png.string(), square, &error)) << error;
    const auto s = Print(printer, "Receipt80", png, 2, &line);
    ASSERT_TRUE(s);
    EXPECT_THAT(line, ::testing::EndsWith("partial cut"));
    EXPECT_EQ(s->width, 576u);
    unsigned left = s->width, right = 0, top = s->height, bottom = 0;
    for (unsigned y = 0; y < s->height; ++y)
        for (unsigned x = 0; x < s->width; ++x)
            if (s->Ink(x, y)) {
                left = std::min(left, x), right = std::max(right, x + 1);
                top = std::min(top, y), bottom = std::max(bottom, y + 1);
            }
    ASSERT_LT(left, right) << "no ink";
    const unsigned w = right - left, h = bottom - top;
    EXPECT_GE(w, 60u);
    EXPECT_NEAR(static_cast<double>(w) / h, 1.0, 0.05);
    // Solid: everything inside the square's outline is ink.
    EXPECT_EQ(InkIn(*s, left + 3, right - 3, top + 3, bottom - 3), (w - 6) * (h - 6));
}

}  // namespace
