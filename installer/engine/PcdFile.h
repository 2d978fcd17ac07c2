#pragma once
// The driver's data file "<printer>GPC.pcd": a fixed 256-byte header, 4 bytes of
// extra data at offset 256, then one 56-byte form record per paper size from
// offset 260. All integers little-endian.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

inline constexpr std::size_t kPcdHeaderSize = 256;
inline constexpr std::size_t kPcdExtraSize = 4;
inline constexpr std::size_t kPcdFormSize = 56;

struct PcdForm {
    std::string name;       // at most 31 ASCII characters
    std::int32_t width = 0;   // thousandths of a millimetre
    std::int32_t height = 0;
    bool operator==(const PcdForm&) const = default;
};

struct PcdData {
    int resolution = 0;     // dots per inch
    std::vector<PcdForm> forms;
};

// Form 0 is "Custom" with the row's default size (tenths of a millimetre);
// the models "POS58", "POS72", "POS80" and "POS110" add three forms of their
// width and 210, 297 and 3276 mm height.
// Sizes are computed in 64 bits and held to the 32-bit range.
std::vector<PcdForm> PcdFormsFor(std::string_view model, int paperWidth, int paperHeight);
// True when a paper size in tenths of a millimetre fits the file: 0 to
// 21,474,836, so that thousandths of a millimetre stay within 32 bits.
bool PaperSizeFits(std::int64_t paperWidth, std::int64_t paperHeight);

std::vector<std::uint8_t> BuildPcdFile(int resolution, const std::vector<PcdForm>& forms);
// Writes the file (a new file renamed into place); false when the paper size
// does not fit or the file cannot be written completely.
bool WritePcdFile(const std::filesystem::path& file, std::string_view model, int resolution,
                  int paperWidth, int paperHeight);
// Reads back resolution and forms; nullopt for a file that is not a PCD file.
std::optional<PcdData> ParsePcdFile(const std::vector<std::uint8_t>& bytes);
std::optional<PcdData> ReadPcdFile(const std::filesystem::path& file);

}  // namespace engine
