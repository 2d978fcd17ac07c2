#pragma once
// The installer's payload package: the files the installer carries inside its
// own executable (an ELF section) or, as a fallback, in an archive appended to
// the executable.
//
// Package layout (all integers unsigned 32-bit little-endian):
//   N (entry count), then N entries back to back:
//   L (name length), S (stored size), L name bytes, S bytes of one zlib stream.
// Appended archive: ... [A: H, H header bytes (H <= 50), N entries] [N] [A]
// where the last 8 bytes of the file hold N and the archive offset A.
//
// Entry names are bytes (UTF-8 on Linux). A backslash in a name is a folder
// separator and becomes "/". Names that would leave the target folder (a ".."
// component, an absolute name, a drive or root prefix), names of 256 bytes or
// more, empty names and names holding a zero byte are refused: the entry is
// skipped, logged, and the walk goes on. A symbolic link (or any non-regular
// file) standing where a target file or folder should be is never followed:
// the entry is refused. Counts or sizes that run past the end of the data, or
// an appended header over 50 bytes, make the container malformed: the walk
// stops cleanly and whatever was written stays.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "installer/payload/InstallLog.h"

namespace payload {

// Name of the ELF section of the lumbra executable that holds the package.
inline constexpr const char* kPackageSection = ".lumbra_package";

inline constexpr std::size_t kInflateChunk = 16384;  // input and output block size
inline constexpr std::size_t kMaxEntryName = 255;    // longest accepted name, in bytes
inline constexpr std::uint32_t kMaxAppendedHeader = 50;

// Result codes of InflateEntryToFile (zlib codes other than these pass through).
inline constexpr int kInflateOk = 0;
inline constexpr int kInflateFileError = -1;   // target not creatable, write failed, read failed
inline constexpr int kInflateDataError = -3;   // corrupt or cut-off stream, preset dictionary
inline constexpr int kInflateRefused = -100;   // unsafe target (symlink, non-regular file)

// Results of ExtractAppendedArchive.
inline constexpr int kAppendedOk = 0;
inline constexpr int kAppendedOpenFailed = -1;  // own file not openable / no attributes
inline constexpr int kAppendedReadFailed = -2;  // seek/read failed, N = 0, malformed archive

// Receives progress and the status line. The wizard implements it with
// blocking calls into its window thread; tests record the calls. A null
// observer means "no progress bar exists": nothing is shown.
struct ExtractObserver {
    virtual ~ExtractObserver() = default;
    // 0 ... 100; only called when the value changes.
    virtual void SetProgress(int percent) = 0;
    // The panel's status line; the panel repaints at once.
    virtual void SetStatusLine(const std::u16string& text) = 0;
};

// The package block kept for the life of the process: a copy of the section
// in a block 16 bytes longer than the package, zero-filled. Empty when the
// executable carries no package section.
struct InstallPackage {
    std::vector<std::uint8_t> block;
    std::size_t size = 0;

    bool Empty() const { return size == 0; }
    std::span<const std::uint8_t> Bytes() const { return {block.data(), size}; }
};

// Reads the package section of the running executable (/proc/self/exe).
InstallPackage LoadPackage();
// Reads the package section of the given ELF file (32/64-bit, little-endian).
// A missing file, a non-ELF file or a file without the section give an empty package.
InstallPackage LoadPackageFromFile(const std::filesystem::path& executable);
// Wraps raw package bytes (tests, tools).
InstallPackage PackageFromBytes(std::span<const std::uint8_t> bytes);

// One entry as found by the walk.
struct PackageEntry {
    std::string name;             // as stored (bytes)
    std::uint32_t storedSize = 0; // S
    std::size_t streamOffset = 0; // position of the stream in the package or file
};

struct PackageListing {
    std::uint32_t declaredCount = 0;      // N as stored
    std::vector<PackageEntry> entries;    // entries reached before any malformation
    bool malformed = false;               // stopped early: counts or sizes run past the data
    std::string problem;                  // why it stopped, for tools and logs
};

// Walks a package held in memory, without inflating anything.
PackageListing ListPackage(std::span<const std::uint8_t> package);
// Walks the appended archive at the end of a file.
PackageListing ListAppendedArchive(const std::filesystem::path& file);
// One line per entry ("<stored size>  <name>"), then "<n> of <N> entries" and,
// for a malformed container, "malformed: <why>". Tools print this.
std::string FormatListing(const PackageListing& listing);

// Checks and converts a stored name to a relative path below the target
// folder ("\" becomes "/", empty and "." components dropped). Returns false
// with the reason for a name that must be refused.
bool SafeEntryPath(std::string_view name, std::string& relative, std::string* reason = nullptr);

// What an extraction did. `written` lists every file that the extraction
// created or truncated, in order; the engine's clean-up deletes only these.
struct ExtractReport {
    std::vector<std::filesystem::path> written;
    std::vector<std::string> refused;      // stored names refused as unsafe
    int failedEntries = 0;                 // entries whose inflate returned an error
    bool malformed = false;                // the walk stopped on a malformed container
};

// Writes the installer's configuration entries ("InstallConfig_cn.txt",
// "InstallConfig_en.txt", "InstallConfig_rs.txt", "logo.bmp",
// "PrinterName.txt", "Text.ini", matched ignoring case) into the Documents
// folder under their stored names. The folder is created when missing.
ExtractReport ExtractConfigFiles(std::span<const std::uint8_t> package,
                                 const std::filesystem::path& documents);

// Writes every entry below the install folder, logs "**** FileCount=%d\r\n"
// and "**** Retrace Finish\r\n", sets the status line to each entry's file
// name and the progress to (i+1)*100/N after each entry.
ExtractReport ExtractPackage(std::span<const std::uint8_t> package,
                             const std::filesystem::path& installFolder,
                             ExtractObserver* observer, const InstallLog& log);

// The fallback: walks the archive appended to `selfFile` (the running
// executable) and writes its entries below the install folder. `selectedModel`
// is the model column of the chosen model row (for the legacy rename table).
int ExtractAppendedArchive(const std::filesystem::path& selfFile,
                           const std::filesystem::path& installFolder,
                           std::u16string_view selectedModel, ExtractObserver* observer,
                           const InstallLog& log, ExtractReport* report = nullptr);

// Inflates one zlib stream into `target` (created or truncated, never through
// a symbolic link). `written` is raised by the bytes written; progress is
// written*100/denominator, capped at 100. Returns the codes above.
int InflateEntryToFile(std::span<const std::uint8_t> stream, const std::filesystem::path& target,
                       std::uint64_t& written, std::uint64_t denominator,
                       ExtractObserver* observer);
// The same, reading `storedSize` bytes from `fd` at `offset`.
int InflateEntryToFile(int fd, std::uint64_t offset, std::uint32_t storedSize,
                       const std::filesystem::path& target, std::uint64_t& written,
                       std::uint64_t denominator, ExtractObserver* observer);

// Creates an absolute folder and every missing parent; true when the folder
// exists afterwards. A relative path gives false.
bool CreateFolderPath(const std::filesystem::path& folder);

// Legacy file names renamed on extraction. Both tables are empty: no shipped
// entry matches them.
struct RenameRow {
    const char* from;
    const char* to;
};
std::span<const RenameRow> ExtractionRenameTable();
std::span<const RenameRow> AppendedRenameTable(std::u16string_view model);  // "TSC" / "ESC"

// Building packages (the package tool, tests, benchmarks).
struct PackageSource {
    std::string name;
    std::vector<std::uint8_t> data;  // uncompressed contents
};
// Compresses each source with zlib and lays the entries out in the given order.
std::vector<std::uint8_t> BuildPackage(const std::vector<PackageSource>& sources, int level = 9);
// Entries of a package made from a folder: the files directly in it, sorted
// case-insensitively by name (the order the shipped package uses).
std::vector<PackageSource> SourcesFromFolder(const std::filesystem::path& folder);
// An appended archive (header H bytes of `header`, then the package entries,
// then N and A) for a file of `fileSize` bytes.
std::vector<std::uint8_t> BuildAppendedArchive(std::span<const std::uint8_t> package,
                                               std::uint64_t fileSize,
                                               std::string_view header = "LUMBRA");

}  // namespace payload
