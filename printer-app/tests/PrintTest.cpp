// receipt-printer-app end to end: the server on loopback, printer-sim as the
// printer, jobs through ipptool. A PWG raster page comes out as the very bytes
// rastertoreceipt makes of it, with each job option mapped as the raster
// driver maps its PPD keyword.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <png.h>
#include <zlib.h>

#include "printer-app/Picture.h"
#include "printer-app/Printing.h"
#include "printer-app/tests/AppHarness.h"

namespace {

namespace fs = std::filesystem;
using namespace apptest;
using drivertest::TestPage;
using ::testing::Contains;
using ::testing::HasSubstr;

unsigned Pattern(unsigned x, unsigned y) {
    if ((y >= 40 && y < 140) || y >= 260) return 0;
    return ((x * 7 + y * 3) % 11 < 4 || x % 97 == y % 97) ? 255 : 0;
}
unsigned Gradient(unsigned x, unsigned y) { return y < 20 ? 0 : (x * 255 / 575 + y) % 256; }

class AppPrint : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        printer = std::make_unique<simtest::SimProcess>(std::vector<std::string>{"--receipts", "{tmp}/receipts"});
        server = std::make_unique<AppServer>();
        if (!printer->ok() || !server->ok()) return;
        std::string said;
        added = server->AddPrinter("R80", "receipt_80mm", "receipt-socket://127.0.0.1:" + std::to_string(printer->TcpPort()),
                                   &said);
        if (!added) std::fprintf(stderr, "add: %s\n", said.c_str());
    }
    static void TearDownTestSuite() {
        server.reset();
        printer.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(printer->ok()) << printer->error();
        ASSERT_TRUE(server->ok()) << server->error();
        ASSERT_TRUE(added) << server->Log();
    }

    // Prints `file` and returns the bytes of the job's stream.
    static std::optional<Bytes> Print(const std::string& file, const std::string& format,
                                      const std::vector<std::string>& attributes) {
        int status = -1;
        const std::string out = IppPrint(server->PrinterUri("R80"), file, format, attributes, &status);
        EXPECT_EQ(status, 0) << out;
        if (status != 0) return std::nullopt;
        auto bytes = DataStream(*printer, ++jobs);
        EXPECT_TRUE(bytes) << "job " << jobs << " did not reach printer-sim\n" << server->Log();
        if (!bytes) return std::nullopt;
        return simtest::WithoutStatusRequests(*bytes);
    }

    static std::string TempFile(const std::string& name, const Bytes& bytes) {
        const std::string path = server->Dir() + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    static inline std::unique_ptr<simtest::SimProcess> printer;
    static inline std::unique_ptr<AppServer> server;
    static inline bool added = false;
    static inline std::size_t jobs = 0;
};

TEST_F(AppPrint, PwgRasterGivesTheRasterDriversBytes) {
    TestPage oneBit;
    oneBit.width = 639;
    oneBit.bits = 8;
    oneBit.height = 320;
    oneBit.ink = Pattern;
    TestPage gray = oneBit;
    gray.bits = 8;
    gray.height = 120;
    gray.ink = Gradient;
    TestPage narrow = oneBit;  // narrower than the head: printed from its first column
    narrow.width = 400;

    struct Case {
        const char* name;
        std::vector<TestPage> pages;
        std::vector<std::string> attributes;  // IPP job attributes
        const char* filterOptions;           // the same, as the raster driver's keywords
    } cases[] = {
        {"defaults", {oneBit}, {}, ""},
        {"no cut", {oneBit}, {"receipt-cut keyword none"}, "PaperCut=None"},
        {"full cut after each page", {oneBit, narrow}, {"receipt-cut keyword page", "receipt-cut-type keyword full"},
         "PaperCut=Page CutType=Full"},
        {"drawer before, pin 5", {oneBit}, {"receipt-drawer keyword before", "receipt-drawer-pin integer 5"},
         "CashDrawer=Before DrawerPin=Pin5"},
        {"drawer after, pin 2", {oneBit, oneBit}, {"receipt-drawer keyword after", "receipt-drawer-pin integer 2"},
         "CashDrawer=After DrawerPin=Pin2"},
        {"feed 15 mm", {oneBit}, {"receipt-feed-after integer 15"}, "FeedAfter=15mm"},
        {"no feed", {oneBit}, {"receipt-feed-after integer 0"}, "FeedAfter=0mm"},
        {"gray, error diffusion by default", {gray}, {}, "Dithering=ErrorDiffusion"},
        {"gray, threshold", {gray}, {"receipt-dithering keyword threshold"}, "Dithering=Threshold"},
        {"gray, text content thresholds", {gray}, {"print-content-optimize keyword text"}, "Dithering=Threshold"},
        {"gray, photo content diffuses", {gray}, {"print-content-optimize keyword photo"}, "Dithering=ErrorDiffusion"},
        {"gray, error diffusion asked for text", {gray},
         {"print-content-optimize keyword text", "receipt-dithering keyword error-diffusion"},
         "Dithering=ErrorDiffusion"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes raster = MakePwgRaster(c.pages);
        const auto printed = Print(TempFile("page.pwg", raster), "image/pwg-raster", c.attributes);
        ASSERT_TRUE(printed);
        // The same rows as a CUPS raster whose imageable area starts at the
        // printer's left margin (3.96 mm), as a PPD would say.
        std::vector<TestPage> described = c.pages;
        for (TestPage& p : described)
            if (p.width > 576) p.leftMarginPoints = 396 * 72 / 2540.0f;
        const drivertest::FilterRun expected = drivertest::RunFilter(drivertest::MakeRaster(described), c.filterOptions);
        ASSERT_EQ(expected.status, 0) << expected.log;
        EXPECT_EQ(*printed, expected.output) << "the app sent " << printed->size() << " bytes, the raster driver "
                                             << expected.output.size();
    }
}

// A picture for a PNG file: pixels in libpng's order for `colorType`, one
// byte per sample (libpng packs bit depths below 8).
struct Picture {
    unsigned width = 240, height = 240;
    int colorType = PNG_COLOR_TYPE_GRAY, bitDepth = 8;
    std::vector<png_color> palette;
    std::vector<std::uint8_t> samples;
};

// A black square of `side` at (x0, y0) on white; `transparentWhite` leaves
// the white as transparent black pixels instead (alpha 0).
Picture SquarePicture(int colorType, int bitDepth, unsigned width, unsigned height, unsigned x0, unsigned y0,
                      unsigned side, bool transparentWhite = false) {
    Picture p;
    p.width = width, p.height = height, p.colorType = colorType, p.bitDepth = bitDepth;
    const std::uint8_t top = static_cast<std::uint8_t>((1u << bitDepth) - 1);
    if (colorType == PNG_COLOR_TYPE_PALETTE) p.palette = {{200, 30, 30}, {255, 255, 255}, {0, 0, 0}};
    for (unsigned y = 0; y < height; ++y)
        for (unsigned x = 0; x < width; ++x) {
            const bool ink = x >= x0 && x < x0 + side && y >= y0 && y < y0 + side;
            switch (colorType) {
                case PNG_COLOR_TYPE_GRAY: p.samples.push_back(ink ? 0 : top); break;
                case PNG_COLOR_TYPE_PALETTE: p.samples.push_back(ink ? 2 : 1); break;
                case PNG_COLOR_TYPE_GRAY_ALPHA:
                    p.samples.insert(p.samples.end(), {std::uint8_t(ink || transparentWhite ? 0 : 255),
                                                       std::uint8_t(ink || !transparentWhite ? 255 : 0)});
                    break;
                case PNG_COLOR_TYPE_RGB_ALPHA: {
                    const std::uint8_t v = ink || transparentWhite ? 0 : 255;
                    p.samples.insert(p.samples.end(), {v, v, v, std::uint8_t(ink || !transparentWhite ? 255 : 0)});
                    break;
                }
            }
        }
    return p;
}

bool WritePicture(const std::string& path, const Picture& p) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, p.width, p.height, p.bitDepth, p.colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!p.palette.empty()) png_set_PLTE(png, info, p.palette.data(), static_cast<int>(p.palette.size()));
    png_write_info(png, info);
    if (p.bitDepth < 8) png_set_packing(png);
    const std::size_t stride = p.samples.size() / p.height;
    for (unsigned y = 0; y < p.height; ++y) png_write_row(png, &p.samples[y * stride]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

// The receipt's only ink is a solid square of `side` dots from column `left`.
void ExpectOneSolidSquare(const sim::Bitmap& r, double left0, unsigned side) {
    ASSERT_EQ(r.width, 576u);
    const auto [left, right, top, bottom] = drivertest::InkBounds(r);
    ASSERT_LT(left, right) << "no ink";
    EXPECT_NEAR(left, left0, 1.0);
    EXPECT_NEAR(right - left, side, 2.0);
    EXPECT_NEAR(bottom - top, side, 2.0);
    // Solid inside, paper everywhere else.
    EXPECT_EQ(drivertest::InkIn(r, left + 2, right - 2, top + 2, bottom - 2), (right - left - 4) * (bottom - top - 4));
    EXPECT_EQ(drivertest::InkIn(r, 0, r.width, 0, r.height), drivertest::InkIn(r, left, right, top, bottom));
}

// Every kind of PNG prints as its picture: ink where it is black, paper where
// it is white or transparent, upright, centred on the head, at its own size
// or narrowed to the head's 576 dots.
TEST_F(AppPrint, PngPrintsUprightAndSolid) {
    struct Case {
        const char* name;
        Picture picture;
        unsigned x0;    // the square's first column in the picture
        unsigned side;  // the square's side on paper, in dots
    } cases[] = {
        {"1-bit gray", SquarePicture(PNG_COLOR_TYPE_GRAY, 1, 240, 240, 60, 60, 120), 60, 120},
        {"4-bit gray", SquarePicture(PNG_COLOR_TYPE_GRAY, 4, 240, 240, 60, 60, 120), 60, 120},
        {"8-bit gray, off centre", SquarePicture(PNG_COLOR_TYPE_GRAY, 8, 300, 200, 20, 50, 100), 20, 100},
        {"palette", SquarePicture(PNG_COLOR_TYPE_PALETTE, 4, 240, 240, 60, 60, 120), 60, 120},
        {"gray with alpha, white opaque", SquarePicture(PNG_COLOR_TYPE_GRAY_ALPHA, 8, 240, 240, 60, 60, 120), 60, 120},
        {"gray with alpha, transparent around", SquarePicture(PNG_COLOR_TYPE_GRAY_ALPHA, 8, 240, 240, 60, 60, 120, true), 60, 120},
        {"RGBA, transparent around", SquarePicture(PNG_COLOR_TYPE_RGB_ALPHA, 8, 240, 240, 60, 60, 120, true), 60, 120},
        {"as wide as the head", SquarePicture(PNG_COLOR_TYPE_GRAY, 8, 576, 100, 276, 20, 24), 276, 24},
        {"twice the head, halved", SquarePicture(PNG_COLOR_TYPE_GRAY, 1, 1152, 800, 576, 200, 400), 576, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = server->Dir() + "/picture.png";
        std::filesystem::remove(path);
        ASSERT_TRUE(WritePicture(path, c.picture));
        const auto printed = Print(path, "image/png", {});
        ASSERT_TRUE(printed);
        const drivertest::RenderedJob job = drivertest::RenderOnPrinter(*printed);
        ASSERT_EQ(job.receipts.size(), 1u) << ::testing::PrintToString(job.messages);
        EXPECT_THAT(job.messages, Contains("partial cut"));
        // Where the picture's square sits on the head: the picture centred,
        // narrowed by `scale` when wider than the head.
        const unsigned width = std::min(c.picture.width, 576u);
        const double scale = static_cast<double>(width) / c.picture.width;
        ExpectOneSolidSquare(job.receipts[0], (576 - width) / 2 + c.x0 * scale, c.side);
    }
}

// A JPEG wider than tall, gray or colour, prints upright at its own size
// with its square solid and nothing around it.
TEST_F(AppPrint, JpegPrintsUprightAtItsSize) {
    for (const bool colour : {false, true}) {
        SCOPED_TRACE(colour ? "colour" : "gray");
        // A 576 x 300 picture, white with a black 200-dot square from (188, 50), as PNM for cjpeg.
        const unsigned width = 576, height = 300, channels = colour ? 3 : 1;
        std::string pnm = (colour ? "P6\n" : "P5\n") + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
        for (unsigned y = 0; y < height; ++y)
            for (unsigned x = 0; x < width; ++x)
                pnm.append(channels, x >= 188 && x < 388 && y >= 50 && y < 250 ? '\0' : '\xff');
        const std::string source = server->Dir() + "/picture.pnm", jpeg = server->Dir() + "/picture.jpg";
        std::ofstream(source, std::ios::binary) << pnm;
        int status = -1;
        const std::string said = drivertest::Shell("cjpeg -quality 95 -outfile " + jpeg + " " + source, &status);
        ASSERT_EQ(status, 0) << "cjpeg (libjpeg-turbo-progs, see scripts/setup-debian.sh): " << said;
        const auto printed = Print(jpeg, "image/jpeg", {"print-content-optimize keyword text"});
        ASSERT_TRUE(printed);
        const drivertest::RenderedJob job = drivertest::RenderOnPrinter(*printed);
        ASSERT_EQ(job.receipts.size(), 1u) << ::testing::PrintToString(job.messages);
        ExpectOneSolidSquare(job.receipts[0], 188, 200);
    }
}

// Narrowing keeps the aspect and the average gray, never widens, and a
// picture far wider than tall keeps a row.
TEST(Picture, FitToWidthNarrowsOnlyWhatIsWider) {
    struct Case {
        unsigned width, height, maxWidth, outWidth, outHeight;
    } cases[] = {
        {240, 100, 576, 240, 100}, {576, 10, 576, 576, 10}, {1152, 300, 576, 576, 150},
        {1000, 333, 576, 576, 192}, {100000, 3, 576, 576, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        printer_app::GrayPicture p;
        p.width = c.width, p.height = c.height;
        for (unsigned y = 0; y < c.height; ++y)  // black and white columns in pairs: 50 % gray once narrowed
            for (unsigned x = 0; x < c.width; ++x) p.pixels.push_back(x % 2 ? 255 : 0);
        const auto out = printer_app::FitToWidth(p, c.maxWidth);
        EXPECT_EQ(out.width, c.outWidth);
        EXPECT_EQ(out.height, c.outHeight);
        ASSERT_EQ(out.pixels.size(), std::size_t{out.width} * out.height);
        if (c.width == c.outWidth) {
            EXPECT_EQ(out.pixels, p.pixels);
        } else if (c.width % c.outWidth == 0 && (c.width / c.outWidth) % 2 == 0) {
            for (std::uint8_t v : out.pixels) ASSERT_EQ(v, 128);
        }
    }
}

// Each EXIF orientation shows the stored picture as a viewer shows it; a
// phone's JPEG carries it in its EXIF segment and prints upright.
TEST(Picture, JpegsTurnAsTheirExifOrientationSays) {
    printer_app::GrayPicture stored;  // 1 2 3 / 4 5 6
    stored.width = 3, stored.height = 2, stored.pixels = {1, 2, 3, 4, 5, 6};
    const struct {
        unsigned orientation, width;
        std::vector<std::uint8_t> shown;
    } cases[] = {
        {1, 3, {1, 2, 3, 4, 5, 6}}, {2, 3, {3, 2, 1, 6, 5, 4}}, {3, 3, {6, 5, 4, 3, 2, 1}},
        {4, 3, {4, 5, 6, 1, 2, 3}}, {5, 2, {1, 4, 2, 5, 3, 6}}, {6, 2, {4, 1, 5, 2, 6, 3}},
        {7, 2, {6, 3, 5, 2, 4, 1}}, {8, 2, {3, 6, 2, 5, 1, 4}}, {9, 3, {1, 2, 3, 4, 5, 6}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.orientation);
        const auto shown = printer_app::Oriented(stored, c.orientation);
        EXPECT_EQ(shown.width, c.width);
        EXPECT_EQ(shown.height, 6 / c.width);
        EXPECT_EQ(shown.pixels, c.shown);
    }
    // A 64 x 32 JPEG, black on its left half, with an EXIF segment (big- and
    // little-endian) saying 6: shown 32 wide and 64 tall, black on top.
    const std::string dir = ::testing::TempDir();
    std::string pnm = "P5\n64 32\n255\n";
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x) pnm.push_back(x < 32 ? '\0' : '\xff');
    std::ofstream(dir + "wide.pgm", std::ios::binary) << pnm;
    int status = -1;
    drivertest::Shell("cjpeg -quality 100 -outfile " + dir + "wide.jpg " + dir + "wide.pgm", &status);
    ASSERT_EQ(status, 0) << "cjpeg (libjpeg-turbo-progs, see scripts/setup-debian.sh)";
    const auto jpeg = simtest::SimProcess::ReadFile(dir + "wide.jpg");
    for (const bool little : {false, true}) {
        SCOPED_TRACE(little ? "II" : "MM");
        const Bytes tiff = little ? Bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0}
                                  : Bytes{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 1, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0};
        Bytes exif = {0xFF, 0xE1, 0, static_cast<std::uint8_t>(2 + 6 + tiff.size()), 'E', 'x', 'i', 'f', 0, 0};
        exif.insert(exif.end(), tiff.begin(), tiff.end());
        Bytes file(jpeg.begin(), jpeg.begin() + 2);  // SOI, then the segment
        file.insert(file.end(), exif.begin(), exif.end());
        file.insert(file.end(), jpeg.begin() + 2, jpeg.end());
        const std::string path = dir + "turned.jpg";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                    static_cast<std::streamsize>(file.size()));
        std::string error;
        const auto picture = printer_app::ReadJpegPicture(path, &error);
        ASSERT_TRUE(picture) << error;
        ASSERT_EQ(picture->width, 32u);
        ASSERT_EQ(picture->height, 64u);
        EXPECT_LT(picture->At(16, 16), 64);
        EXPECT_GT(picture->At(16, 48), 192);
    }
}

// What is not a PNG, or one too large to read whole, is refused with a reason.
TEST(Picture, ReadPictureRefusesWhatItCannotPrint) {
    const std::string dir = ::testing::TempDir();
    auto write = [&](const std::string& name, const Bytes& bytes) {
        std::ofstream(dir + name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                          static_cast<std::streamsize>(bytes.size()));
        return dir + name;
    };
    // The signature, a header of 20000 x 20000 pixels and no picture data.
    Bytes huge = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&](const char* type, Bytes data) {
        const std::uint32_t length = static_cast<std::uint32_t>(data.size());
        for (int shift : {24, 16, 8, 0}) huge.push_back(static_cast<std::uint8_t>(length >> shift));
        Bytes body(type, type + 4);
        body.insert(body.end(), data.begin(), data.end());
        huge.insert(huge.end(), body.begin(), body.end());
        const uLong crc = crc32(0, body.data(), static_cast<uInt>(body.size()));
        for (int shift : {24, 16, 8, 0}) huge.push_back(static_cast<std::uint8_t>(crc >> shift));
    };
    chunk("IHDR", {0, 0, 0x4E, 0x20, 0, 0, 0x4E, 0x20, 8, 0, 0, 0, 0});
    chunk("IDAT", {});
    chunk("IEND", {});
    struct Case {
        std::string path;
        const char* why;
    } cases[] = {
        {write("text.png", {'h', 'e', 'l', 'l', 'o'}), "not a readable PNG"},
        {write("huge.png", huge), "too large"},
        {write("cut.png", Bytes(huge.begin(), huge.begin() + 20)), "not a readable PNG"},
        {dir + "missing.png", "not a readable PNG"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string error;
        EXPECT_FALSE(printer_app::ReadPngPicture(c.path, &error));
        EXPECT_THAT(error, HasSubstr(c.why));
    }
    // A JPEG cut short decodes partly gray; it is refused, as is what is no JPEG.
    std::string pnm = "P5\n64 64\n255\n";
    for (int i = 0; i < 64 * 64; ++i) pnm.push_back(static_cast<char>(i % 251));
    std::ofstream(dir + "picture.pgm", std::ios::binary) << pnm;
    int status = -1;
    drivertest::Shell("cjpeg -outfile " + dir + "whole.jpg " + dir + "picture.pgm", &status);
    ASSERT_EQ(status, 0) << "cjpeg (libjpeg-turbo-progs, see scripts/setup-debian.sh)";
    const auto whole = simtest::SimProcess::ReadFile(dir + "whole.jpg");
    std::string error;
    ASSERT_TRUE(printer_app::ReadJpegPicture(dir + "whole.jpg", &error)) << error;
    const Case jpegCases[] = {
        {write("text.jpg", {'h', 'e', 'l', 'l', 'o'}), "not a readable JPEG"},
        {write("cut.jpg", Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2))), "damaged"},
        {dir + "missing.jpg", "not a readable JPEG"},
    };
    for (const Case& c : jpegCases) {
        SCOPED_TRACE(c.path);
        EXPECT_FALSE(printer_app::ReadJpegPicture(c.path, &error));
        EXPECT_THAT(error, HasSubstr(c.why));
    }
}

TEST_F(AppPrint, RawEscPosGoesOutAsItIs) {
    const Bytes raw = {0x1B, '@', 'r', 'a', 'w', '\n', 0x1D, 'V', 66, 0};
    const auto printed = Print(TempFile("raw.bin", raw), printer_app::kRawFormat, {});
    ASSERT_TRUE(printed);
    EXPECT_EQ(*printed, raw);
}

TEST_F(AppPrint, IdentifyPrintsTheNameAndTheTestPageDescribesThePrinter) {
    int status = -1;
    const std::string out = IppTool(server->PrinterUri("R80"), "identify-printer-display.test", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(printer->WaitForLine("text: Identify: R80", std::chrono::seconds(30))) << server->Log();

    printer_app::TestPageFacts facts;
    facts.printer = "R80 K\xC3\xBC" "che";
    facts.driver = "receipt_80mm";
    facts.status = printer_app::ReasonsText(PAPPL_PREASON_MEDIA_LOW | PAPPL_PREASON_COVER_OPEN);
    const auto page = drivertest::RenderOnPrinter(printer_app::TestPageBytes(facts));
    EXPECT_THAT(page.messages, Contains("text: Printer: R80 K??che"));
    EXPECT_THAT(page.messages, Contains("text: Head:    576 dots (72 mm) at 203 dpi"));
    EXPECT_THAT(page.messages, Contains("text: Status:  paper low, cover open"));
    EXPECT_THAT(page.messages, Contains("partial cut"));
    ASSERT_EQ(page.receipts.size(), 1u);
}

TEST_F(AppPrint, ClientSubcommandsAndStateStayInTheirPlaces) {
    int status = -1;
    const std::string drivers = server->Run("drivers", &status);
    EXPECT_EQ(status, 0) << drivers;
    for (const char* d : {"receipt_58mm", "receipt_72mm", "receipt_80mm", "receipt_110mm"})
        EXPECT_THAT(drivers, HasSubstr(d));
    const std::string options = server->Run("options -d R80", &status);
    EXPECT_EQ(status, 0) << options;
    EXPECT_THAT(options, HasSubstr("roll_max_80x3276mm"));
    EXPECT_TRUE(fs::exists(server->Dir() + "/spool/receipt-printer-app.state"));
    const std::string printers = server->Run("printers", &status);
    EXPECT_THAT(printers, HasSubstr("R80"));

    // The web interface's printer page offers the job options.
    const std::string page =
        drivertest::Shell("curl -s http://localhost:" + std::to_string(server->Port()) + "/R80/printing", &status);
    for (const char* name : {"receipt-cut", "receipt-cut-type", "receipt-drawer", "receipt-drawer-pin",
                             "receipt-feed-after", "receipt-dithering"})
        EXPECT_THAT(page, HasSubstr(std::string("name=\"") + name + "\""));
    // The add-printer page lists devices; without avahi-daemon that must not end the server.
    drivertest::Shell("curl -s -o /dev/null http://localhost:" + std::to_string(server->Port()) + "/addprinter",
                      &status);
    EXPECT_EQ(status, 0);
    EXPECT_THAT(server->Run("status", &status), HasSubstr("Running"));
}

// identify and testpage, our own subcommands, through the server's socket;
// their failures exit as the shared table says.
TEST_F(AppPrint, IdentifyAndTestPageSubcommands) {
    struct Case {
        const char* args;
        int status;
        const char* says;      // in the subcommand's output
        const char* printed;   // a line printer-sim shows, or null
    };
    const std::string unreachable = "testpage -d R80 -u ipp://127.0.0.1:1/";
    const Case cases[] = {
        {"identify -d R80", 0, "R80: identify sent", "text: Identify: R80"},
        {"testpage -d R80", 0, "R80: test page is job ", "text: Head:    576 dots (72 mm) at 203 dpi"},
        {"testpage -d R80", 0, "R80: test page is job ", "text: Status:  ready"},
        {"testpage -d NoSuchPrinter", 3, "NoSuchPrinter failed", nullptr},
        {unreachable.c_str(), 3, "no server at 127.0.0.1:1", nullptr},
        {"testpage -u http://x/", 2, "-u needs an ipp://HOST:PORT/ URI", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        int status = -1;
        const std::string out = server->Run(c.args, &status);
        EXPECT_EQ(status, c.status) << out;
        EXPECT_THAT(out, HasSubstr(c.says));
        if (c.printed) {
            EXPECT_TRUE(printer->WaitForLine(c.printed, std::chrono::seconds(30))) << server->Log();
        }
    }
}

// As root, PAPPL's client subcommands would start a server of their own when
// none answers; ours refuse instead, and none appears.
TEST_F(AppPrint, RootSubcommandsStartNoServer) {
    if (::getuid() != 0) GTEST_SKIP() << "as root only";
    const fs::path link = fs::path(server->Program()).parent_path() / ("rpa-none-" + std::to_string(::getpid()));
    std::error_code ec;
    fs::create_symlink(fs::read_symlink(server->Program()), link, ec);
    ASSERT_FALSE(ec) << ec.message();
    const std::string socket = "/run/" + link.filename().string() + ".sock";
    for (const char* args : {"printers", "add -d X -m receipt_80mm -v receipt-socket://127.0.0.1:9", "jobs -d X",
                             "submit -d X /dev/null"}) {
        SCOPED_TRACE(args);
        int status = -1;
        const std::string out = drivertest::Shell(link.string() + " " + args, &status);
        EXPECT_EQ(status, 3) << out;
        EXPECT_THAT(out, HasSubstr("no server at " + socket + "; as root this program does not start one"));
        EXPECT_FALSE(fs::exists(socket));
    }
    // Another server is reached with -u as before; PAPPL's printers and autoadd have no -u.
    int status = -1;
    drivertest::Shell(link.string() + " jobs -d R80 -u ipp://localhost:" + std::to_string(server->Port()) + "/",
                      &status);
    EXPECT_EQ(status, 0);
    EXPECT_THAT(drivertest::Shell(link.string() + " printers -u ipp://localhost:1/", &status),
                HasSubstr("-u"));
    EXPECT_EQ(status, 2);
    EXPECT_FALSE(fs::exists(socket));
    fs::remove(link, ec);
}

}  // namespace
