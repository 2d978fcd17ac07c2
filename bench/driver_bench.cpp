// Raster driver throughput: the driver's page loop (RunRasterJob: CUPS raster
// in, ESC/POS out to a sink that drops it) against a loop that only reads the
// same raster with cupsRasterReadPixels, on a 1 m receipt (8,000 rows of 576
// dots at 203 dpi), measured in the same run.
//
//   driver_bench [ROUNDS]
//
// Prints the median time of each over ROUNDS alternating rounds, the ratio
// read-only time / driver time (1-bit input should reach 0.7, 8-bit with
// error diffusion 0.3), and how much faster than the printer (1 m at
// 250 mm/s: 4 s) the driver is.
#include <cups/raster.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "driver/raster/RasterJob.h"

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr unsigned kWidth = 576, kRows = 8000;

// A receipt: lines of text-like glyph cells (24 of every 30 rows), blank
// gaps, and in the 8-bit variant a photograph-like picture of 1,200 rows.
Bytes MakeReceipt(unsigned bits) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> glyphs(64 * 21 * 10);
    for (auto& g : glyphs) g = rng() % 3 == 0;
    Bytes out;
    cups_raster_t* r = cupsRasterOpenIO(
        [](void* ctx, unsigned char* data, std::size_t n) -> ssize_t {
            static_cast<Bytes*>(ctx)->insert(static_cast<Bytes*>(ctx)->end(), data, data + n);
            return static_cast<ssize_t>(n);
        },
        &out, CUPS_RASTER_WRITE_COMPRESSED);
    cups_page_header2_t h{};
    h.HWResolution[0] = h.HWResolution[1] = 203;
    h.PageSize[0] = 227;
    h.PageSize[1] = 2835;
    h.cupsWidth = kWidth;
    h.cupsHeight = kRows;
    h.cupsBitsPerColor = h.cupsBitsPerPixel = bits;
    h.cupsBytesPerLine = kWidth * bits / 8;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = bits == 1 ? CUPS_CSPACE_K : CUPS_CSPACE_SW;
    h.cupsNumColors = 1;
    cupsRasterWriteHeader2(r, &h);
    Bytes row(h.cupsBytesPerLine);
    std::vector<unsigned> lineText(48);
    for (unsigned y = 0; y < kRows; ++y) {
        const unsigned line = y / 30, inLine = y % 30;
        if (inLine == 0)
            for (auto& c : lineText) c = (line * 31 + rng()) % 80 < 55 ? rng() % 64 : 64;  // 64: a space
        const bool picture = bits == 8 && y >= 2000 && y < 3200;
        for (unsigned x = 0; x < kWidth; ++x) {
            unsigned ink = 0;
            if (picture) {
                ink = (x * 255 / kWidth + (y - 2000) / 6 + rng() % 24) % 256;
            } else if (inLine >= 1 && inLine < 22 && x % 12 >= 1 && x % 12 < 11) {
                const unsigned c = lineText[x / 12];
                ink = c < 64 && glyphs[(c * 21 + inLine - 1) * 10 + x % 12 - 1] ? 255 : 0;
            }
            if (bits == 8) {
                row[x] = static_cast<std::uint8_t>(255 - ink);
            } else if (x % 8 == 0) {
                row[x / 8] = 0;
            }
            if (bits == 1 && ink) row[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
        }
        cupsRasterWritePixels(r, row.data(), h.cupsBytesPerLine);
    }
    cupsRasterClose(r);
    return out;
}

struct MemoryInput {
    const Bytes* data;
    std::size_t at = 0;
};

ssize_t ReadMemory(void* ctx, unsigned char* buffer, std::size_t n) {
    auto* in = static_cast<MemoryInput*>(ctx);
    n = std::min(n, in->data->size() - in->at);
    std::copy_n(in->data->data() + in->at, n, buffer);
    in->at += n;
    return static_cast<ssize_t>(n);
}

class CountingSink final : public receipt::ByteSink {
public:
    std::size_t bytes = 0;
    bool Write(std::span<const std::uint8_t> b) override {
        bytes += b.size();
        return true;
    }
};

double ReadOnly(const Bytes& raster, unsigned& check) {
    const auto start = Clock::now();
    MemoryInput in{&raster};
    cups_raster_t* r = cupsRasterOpenIO(ReadMemory, &in, CUPS_RASTER_READ);
    cups_page_header2_t h;
    Bytes row;
    while (cupsRasterReadHeader2(r, &h)) {
        row.resize(h.cupsBytesPerLine);
        for (unsigned y = 0; y < h.cupsHeight; ++y) {
            cupsRasterReadPixels(r, row.data(), h.cupsBytesPerLine);
            check += row[y % row.size()];
        }
    }
    cupsRasterClose(r);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Driver(const Bytes& raster, const char* dithering, std::size_t& written) {
    const auto start = Clock::now();
    MemoryInput in{&raster};
    cups_raster_t* r = cupsRasterOpenIO(ReadMemory, &in, CUPS_RASTER_READ);
    receipt::RasterJobSettings settings;
    settings.headDots = 576;
    settings.options = [dithering](std::string_view key) -> std::optional<std::string> {
        if (key == "Dithering") return std::string(dithering);
        return std::nullopt;
    };
    CountingSink sink;
    if (receipt::RunRasterJob(r, settings, sink) != receipt::RasterJobResult::Printed) std::abort();
    cupsRasterClose(r);
    written = sink.bytes;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    std::printf("driver_bench: 1 m receipt, %u rows x %u dots, %d rounds (median)\n", kRows, kWidth, rounds);
    struct Case {
        const char* name;
        unsigned bits;
        const char* dithering;
        double minimum;
    } cases[] = {
        {"1-bit", 1, "ErrorDiffusion", 0.7},
        {"8-bit, error diffusion", 8, "ErrorDiffusion", 0.3},
        {"8-bit, threshold", 8, "Threshold", 0.3},
    };
    bool ok = true;
    unsigned check = 0;
    for (const Case& c : cases) {
        const Bytes raster = MakeReceipt(c.bits);
        std::vector<double> read, driver;
        std::size_t written = 0;
        for (int i = 0; i < rounds; ++i) {
            read.push_back(ReadOnly(raster, check));
            driver.push_back(Driver(raster, c.dithering, written));
        }
        const double tr = Median(read), td = Median(driver);
        const double ratio = tr / td, faster = 4.0 / td;
        std::printf("  %-24s raster %7.0f KiB  read only %7.2f ms  driver %7.2f ms (%zu bytes out)  ratio %.2f (>= %.1f)"
                    "  %.0fx faster than the printer (>= 100)\n",
                    c.name, raster.size() / 1024.0, tr * 1e3, td * 1e3, written, ratio, c.minimum, faster);
        ok = ok && ratio >= c.minimum && faster >= 100;
    }
    std::printf("%s (check %u)\n", ok ? "all figures reached" : "FIGURES NOT REACHED", check & 1u);
    return ok ? 0 : 1;
}
