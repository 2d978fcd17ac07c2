#pragma once
// The installer's configuration files, both UTF-16 LE with BOM and CR LF:
//   "InstallConfig_en.txt" / "_cn" / "_rs": six page texts, the title and the
//   names block, sections closed by separator lines ("====================");
//   "PrinterName.txt": the model table, one comma-separated row per model.
// Values longer than their capacity are cut to it; at most 31 model rows are read.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace payload {

inline constexpr std::size_t kPageTextCapacity = 511;   // characters, line feeds included
inline constexpr std::size_t kNameCapacity = 255;
inline constexpr std::size_t kPortNameCapacity = 511;
inline constexpr std::u16string_view kSeparatorRun = u"====================";

enum PageText : int { kWelcomeText = 0, kFolderText, kInstallingText, kSuccessText,
                      kCancelledText, kFailedText };

struct InstallerTexts {
    std::array<std::u16string, 6> pageText;  // lines joined, each ending in "\n"
    std::u16string title;                    // empty: the wizard's built-in caption
    std::u16string productName;              // replaced by the printer name at install
    std::u16string driverName;               // replaced by "<printer name> Driver"
    std::u16string monitorName;              // port monitor name
    std::u16string portName;                 // replaced by the chosen port
    std::u16string programFolderName;        // default install folder <programFiles>/<this>
    std::u16string languageModule;           // printer data value "Language"

    // The values used when no configuration file can be opened.
    static InstallerTexts Defaults();
};

// Parses the bytes of an InstallConfig file (BOM skipped if present). A field
// that the file leaves empty (an empty file, one without separator lines, a
// short names block) keeps its built-in value of Defaults().
InstallerTexts ParseInstallerTexts(std::span<const std::uint8_t> bytes);
// Reads the file (its name matched ignoring case, never through a link or
// from a FIFO or device, at most kConfigFileLimit bytes), fills `texts` and
// deletes the file when it is one of ours. When it cannot be read, `texts`
// gets the defaults and false is returned.
bool ReadInstallerTexts(const std::filesystem::path& file, InstallerTexts& texts);
// "InstallConfig_en.txt", "InstallConfig_cn.txt", "InstallConfig_rs.txt" for
// UiLanguage 0 English, 1 Chinese, 2 Russian.
const char* InstallConfigFileName(int uiLanguage);

inline constexpr std::size_t kModelRows = 32;  // row 0 is never filled
inline constexpr std::size_t kMaxModelLines = kModelRows - 1;

struct ModelRow {
    std::u16string printerName;  // 63
    int hasCutter = 0;
    std::u16string model;        // 31: "POS58", "POS72", "POS80", "POS110"
    std::u16string gpdFile;      // 255
    std::u16string vidPid;       // 63: "vid_0418&pid_5011"
    int resolution = 0;          // dots per inch
    std::u16string hardwareId;   // 31
    int paperWidth = 0;          // tenths of a millimetre
    int paperHeight = 0;
};
inline constexpr std::size_t kPrinterNameCapacity = 63;
inline constexpr std::size_t kModelCapacity = 31;
inline constexpr std::size_t kGpdFileCapacity = 255;
inline constexpr std::size_t kVidPidCapacity = 63;
inline constexpr std::size_t kHardwareIdCapacity = 31;

struct ModelTable {
    std::array<ModelRow, kModelRows> rows;
    // Model-list items 1 ... in file order (item 0, the "Please select model"
    // prompt, belongs to the wizard): the first field exactly as scanned.
    std::vector<std::u16string> listItems;
    // The row the wizard selects after reading: 1 when at least one data line
    // was read, otherwise 0 (nothing selected, printer-name field stays empty).
    int selectedRow = 0;
    // Number of filled rows (rows 1 ... filledRows).
    std::size_t FilledRows() const { return listItems.size(); }
};

// Parses the bytes of "PrinterName.txt". The BOM stays part of the heading
// line, which is skipped like every line containing "//".
ModelTable ParseModelTable(std::span<const std::uint8_t> bytes);
// Reads "<folder>/PrinterName.txt" as ReadInstallerTexts reads its file; a
// missing or unreadable file gives an empty table.
ModelTable ReadModelTable(const std::filesystem::path& folder);

// Most bytes read of a configuration file, the text table or the logo.
inline constexpr std::size_t kConfigFileLimit = 1 << 20;
// Reads one file of the Documents folder by the rules of ReadInstallerTexts.
std::optional<std::string> ReadDocumentsFile(const std::filesystem::path& documents, std::string_view name);

// The start-up's work in Documents: a logo of ours left by an earlier run
// goes, then the package's configuration files are written (ExtractConfigFiles).
// Returns what kept a configuration file out of Documents, one text each
// ("<folder>: a link, not followed", "<name>: <why>"); empty when all went in.
std::vector<std::string> PrepareDocuments(std::span<const std::uint8_t> package,
                                          const std::filesystem::path& documents);

// Leading-decimal-digits conversion: optional sign then digits, anything after
// ignored, no digits gives 0, clamped to the int range.
int LeadingInt(std::u16string_view text);

}  // namespace payload
