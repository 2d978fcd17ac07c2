#include "printer-app/Picture.h"

#include <png.h>
// jpeglib.h wants FILE and size_t declared first.
#include <cstdio>
#include <jpeglib.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
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

namespace {

// libjpeg reports errors through error_exit, which must not return: it jumps
// back to ReadJpegPicture with the library's message kept.
struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf back;
    char message[JMSG_LENGTH_MAX];
};

// A warning (damaged or missing picture data) is kept, not printed.
void JpegWarned(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    (*info->err->format_message)(info, errors->message);
}

[[noreturn]] void JpegFailed(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->back, 1);
}

// The orientation tag (0x0112) of the first EXIF segment's first image
// directory; 1 (as stored) when there is none or it cannot be read.
unsigned ExifOrientation(const jpeg_decompress_struct& info) {
    static const JOCTET kExif[] = {'E', 'x', 'i', 'f', 0, 0};
    for (jpeg_saved_marker_ptr m = info.marker_list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 1 || m->data_length < sizeof kExif + 8 ||
            std::memcmp(m->data, kExif, sizeof kExif) != 0)
            continue;
        // The TIFF structure: byte order, 42, the first directory's offset.
        const JOCTET* tiff = m->data + sizeof kExif;
        const std::size_t size = m->data_length - sizeof kExif;
        const bool little = tiff[0] == 'I' && tiff[1] == 'I';
        if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 1;
        auto u16 = [&](std::size_t at) -> unsigned {
            return little ? tiff[at] | tiff[at + 1] << 8 : tiff[at] << 8 | tiff[at + 1];
        };
        auto u32 = [&](std::size_t at) -> std::size_t { return std::size_t{u16(little ? at + 2 : at)} << 16 | u16(little ? at : at + 2); };
        if (u16(2) != 42) return 1;
        const std::size_t directory = u32(4);
        if (directory > size || size - directory < 2) return 1;
        const unsigned entries = u16(directory);
        for (unsigned i = 0; i < entries; ++i) {
            const std::size_t entry = directory + 2 + std::size_t{12} * i;
            if (entry + 12 > size) break;
            // Tag 0x0112, type SHORT, one value: held in the entry itself.
            if (u16(entry) == 0x0112 && u16(entry + 2) == 3) {
                const unsigned value = u16(entry + 8);
                return value >= 1 && value <= 8 ? value : 1;
            }
        }
        return 1;
    }
    return 1;
}

struct File {
    std::FILE* f;
    ~File() {
        if (f) std::fclose(f);
    }
};

}  // namespace

std::optional<GrayPicture> ReadJpegPicture(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<GrayPicture> {
        if (error) *error = why;
        return std::nullopt;
    };
    File file{std::fopen(path.c_str(), "rb")};
    if (!file.f) return fail("not a readable JPEG picture: " + std::string(std::strerror(errno)));
    GrayPicture picture;
    jpeg_decompress_struct info;
    JpegErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = JpegFailed;
    errors.manager.output_message = JpegWarned;
    errors.message[0] = '\0';
    // Nothing with a destructor is made between here and the jump back.
    if (setjmp(errors.back)) {
        jpeg_destroy_decompress(&info);
        return fail(std::string("not a readable JPEG picture: ") + errors.message);
    }
    jpeg_create_decompress(&info);
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_stdio_src(&info, file.f);
    jpeg_read_header(&info, TRUE);
    // The saved segments last only until the picture is decoded.
    const unsigned orientation = ExifOrientation(info);
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        jpeg_destroy_decompress(&info);
        return fail("CMYK JPEG pictures are not printed; save it as gray or RGB");
    }
    if (info.image_width == 0 || info.image_height == 0) {
        jpeg_destroy_decompress(&info);
        return fail("the JPEG picture is empty");
    }
    if (static_cast<std::uint64_t>(info.image_width) * info.image_height > kMaxPicturePixels) {
        jpeg_destroy_decompress(&info);
        return fail("the JPEG picture is too large (" + std::to_string(info.image_width) + " x " +
                    std::to_string(info.image_height) + " pixels)");
    }
    // libjpeg turns colour into its luminance itself.
    info.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&info);
    picture.width = info.output_width;
    picture.height = info.output_height;
    picture.pixels.resize(static_cast<std::size_t>(picture.width) * picture.height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &picture.pixels[static_cast<std::size_t>(info.output_scanline) * picture.width];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    const bool damaged = errors.manager.num_warnings > 0;
    jpeg_destroy_decompress(&info);
    // libjpeg fills what it could not decode with gray; that is not printed.
    if (damaged) return fail(std::string("the JPEG picture is damaged: ") + errors.message);
    if (orientation != 1) return Oriented(picture, orientation);
    return picture;
}

GrayPicture Oriented(const GrayPicture& picture, unsigned orientation) {
    if (orientation < 2 || orientation > 8) return picture;
    const unsigned w = picture.width, h = picture.height;
    const bool turned = orientation >= 5;
    GrayPicture out;
    out.width = turned ? h : w;
    out.height = turned ? w : h;
    out.pixels.resize(picture.pixels.size());
    for (unsigned y = 0; y < out.height; ++y)
        for (unsigned x = 0; x < out.width; ++x) {
            // The stored pixel shown at (x, y).
            unsigned sx = x, sy = y;
            switch (orientation) {
                case 2: sx = w - 1 - x; break;
                case 3: sx = w - 1 - x, sy = h - 1 - y; break;
                case 4: sy = h - 1 - y; break;
                case 5: sx = y, sy = x; break;
                case 6: sx = y, sy = h - 1 - x; break;
                case 7: sx = w - 1 - y, sy = h - 1 - x; break;
                case 8: sx = w - 1 - y, sy = x; break;
            }
            out.pixels[static_cast<std::size_t>(y) * out.width + x] = picture.At(sx, sy);
        }
    return out;
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
