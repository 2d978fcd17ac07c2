#pragma once
// Pictures printed as they are: a PNG or JPEG read to 8-bit gray (white
// behind any transparency, palettes and low bit depths expanded) and
// narrowed to the print head's width when it is wider. The receipt encoder then turns the
// gray into dots, as it does a gray raster page.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace printer_app {

struct GrayPicture {
    unsigned width = 0, height = 0;
    std::vector<std::uint8_t> pixels;  // rows top down, 255 = white paper
    std::uint8_t At(unsigned x, unsigned y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// Pictures of more pixels than this are refused rather than read whole.
inline constexpr std::uint64_t kMaxPicturePixels = 64ull << 20;

// The PNG file at `path` as gray; nullopt with the reason in `error`.
std::optional<GrayPicture> ReadPngPicture(const std::string& path, std::string* error);

// The JPEG file at `path` (baseline or progressive, gray or colour) as gray,
// turned upright as its EXIF orientation says (a phone's photo is stored as
// the camera lay); nullopt with the reason in `error`. CMYK JPEGs are refused.
std::optional<GrayPicture> ReadJpegPicture(const std::string& path, std::string* error);

// `picture` as it is shown under EXIF orientation 1 to 8: 1 as stored, 2
// mirrored, 3 turned half round, 4 flipped, 5 transposed, 6 turned a quarter
// clockwise, 7 transverse, 8 turned a quarter anticlockwise. Other values
// leave it as it is.
GrayPicture Oriented(const GrayPicture& picture, unsigned orientation);

// `picture` no wider than `maxWidth`: a wider one is scaled down, keeping its
// aspect, each dot the average of the pixels it covers; a narrower one is
// returned as it is (never scaled up).
GrayPicture FitToWidth(const GrayPicture& picture, unsigned maxWidth);

}  // namespace printer_app
