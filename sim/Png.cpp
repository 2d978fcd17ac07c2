#include "sim/Png.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

// libpng reports errors by longjmp; this frame holds nothing that needs a destructor.
bool WriteRows(std::FILE* file, const Bitmap& bitmap, const std::vector<std::uint8_t>& packed, std::size_t stride,
               std::string* error) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, &info);
        if (error) *error = "out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        if (error) *error = "libpng failed to write the picture";
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, bitmap.width, bitmap.height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // 203 dots per inch = 7992 per metre.
    png_set_pHYs(png, info, 7992, 7992, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    for (unsigned y = 0; y < bitmap.height; ++y) {
        png_write_row(png, const_cast<png_bytep>(packed.data() + y * stride));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WritePng(const std::string& path, const Bitmap& bitmap, std::string* error) {
    if (bitmap.width == 0 || bitmap.height == 0) {
        if (error) *error = "an empty picture";
        return false;
    }
    // Gray 1 bit: 1 is white, so ink is a 0 bit.
    const std::size_t stride = (bitmap.width + 7) / 8;
    std::vector<std::uint8_t> packed(stride * bitmap.height, 0xFF);
    for (unsigned y = 0; y < bitmap.height; ++y) {
        for (unsigned x = 0; x < bitmap.width; ++x) {
            if (bitmap.Ink(x, y)) packed[y * stride + x / 8] &= static_cast<std::uint8_t>(~(0x80u >> (x % 8)));
        }
    }
    std::FILE* file = std::fopen(path.c_str(), "wbx");  // never over an existing file
    if (!file) {
        if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = WriteRows(file, bitmap, packed, stride, error);
    if (std::fclose(file) != 0 && ok) {
        if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return ok;
}

std::optional<Bitmap> ReadPng(const std::string& path, std::string* error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        if (error) *error = path + ": " + image.message;
        return std::nullopt;
    }
    image.format = PNG_FORMAT_GRAY;
    std::vector<std::uint8_t> gray(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, gray.data(), 0, nullptr)) {
        if (error) *error = path + ": " + image.message;
        png_image_free(&image);
        return std::nullopt;
    }
    Bitmap bitmap(image.width, image.height);
    for (std::size_t i = 0; i < bitmap.dots.size(); ++i) bitmap.dots[i] = gray[i] < 128 ? 1 : 0;
    return bitmap;
}

}  // namespace sim
