// A CUPS queue made driverless on the printer application: a private cupsd,
// `lpadmin -m everywhere` on the app's printer, a PDF through CUPS's stock
// filters to PWG raster, the app, and printer-sim drawing the receipt.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "printer-app/tests/AppHarness.h"

namespace {

namespace fs = std::filesystem;
using namespace apptest;
using ::testing::HasSubstr;

TEST(AppCups, DriverlessQueuePrintsAPdf) {
    std::random_device rd;
    const fs::path tree = fs::path("/tmp") / ("receipt-app-cups-" + std::to_string(rd() % 1000000));
    std::string said;
    ASSERT_TRUE(drivertest::StartPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string(), "", &said)) << said;
    struct Stop {
        fs::path tree;
        ~Stop() { drivertest::StopPrivateCupsd(PRIVATE_CUPSD_SCRIPT, tree.string()); }
    } stop{tree};
    // The private tree links only the local backends; the queue prints over IPP.
    std::error_code ec;
    fs::create_symlink("/usr/lib/cups/backend/ipp", tree / "usr/lib/cups/backend/ipp", ec);
    ASSERT_FALSE(ec) << ec.message();

    simtest::SimProcess printer({"--receipts", "{tmp}/receipts"});
    ASSERT_TRUE(printer.ok()) << printer.error();
    AppServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(server.AddPrinter("R80", "receipt_80mm", "receipt-socket://127.0.0.1:" + std::to_string(printer.TcpPort()),
                                  &said))
        << said;

    int status = -1;
    said = drivertest::Shell("lpadmin -p R -E -v " + server.PrinterUri("R80") + " -m everywhere", &status);
    ASSERT_EQ(status, 0) << said << server.Log();
    // cupsd makes the queue's PPD from the app's attributes after lpadmin has
    // returned; until then the queue is "Local Raw Printer" and would pass the
    // PDF through unfiltered, which the app rightly refuses.
    bool made = false;
    for (int i = 0; i < 300 && !made; ++i) {
        said = drivertest::Shell("lpoptions -p R", &status);
        made = status == 0 && said.find("printer-make-and-model=") != std::string::npos &&
               said.find("Local Raw Printer") == std::string::npos;
        if (!made) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(made) << "queue R never got its PPD: " << said;
    const fs::path pdf = tree / "receipt.pdf";
    std::ofstream(pdf, std::ios::binary) << drivertest::ReceiptPdf();
    said = drivertest::Shell("lp -d R " + pdf.string(), &status);
    ASSERT_THAT(said, HasSubstr("request id is R-"));

    std::string line;
    const auto receipt =
        drivertest::WaitForReceipt(printer, 1, &line, (tree / "var/log/cups/error_log").string());
    ASSERT_TRUE(receipt) << server.Log();
    EXPECT_THAT(line, ::testing::EndsWith("partial cut"));
    EXPECT_EQ(receipt->width, 576u);
    // The PDF's 40 x 20 mm box (320 x 160 dots) is solid ink in the middle of
    // the receipt, the title above it; the page's blank head and tail are not printed.
    const auto [left, right, top, bottom] = drivertest::InkBounds(*receipt);
    ASSERT_LT(left, right) << "no ink";
    EXPECT_EQ(top, 0u);
    EXPECT_LT(receipt->height, 800u);
    const unsigned cx = 288, cy = bottom - 80;
    EXPECT_EQ(drivertest::InkIn(*receipt, cx - 100, cx + 100, cy - 40, cy + 40), 200u * 80) << "box not solid";
}

}  // namespace
