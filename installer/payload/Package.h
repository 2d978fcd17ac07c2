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
// more, empty names and names holding a zero byte or another control
// character are refused: the entry is
// skipped, logged, and the walk goes on. Every file is written under a
// temporary name and renamed into place once complete (SafeFs.h): a link, a
// special file or another user's file standing where a target file or folder
// should be is left as it is and the entry is refused. A file that cannot be
// written completely (a full disk) is not put in place at all; an entry whose
// stream is corrupt keeps what could be inflated. Counts or sizes that run
// past the end of the data, or an appended header over 50 bytes, make the
// container malformed: the walk stops cleanly and whatever was written stays.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "installer/payload/InstallLog.h"
#include "base/SafeFs.h"

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
inline constexpr int kInflateRefused = -100;   // something not ours stands at the target

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

    // Not a package (or archive) at all: not one entry could be read. A
    // file of some other kind ends so, and so does a package cut off before
    // its first entry.
    bool NotAPackage() const { return malformed && entries.empty(); }
};

// Walks a package held in memory, without inflating anything.
PackageListing ListPackage(std::span<const std::uint8_t> package);
// Walks the appended archive at the end of a file.
PackageListing ListAppendedArchive(const std::filesystem::path& file);
// One line per entry ("<stored size>  <name>", the name escaped, and
// "  (refused: <why>)" for a name the extraction refuses), then
// "<n> of <N> entries" and, for a malformed container, "malformed: <why>".
// For a file that is no package at all only "not a package: <why>".
// Tools print this.
std::string FormatListing(const PackageListing& listing);
// True when the listing is complete and every name would be extracted.
bool ListingIsSound(const PackageListing& listing);

// A name as a terminal may show it: as it is (a backslash, the package's
// folder separator, stays one backslash), with "\xNN" (two upper-case hex
// digits) in place of each control character (C0, DEL, C1) and of each byte
// that is not part of well-formed UTF-8.
std::string EscapeName(std::string_view name);

// Checks and converts a stored name to a relative path below the target
// folder ("\" becomes "/", empty and "." components dropped). Returns false
// with the reason for a name that must be refused.
bool SafeEntryPath(std::string_view name, std::string& relative, std::string* reason = nullptr);

// One file an extraction put in place.
struct WrittenFile {
    std::filesystem::path path;  // folder / relative
    std::string relative;        // below the folder, "/"-separated
    base::FileId id;             // the file as written: later steps read and delete only this one
};

// What an extraction did. `written` lists every file that the extraction
// put in place, in order; the engine reads, changes and deletes only these.
struct ExtractReport {
    std::vector<WrittenFile> written;
    std::vector<std::string> refused;      // stored names refused: unsafe, or something else in the way
    std::vector<std::string> problems;     // "<escaped name>: <why>" for every refused or failed entry
    int failedEntries = 0;                 // entries that could not be written or were corrupt
    bool malformed = false;                // the walk stopped on a malformed container

    std::vector<std::filesystem::path> Paths() const;
    // Every entry made it: nothing failed, nothing was refused, nothing was cut off.
    bool Complete() const { return failedEntries == 0 && refused.empty() && !malformed; }
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
// The same into a folder already open (`folderPath` names it in the report).
ExtractReport ExtractPackage(std::span<const std::uint8_t> package, const base::Dir& folder,
                             const std::filesystem::path& folderPath, ExtractObserver* observer,
                             const InstallLog& log);

// The fallback: walks the archive appended to `selfFile` (the running
// executable) and writes its entries below the install folder. `selectedModel`
// is the model column of the chosen model row (for the legacy rename table).
int ExtractAppendedArchive(const std::filesystem::path& selfFile,
                           const std::filesystem::path& installFolder,
                           std::u16string_view selectedModel, ExtractObserver* observer,
                           const InstallLog& log, ExtractReport* report = nullptr);
int ExtractAppendedArchive(const std::filesystem::path& selfFile, const base::Dir& folder,
                           const std::filesystem::path& folderPath, std::u16string_view selectedModel,
                           ExtractObserver* observer, const InstallLog& log, ExtractReport* report);

// Inflates one zlib stream into `target` (a new file renamed into place; a
// link or another user's file standing there is left alone). `written` is raised by the bytes written; progress is
// written*100/denominator, capped at 100. Returns the codes above.
int InflateEntryToFile(std::span<const std::uint8_t> stream, const std::filesystem::path& target,
                       std::uint64_t& written, std::uint64_t denominator,
                       ExtractObserver* observer);
// The same, reading `storedSize` bytes from `fd` at `offset`.
int InflateEntryToFile(int fd, std::uint64_t offset, std::uint32_t storedSize,
                       const std::filesystem::path& target, std::uint64_t& written,
                       std::uint64_t denominator, ExtractObserver* observer);

// Creates an absolute folder and every missing parent (by the walk of
// SafeFs.h); true when the folder exists afterwards. A relative path gives false.
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
