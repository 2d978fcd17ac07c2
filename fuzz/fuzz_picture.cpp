// Pictures a client sends to the printer application: any file is read as a
// PNG and as a JPEG, or refused with a reason; what is read holds one gray
// byte per pixel, and narrowing it to a print head keeps that true.
//
// Input: the file's bytes.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "printer-app/Picture.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

const std::string& Path() {
    static const std::string path = "/tmp/fuzz-picture-" + std::to_string(::getpid());
    return path;
}

void Examine(const std::optional<printer_app::GrayPicture>& picture, const std::string& error) {
    if (!picture) {
        Check(!error.empty());
        return;
    }
    Check(picture->width > 0 && picture->height > 0);
    Check(static_cast<std::uint64_t>(picture->width) * picture->height <= printer_app::kMaxPicturePixels);
    Check(picture->pixels.size() == static_cast<std::size_t>(picture->width) * picture->height);
    const printer_app::GrayPicture narrow = printer_app::FitToWidth(*picture, 576);
    Check(narrow.width == std::min(picture->width, 576u) && narrow.height > 0);
    Check(narrow.height <= picture->height);
    Check(narrow.pixels.size() == static_cast<std::size_t>(narrow.width) * narrow.height);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(Path().c_str(), "wb");
    if (!f) return 0;
    const bool written = std::fwrite(data, 1, size, f) == size;
    std::fclose(f);
    if (!written) return 0;
    std::string error;
    Examine(printer_app::ReadPngPicture(Path(), &error), error);
    error.clear();
    Examine(printer_app::ReadJpegPicture(Path(), &error), error);
    ::unlink(Path().c_str());
    return 0;
}
