#include "printer-app/Picture.h"

#include <png.h>

#include <algorithm>
#include <cstring>

namespace printer_app {

std::optional<GrayPicture> ReadPngPicture(const std::string& path, std::string* error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    auto fail = [&](const std::string& why) -> std::optional<GrayPicture> {
        if (error) *error = why;
        png_image_free(&image);
        return std::nullopt;
    };
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return fail(std::string("not a readable PNG picture: ") + image.message);
    if (image.width == 0 || image.height == 0) return fail("the PNG picture is empty");
    if (static_cast<std::uint64_t>(image.width) * image.height > kMaxPicturePixels)
        return fail("the PNG picture is too large (" + std::to_string(image.width) + " x " +
                    std::to_string(image.height) + " pixels)");
    // Gray without alpha: libpng lays what is transparent over the
    // background given below, white paper.
    image.format = PNG_FORMAT_GRAY;
    GrayPicture picture;
    picture.width = image.width;
    picture.height = image.height;
    picture.pixels.resize(PNG_IMAGE_SIZE(image));
    png_color white{255, 255, 255};
    if (!png_image_finish_read(&image, &white, picture.pixels.data(), static_cast<png_int_32>(PNG_IMAGE_ROW_STRIDE(image)),
                               nullptr))
        return fail(std::string("the PNG picture cannot be read: ") + image.message);
    png_image_free(&image);
    return picture;
}

GrayPicture FitToWidth(const GrayPicture& picture, unsigned maxWidth) {
    if (picture.width <= maxWidth || maxWidth == 0) return picture;
    const std::uint64_t w = picture.width, h = picture.height;
    GrayPicture out;
    out.width = maxWidth;
    out.height = static_cast<unsigned>(std::max<std::uint64_t>(1, (h * maxWidth + w / 2) / w));
    out.pixels.resize(static_cast<std::size_t>(out.width) * out.height);
    // Source columns [x0, x1) and rows [y0, y1) make each dot; every range
    // holds at least one pixel, since the picture only shrinks.
    std::vector<std::uint64_t> columnSums(picture.width);
    for (unsigned oy = 0; oy < out.height; ++oy) {
        const std::uint64_t y0 = oy * h / out.height;
        const std::uint64_t y1 = std::max(y0 + 1, (oy + std::uint64_t{1}) * h / out.height);
        std::fill(columnSums.begin(), columnSums.end(), 0);
        for (std::uint64_t y = y0; y < y1; ++y) {
            const std::uint8_t* row = &picture.pixels[static_cast<std::size_t>(y * w)];
            for (unsigned x = 0; x < picture.width; ++x) columnSums[x] += row[x];
        }
        for (unsigned ox = 0; ox < out.width; ++ox) {
            const std::uint64_t x0 = ox * w / out.width;
            const std::uint64_t x1 = std::max(x0 + 1, (ox + std::uint64_t{1}) * w / out.width);
            std::uint64_t sum = 0;
            for (std::uint64_t x = x0; x < x1; ++x) sum += columnSums[x];
            const std::uint64_t count = (x1 - x0) * (y1 - y0);
            out.pixels[static_cast<std::size_t>(oy) * out.width + ox] = static_cast<std::uint8_t>((sum + count / 2) / count);
        }
    }
    return out;
}

}  // namespace printer_app
