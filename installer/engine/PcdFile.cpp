#include "installer/engine/PcdFile.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "base/SafeFs.h"

namespace engine {
namespace {

// The header as the driver expects it; the per-install fields are patched in.
constexpr std::array<std::uint8_t, kPcdHeaderSize> kHeaderTemplate = {
    0x50, 0x6C, 0x6F, 0x74, 0x0A, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x52, 0x4B, 0x35, 0x32,
    0x30, 0x30, 0x20, 0x50, 0x72, 0x69, 0x6E, 0x74, 0x65, 0x72, 0x20, 0x44, 0x72, 0x69, 0x76, 0x65,
    0x72, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5C, 0x4B, 0x03, 0x00,
    0x40, 0x4B, 0x4C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xCB, 0x00, 0x00, 0x00, 0xCB, 0x00, 0x00, 0x00,
    0xCB, 0x00, 0xCB, 0x00, 0x00, 0x00, 0x64, 0x00, 0x08, 0x00, 0x0F, 0x27, 0x80, 0x00, 0x04, 0x00,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x9A, 0x1A, 0x00, 0x00, 0xEA, 0x0B, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xD4, 0x08, 0x00, 0x00, 0x96, 0x19, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x12, 0x07, 0x00, 0x00, 0xF4, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD0, 0x07, 0x00, 0x00,
    0x92, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5A, 0x14, 0x00, 0x00, 0x34, 0x08, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x8E, 0x12, 0x00, 0x00, 0xEC, 0x13, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xFC, 0x0C, 0x00, 0x00, 0x92, 0x0D, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00,
    0x10, 0x27, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x8E, 0x05, 0x00, 0x00, 0xB8, 0x03, 0x00, 0x00,
    0x13, 0x03, 0x00, 0x00, 0xEF, 0x01, 0x00, 0x00, 0x44, 0x01, 0x00, 0x00, 0xF8, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x38, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
};

void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
std::uint32_t Get16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }
std::uint32_t Get32(const std::uint8_t* p) { return Get16(p) | (Get16(p + 2) << 16); }

}  // namespace

bool PaperSizeFits(std::int64_t paperWidth, std::int64_t paperHeight) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max() / 100;
    return paperWidth >= 0 && paperWidth <= kMax && paperHeight >= 0 && paperHeight <= kMax;
}

std::vector<PcdForm> PcdFormsFor(std::string_view model, int paperWidth, int paperHeight) {
    // Thousandths of a millimetre, computed in 64 bits and held to 32.
    auto thousandths = [](int tenths) {
        return static_cast<std::int32_t>(std::clamp<std::int64_t>(std::int64_t{tenths} * 100,
                                                                  std::numeric_limits<std::int32_t>::min(),
                                                                  std::numeric_limits<std::int32_t>::max()));
    };
    std::vector<PcdForm> forms;
    forms.push_back({"Custom", thousandths(paperWidth), thousandths(paperHeight)});
    int width = 0;
    if (model == "POS58") width = 58;
    else if (model == "POS72") width = 72;
    else if (model == "POS80") width = 80;
    else if (model == "POS110") width = 110;
    if (width != 0) {
        for (int height : {210, 297, 3276}) {
            forms.push_back({std::to_string(width) + " x " + std::to_string(height) + "mm",
                             width * 1000, height * 1000});
        }
    }
    return forms;
}

std::vector<std::uint8_t> BuildPcdFile(int resolution, const std::vector<PcdForm>& forms) {
    const auto count = static_cast<std::uint32_t>(forms.size());
    const auto dpi = static_cast<std::uint32_t>(resolution);
    // Header, extra data and form records are laid out in one zeroed buffer
    // of the final size, then filled in place.
    std::vector<std::uint8_t> out(kPcdHeaderSize + kPcdExtraSize + kPcdFormSize * forms.size(), 0);
    std::copy(kHeaderTemplate.begin(), kHeaderTemplate.end(), out.begin());
    std::uint8_t* h = out.data();
    Put16(h + 0x0A, static_cast<std::uint32_t>(kPcdExtraSize + kPcdFormSize * count));
    Put32(h + 0x48, dpi);
    Put32(h + 0x4C, dpi);
    Put16(h + 0x50, dpi);
    Put16(h + 0x52, dpi);
    Put16(h + 0xF0, count);
    Put32(h + 0xF4, kPcdHeaderSize + kPcdExtraSize);
    Put16(h + 0xF8, 2);
    Put32(h + 0xFC, kPcdHeaderSize);
    // Extra data: the u16 values 0 and 1.
    Put16(h + kPcdHeaderSize + 2, 1);
    std::uint8_t* rec = h + kPcdHeaderSize + kPcdExtraSize;
    for (const PcdForm& form : forms) {
        std::memcpy(rec, form.name.data(), std::min<std::size_t>(form.name.size(), 31));
        Put32(rec + 32, static_cast<std::uint32_t>(form.width));
        Put32(rec + 36, static_cast<std::uint32_t>(form.height));
        rec += kPcdFormSize;
    }
    return out;
}

bool WritePcdFile(const std::filesystem::path& file, std::string_view model, int resolution,
                  int paperWidth, int paperHeight) {
    if (!PaperSizeFits(paperWidth, paperHeight)) return false;
    const auto bytes = BuildPcdFile(resolution, PcdFormsFor(model, paperWidth, paperHeight));
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return base::WriteFile(file, text, 0644) == 0;
}

std::optional<PcdData> ParsePcdFile(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < kPcdHeaderSize || std::memcmp(bytes.data(), "Plot", 4) != 0) return std::nullopt;
    const std::uint8_t* h = bytes.data();
    PcdData data;
    data.resolution = static_cast<int>(Get32(h + 0x48));
    const std::uint32_t count = Get16(h + 0xF0);
    const std::uint32_t recordSize = Get16(h + 0xF2);
    const std::uint32_t first = Get32(h + 0xF4);
    if (recordSize < 40) return std::nullopt;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t at = first + static_cast<std::uint64_t>(i) * recordSize;
        if (at + recordSize > bytes.size()) return std::nullopt;
        const std::uint8_t* r = h + at;
        PcdForm form;
        form.name.assign(reinterpret_cast<const char*>(r), strnlen(reinterpret_cast<const char*>(r), 32));
        form.width = static_cast<std::int32_t>(Get32(r + 32));
        form.height = static_cast<std::int32_t>(Get32(r + 36));
        data.forms.push_back(std::move(form));
    }
    return data;
}

std::optional<PcdData> ReadPcdFile(const std::filesystem::path& file) {
    base::Dir folder;
    if (base::OpenFolder(file.parent_path(), false, folder) != 0) return std::nullopt;
    const auto text = base::ReadFileAt(folder, file.filename().string(), 1 << 20);
    if (!text) return std::nullopt;
    return ParsePcdFile(std::vector<std::uint8_t>(text->begin(), text->end()));
}

}  // namespace engine
