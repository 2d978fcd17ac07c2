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
        std::string out;
        started = StartPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string(), "", &out);
        if (!started) std::fprintf(stderr, "%s\n", out.c_str());
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
    static void TearDownTestSuite() { StopPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string()); }
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
        return WaitForReceipt(printer, receipt, line, (tree / "var/log/cups/error_log").string());
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
    CheckPdfReceipt(*r);

    const fs::path png = tree / "square.png";
    std::string error;
    ASSERT_TRUE(WriteSquarePng(png.string(), &error)) << error;
    const auto s = Print(printer, "Receipt80", png, 2, &line);
    ASSERT_TRUE(s);
    EXPECT_THAT(line, ::testing::EndsWith("partial cut"));
    CheckSquareReceipt(*s);
}

}  // namespace
