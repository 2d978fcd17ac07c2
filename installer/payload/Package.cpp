#include "installer/payload/Package.h"
#include "installer/payload/PosixIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "base/TextCodec.h"

namespace payload {

bool PreadAll(int fd, std::uint64_t offset, void* buf, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd, p, n, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
        offset += static_cast<std::uint64_t>(r);
    }
    return true;
}

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Progress shown through the observer, forwarded only when it changes.
struct Progress {
    ExtractObserver* observer = nullptr;
    int last = -1;
    void Set(double percent) {
        if (!observer) return;
        int v = percent >= 100.0 ? 100 : (percent <= 0.0 ? 0 : static_cast<int>(percent));
        if (v == last) return;
        last = v;
        observer->SetProgress(v);
    }
};

// Where the compressed bytes come from: the package in memory or the
// installer's own file.
class StreamInput {
public:
    virtual ~StreamInput() = default;
    // Provides up to `want` bytes; returns the count, 0 at end, -1 on a read error.
    virtual long Next(const std::uint8_t*& data, std::size_t want) = 0;
};

class MemoryInput final : public StreamInput {
public:
    explicit MemoryInput(std::span<const std::uint8_t> s) : s_(s) {}
    long Next(const std::uint8_t*& data, std::size_t want) override {
        std::size_t n = std::min(want, s_.size() - pos_);
        data = s_.data() + pos_;
        pos_ += n;
        return static_cast<long>(n);
    }

private:
    std::span<const std::uint8_t> s_;
    std::size_t pos_ = 0;
};

class FileInput final : public StreamInput {
public:
    FileInput(int fd, std::uint64_t offset) : fd_(fd), offset_(offset) {}
    long Next(const std::uint8_t*& data, std::size_t want) override {
        want = std::min(want, buf_.size());
        for (;;) {
            ssize_t r = ::pread(fd_, buf_.data(), want, static_cast<off_t>(offset_));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return -1;
            offset_ += static_cast<std::uint64_t>(r);
            data = buf_.data();
            return static_cast<long>(r);
        }
    }

private:
    int fd_;
    std::uint64_t offset_;
    std::array<std::uint8_t, kInflateChunk> buf_{};
};

// zlib's inflate-a-stream-to-a-file loop over `storedSize` input bytes.
int InflateStream(StreamInput& input, std::uint64_t storedSize, base::NewFile& target, std::uint64_t& written,
                  std::uint64_t denominator, Progress& progress) {
    z_stream zs{};
    int rc = inflateInit(&zs);
    if (rc != Z_OK) return rc;
    std::array<std::uint8_t, kInflateChunk> out;
    std::uint64_t remaining = storedSize;
    for (;;) {
        if (remaining == 0) {
            // The stored bytes ended before the stream did: a cut-off entry.
            inflateEnd(&zs);
            return kInflateDataError;
        }
        const std::uint8_t* chunk = nullptr;
        long got = input.Next(chunk, static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kInflateChunk)));
        if (got < 0) {
            inflateEnd(&zs);
            return kInflateFileError;
        }
        if (got == 0) {
            inflateEnd(&zs);
            return kInflateDataError;
        }
        zs.next_in = const_cast<Bytef*>(chunk);
        zs.avail_in = static_cast<uInt>(got);
        remaining -= static_cast<std::uint64_t>(got);
        do {
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&zs, Z_NO_FLUSH);
            if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_STREAM_ERROR) {
                inflateEnd(&zs);
                return kInflateDataError;
            }
            if (rc == Z_MEM_ERROR) {
                inflateEnd(&zs);
                return Z_MEM_ERROR;
            }
            std::size_t have = out.size() - zs.avail_out;
            if (have > 0) {
                if (!target.Write(out.data(), have)) {
                    inflateEnd(&zs);
                    return kInflateFileError;
                }
                written += have;
                if (denominator > 0)
                    progress.Set(static_cast<double>(written) * 100.0 / static_cast<double>(denominator));
            }
            if (rc == Z_STREAM_END) {
                inflateEnd(&zs);
                return kInflateOk;
            }
        } while (zs.avail_out == 0);
    }
}

// Inflates into a new file and puts it in place as `name` in `dir`: complete
// streams, and corrupt ones with what could be inflated; never a file that
// could not be written whole. Returns the inflate result, or kInflateRefused
// when something not ours stands at the name.
int InflateInto(StreamInput& input, std::uint64_t storedSize, const base::Dir& dir, const std::string& name,
                std::uint64_t& written, std::uint64_t denominator, Progress& progress, std::string& reason,
                base::FileId& id) {
    reason = base::WhatStandsAt(dir, name);
    if (!reason.empty()) return kInflateRefused;
    base::NewFile file;
    if (const int error = file.Create(dir); error != 0) {
        reason = "cannot create: " + base::ErrorText(error);
        return kInflateFileError;
    }
    const int result = InflateStream(input, storedSize, file, written, denominator, progress);
    if (result != kInflateOk && result != kInflateDataError) {
        reason = result == kInflateFileError ? "cannot read or write" : "cannot inflate";
        return result;
    }
    if (const int error = file.Commit(name, 0644, &id); error != 0) {
        reason = error == EEXIST ? base::WhatStandsAt(dir, name) : "cannot write: " + base::ErrorText(error);
        if (reason.empty()) reason = "cannot put in place";
        return error == EEXIST ? kInflateRefused : kInflateFileError;
    }
    if (result == kInflateDataError) reason = "corrupt or cut-off data";
    return result;
}

// Inflates into an absolute target, its folder opened by the walk of SafeFs.h.
int InflateToPath(StreamInput& input, std::uint64_t storedSize, const std::filesystem::path& target,
                  std::uint64_t& written, std::uint64_t denominator, ExtractObserver* observer) {
    const std::filesystem::path absolute = std::filesystem::absolute(target);
    const std::string file = absolute.filename().string();
    if (file.empty() || file == "." || file == "..") return kInflateFileError;
    base::Dir dir;
    if (base::OpenFolder(absolute.parent_path(), false, dir) != 0) return kInflateFileError;
    Progress progress{observer};
    std::string reason;
    base::FileId id;
    return InflateInto(input, storedSize, dir, file, written, denominator, progress, reason, id);
}

constexpr std::array<const char*, 6> kConfigNames = {
    "InstallConfig_cn.txt", "InstallConfig_en.txt", "InstallConfig_rs.txt",
    "logo.bmp",             "PrinterName.txt",      "Text.ini"};

const RenameRow* FindRename(std::span<const RenameRow> table, std::string_view file) {
    for (const RenameRow& row : table)
        if (base::EqualsIgnoreCase(row.from, file)) return &row;
    return nullptr;
}

// One entry extracted below `root`.
struct EntryOutcome {
    int result = kInflateOk;
    std::string relative;  // path below the folder ("" when refused)
    std::string fileName;  // last component, for the status line
};

EntryOutcome ExtractOne(StreamInput& input, const PackageEntry& entry, const base::Dir& root,
                        std::span<const RenameRow> renames, std::uint64_t& written,
                        std::uint64_t denominator, Progress& progress,
                        const std::filesystem::path& folder, ExtractReport& report,
                        const InstallLog& log) {
    EntryOutcome o;
    std::string reason;
    auto problem = [&](const std::string& what) {
        report.problems.push_back(EscapeName(o.relative.empty() ? entry.name : o.relative) + ": " + what);
    };
    if (!SafeEntryPath(entry.name, o.relative, &reason)) {
        log.Append("**** Refused entry \"%s\": %s\r\n", EscapeName(entry.name).c_str(), reason.c_str());
        problem(reason);
        report.refused.push_back(entry.name);
        o.result = kInflateRefused;
        return o;
    }
    std::size_t slash = o.relative.rfind('/');
    o.fileName = slash == std::string::npos ? o.relative : o.relative.substr(slash + 1);
    if (const RenameRow* row = FindRename(renames, o.fileName)) {
        o.relative = row->to;
        o.fileName = row->to;
        slash = std::string::npos;
    }
    const std::string subFolder = slash == std::string::npos ? std::string() : o.relative.substr(0, slash);
    base::Dir dir;
    if (const int error = base::OpenSubFolder(root, subFolder, true, dir); error != 0) {
        const bool link = error == ELOOP || error == ENOTDIR;
        reason = link ? "folder " + subFolder + " is a link or not a folder"
                      : "cannot create folder " + subFolder + ": " + base::ErrorText(error);
        o.result = link ? kInflateRefused : kInflateFileError;
    } else {
        base::FileId id;
        o.result = InflateInto(input, entry.storedSize, dir, o.fileName, written, denominator, progress, reason, id);
        if (o.result == kInflateOk || o.result == kInflateDataError)
            report.written.push_back({folder / o.relative, o.relative, id});
    }
    if (o.result == kInflateOk) return o;
    problem(reason);
    if (o.result == kInflateRefused) {
        log.Append("**** Cannot write \"%s\": %s\r\n", EscapeName(o.relative).c_str(), reason.c_str());
        report.refused.push_back(entry.name);
    } else {
        ++report.failedEntries;
        log.Append("**** Entry \"%s\" failed = %d: %s\r\n", EscapeName(entry.name).c_str(), o.result,
                   reason.c_str());
    }
    return o;
}

int OpenOrCreateFolder(const std::filesystem::path& folder, base::Dir& dir) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(folder, ec);
    return ec ? EINVAL : base::OpenFolder(absolute, true, dir);
}

// Walks the appended archive of an open file.
int WalkAppended(int fd, PackageListing& listing, std::uint64_t& archiveOffset,
                 std::uint64_t& fileSize) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) return kAppendedOpenFailed;
    fileSize = static_cast<std::uint64_t>(st.st_size);
    auto fail = [&](const char* why) {
        listing.malformed = true;
        listing.problem = why;
        return kAppendedReadFailed;
    };
    if (fileSize < 8) return fail("file shorter than the archive trailer");
    std::uint8_t trailer[8];
    if (!PreadAll(fd, fileSize - 8, trailer, 8)) return fail("cannot read the trailer");
    listing.declaredCount = Le32(trailer);
    archiveOffset = Le32(trailer + 4);
    if (listing.declaredCount == 0) return fail("no appended archive (entry count 0)");
    const std::uint64_t end = fileSize - 8;
    if (archiveOffset + 4 > end) return fail("archive offset past the end of the file");
    std::uint8_t word[4];
    if (!PreadAll(fd, archiveOffset, word, 4)) return fail("cannot read the header length");
    std::uint32_t headerLength = Le32(word);
    if (headerLength > kMaxAppendedHeader) return fail("header longer than 50 bytes");
    std::uint64_t p = archiveOffset + 4 + headerLength;
    for (std::uint32_t i = 0; i < listing.declaredCount; ++i) {
        std::uint8_t head[8];
        if (p + 8 > end || !PreadAll(fd, p, head, 8)) return fail("entry header past the end");
        std::uint32_t l = Le32(head), s = Le32(head + 4);
        if (l > end - p - 8) return fail("entry name past the end");
        PackageEntry e;
        e.name.resize(l);
        if (l > 0 && !PreadAll(fd, p + 8, e.name.data(), l)) return fail("cannot read an entry name");
        e.storedSize = s;
        e.streamOffset = static_cast<std::size_t>(p + 8 + l);
        if (s > end - e.streamOffset) return fail("entry data past the end");
        listing.entries.push_back(std::move(e));
        p += 8ull + l + s;
    }
    return kAppendedOk;
}

}  // namespace

PackageListing ListPackage(std::span<const std::uint8_t> package) {
    PackageListing listing;
    if (package.size() < 4) {
        listing.malformed = true;
        listing.problem = "shorter than its entry count";
        return listing;
    }
    listing.declaredCount = Le32(package.data());
    std::size_t p = 4;
    const std::size_t size = package.size();
    for (std::uint32_t i = 0; i < listing.declaredCount; ++i) {
        if (size - p < 8) {
            listing.malformed = true;
            listing.problem = "entry header past the end";
            break;
        }
        std::uint32_t l = Le32(package.data() + p), s = Le32(package.data() + p + 4);
        if (l > size - p - 8) {
            listing.malformed = true;
            listing.problem = "entry name past the end";
            break;
        }
        PackageEntry e;
        e.name.assign(reinterpret_cast<const char*>(package.data() + p + 8), l);
        p += 8 + static_cast<std::size_t>(l);
        if (s > size - p) {
            listing.malformed = true;
            listing.problem = "entry data past the end";
            break;
        }
        e.storedSize = s;
        e.streamOffset = p;
        listing.entries.push_back(std::move(e));
        p += s;
    }
    // Another kind of file read as a count: say so rather than where it broke.
    if (listing.NotAPackage() && listing.declaredCount > (size - 4) / 8)
        listing.problem = "it would hold " + std::to_string(listing.declaredCount) + " entries in " +
                          std::to_string(size) + " bytes";
    return listing;
}

PackageListing ListAppendedArchive(const std::filesystem::path& file) {
    PackageListing listing;
    base::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        listing.malformed = true;
        listing.problem = "cannot open the file";
        return listing;
    }
    std::uint64_t offset = 0, size = 0;
    WalkAppended(fd.Get(), listing, offset, size);
    return listing;
}

bool SafeEntryPath(std::string_view name, std::string& relative, std::string* reason) {
    auto refuse = [&](const char* why) {
        if (reason) *reason = why;
        relative.clear();
        return false;
    };
    if (name.empty()) return refuse("empty name");
    if (name.size() > kMaxEntryName) return refuse("name of 256 bytes or more");
    if (name.find('\0') != std::string_view::npos) return refuse("name holds a zero byte");
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        return refuse("name holds a control character");
    std::string n(name);
    std::replace(n.begin(), n.end(), '\\', '/');
    if (n.front() == '/') return refuse("absolute name");
    if (n.size() >= 2 && n[1] == ':' &&
        ((n[0] >= 'A' && n[0] <= 'Z') || (n[0] >= 'a' && n[0] <= 'z')))
        return refuse("drive prefix");
    relative.clear();
    std::size_t start = 0;
    bool lastWasFile = false;
    while (start <= n.size()) {
        std::size_t slash = n.find('/', start);
        std::size_t end = slash == std::string::npos ? n.size() : slash;
        std::string_view component(n.data() + start, end - start);
        lastWasFile = false;
        if (component == "..") return refuse("name leaves the target folder");
        if (!component.empty() && component != ".") {
            if (!relative.empty()) relative += '/';
            relative += component;
            lastWasFile = true;
        }
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (relative.empty() || !lastWasFile) return refuse("name has no file part");
    return true;
}

std::span<const RenameRow> ExtractionRenameTable() { return {}; }
std::span<const RenameRow> AppendedRenameTable(std::u16string_view model) {
    (void)model;  // the "TSC" and "ESC" families carry no legacy names any more
    return {};
}

int InflateEntryToFile(std::span<const std::uint8_t> stream, const std::filesystem::path& target,
                       std::uint64_t& written, std::uint64_t denominator,
                       ExtractObserver* observer) {
    MemoryInput input(stream);
    return InflateToPath(input, stream.size(), target, written, denominator, observer);
}

int InflateEntryToFile(int fd, std::uint64_t offset, std::uint32_t storedSize,
                       const std::filesystem::path& target, std::uint64_t& written,
                       std::uint64_t denominator, ExtractObserver* observer) {
    FileInput input(fd, offset);
    return InflateToPath(input, storedSize, target, written, denominator, observer);
}

std::vector<std::filesystem::path> ExtractReport::Paths() const {
    std::vector<std::filesystem::path> paths;
    for (const WrittenFile& w : written) paths.push_back(w.path);
    return paths;
}

ExtractReport ExtractConfigFiles(std::span<const std::uint8_t> package,
                                 const std::filesystem::path& documents) {
    ExtractReport report;
    PackageListing listing = ListPackage(package);
    report.malformed = listing.malformed;
    base::Dir dir;
    std::uint64_t written = 0;
    Progress none;
    InstallLog noLog;
    for (const PackageEntry& e : listing.entries) {
        bool wanted = std::any_of(kConfigNames.begin(), kConfigNames.end(),
                                  [&](const char* c) { return base::EqualsIgnoreCase(c, e.name); });
        if (!wanted) continue;
        if (!dir && OpenOrCreateFolder(documents, dir) != 0) return report;
        MemoryInput input(package.subspan(e.streamOffset, e.storedSize));
        ExtractOne(input, e, dir, {}, written, package.size(), none, documents, report, noLog);
    }
    return report;
}

ExtractReport ExtractPackage(std::span<const std::uint8_t> package,
                             const std::filesystem::path& installFolder,
                             ExtractObserver* observer, const InstallLog& log) {
    base::Dir dir;  // made only when there is something to write
    if (ListPackage(package).entries.empty()) return ExtractPackage(package, dir, installFolder, observer, log);
    if (const int error = OpenOrCreateFolder(installFolder, dir); error != 0) {
        ExtractReport report;
        PackageListing listing = ListPackage(package);
        log.Append("**** FileCount=%d\r\n", static_cast<int>(listing.declaredCount));
        log.Append("**** Cannot open install folder %s: %s\r\n", EscapeName(installFolder.string()).c_str(),
                   base::ErrorText(error).c_str());
        log.Append("**** Retrace Finish\r\n");
        report.failedEntries = static_cast<int>(listing.entries.size());
        report.malformed = listing.malformed;
        if (!listing.entries.empty())
            report.problems.push_back(EscapeName(installFolder.string()) + ": " + base::ErrorText(error));
        return report;
    }
    return ExtractPackage(package, dir, installFolder, observer, log);
}

ExtractReport ExtractPackage(std::span<const std::uint8_t> package, const base::Dir& dir,
                             const std::filesystem::path& installFolder, ExtractObserver* observer,
                             const InstallLog& log) {
    ExtractReport report;
    PackageListing listing = ListPackage(package);
    const std::uint32_t count = listing.declaredCount;
    log.Append("**** FileCount=%d\r\n", static_cast<int>(count));
    Progress progress{observer};
    std::uint64_t written = 0;
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
        const PackageEntry& e = listing.entries[i];
        MemoryInput input(package.subspan(e.streamOffset, e.storedSize));
        EntryOutcome o = ExtractOne(input, e, dir, ExtractionRenameTable(), written, package.size(), progress,
                                    installFolder, report, log);
        if (observer && !o.fileName.empty()) observer->SetStatusLine(base::Utf8ToUtf16(o.fileName));
        progress.Set(std::floor(static_cast<double>(i + 1) * 100.0 / static_cast<double>(count)));
    }
    if (listing.malformed) {
        report.malformed = true;
        report.problems.push_back("package: " + listing.problem);
        log.Append("**** Package malformed: %s\r\n", listing.problem.c_str());
    }
    log.Append("**** Retrace Finish\r\n");
    return report;
}

int ExtractAppendedArchive(const std::filesystem::path& selfFile,
                           const std::filesystem::path& installFolder,
                           std::u16string_view selectedModel, ExtractObserver* observer,
                           const InstallLog& log, ExtractReport* reportOut) {
    ExtractReport local;
    ExtractReport& report = reportOut ? *reportOut : local;
    base::Dir dir;
    if (const int error = OpenOrCreateFolder(installFolder, dir); error != 0) {
        report.problems.push_back(EscapeName(installFolder.string()) + ": " + base::ErrorText(error));
        ++report.failedEntries;
        return kAppendedReadFailed;
    }
    return ExtractAppendedArchive(selfFile, dir, installFolder, selectedModel, observer, log, &report);
}

int ExtractAppendedArchive(const std::filesystem::path& selfFile, const base::Dir& dir,
                           const std::filesystem::path& installFolder, std::u16string_view selectedModel,
                           ExtractObserver* observer, const InstallLog& log, ExtractReport* reportOut) {
    ExtractReport local;
    ExtractReport& report = reportOut ? *reportOut : local;
    base::UniqueFd fd(::open(selfFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        report.malformed = true;
        report.problems.push_back(EscapeName(selfFile.string()) + ": " + base::ErrorText(errno));
        return kAppendedOpenFailed;
    }
    PackageListing listing;
    std::uint64_t archiveOffset = 0, fileSize = 0;
    int walk = WalkAppended(fd.Get(), listing, archiveOffset, fileSize);
    if (walk == kAppendedOpenFailed) {
        report.malformed = true;
        return walk;
    }
    report.malformed = listing.malformed;
    if (listing.malformed) report.problems.push_back("appended archive: " + listing.problem);
    if (listing.malformed && listing.entries.empty()) return kAppendedReadFailed;
    Progress progress{observer};
    std::uint64_t written = 0;
    const std::uint64_t denominator = fileSize - archiveOffset;
    for (const PackageEntry& e : listing.entries) {
        std::string relative;
        if (observer && SafeEntryPath(e.name, relative))
            observer->SetStatusLine(base::Utf8ToUtf16((installFolder / relative).string()));
        FileInput input(fd.Get(), e.streamOffset);
        ExtractOne(input, e, dir, AppendedRenameTable(selectedModel), written, denominator, progress,
                   installFolder, report, log);
    }
    if (listing.malformed) {
        log.Append("**** Appended archive malformed: %s\r\n", listing.problem.c_str());
        return kAppendedReadFailed;
    }
    return walk;
}

bool CreateFolderPath(const std::filesystem::path& folder) {
    if (!folder.is_absolute()) return false;
    base::Dir dir;
    return base::OpenFolder(folder, true, dir) == 0;
}

std::vector<std::uint8_t> BuildPackage(const std::vector<PackageSource>& sources, int level) {
    std::vector<std::uint8_t> out;
    PutLe32(out, static_cast<std::uint32_t>(sources.size()));
    for (const PackageSource& s : sources) {
        uLongf bound = compressBound(static_cast<uLong>(s.data.size()));
        std::vector<std::uint8_t> z(bound);
        if (compress2(z.data(), &bound, s.data.data(), static_cast<uLong>(s.data.size()), level) != Z_OK)
            bound = 0;
        z.resize(bound);
        PutLe32(out, static_cast<std::uint32_t>(s.name.size()));
        PutLe32(out, static_cast<std::uint32_t>(z.size()));
        out.insert(out.end(), s.name.begin(), s.name.end());
        out.insert(out.end(), z.begin(), z.end());
    }
    return out;
}

std::vector<PackageSource> SourcesFromFolder(const std::filesystem::path& folder) {
    std::vector<PackageSource> sources;
    for (const auto& de : std::filesystem::directory_iterator(folder)) {
        if (!de.is_regular_file()) continue;
        PackageSource s;
        s.name = de.path().filename().string();
        if (s.name.empty() || s.name.front() == '.') continue;  // .gitattributes and the like
        auto data = base::ReadWholeFile(de.path());
        if (!data) continue;
        s.data.assign(data->begin(), data->end());
        sources.push_back(std::move(s));
    }
    std::sort(sources.begin(), sources.end(), [](const PackageSource& a, const PackageSource& b) {
        return base::LessIgnoreCase(a.name, b.name);
    });
    return sources;
}

std::vector<std::uint8_t> BuildAppendedArchive(std::span<const std::uint8_t> package,
                                               std::uint64_t fileSize, std::string_view header) {
    std::vector<std::uint8_t> out;
    PutLe32(out, static_cast<std::uint32_t>(header.size()));
    out.insert(out.end(), header.begin(), header.end());
    std::uint32_t count = package.size() >= 4 ? Le32(package.data()) : 0;
    if (package.size() > 4) out.insert(out.end(), package.begin() + 4, package.end());
    PutLe32(out, count);
    PutLe32(out, static_cast<std::uint32_t>(fileSize));
    return out;
}

std::string EscapeName(std::string_view name) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    auto escape = [&](unsigned char c) {
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    std::size_t i = 0;
    while (i < name.size()) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) escape(c);
            else out += static_cast<char>(c);
            ++i;
            continue;
        }
        // A UTF-8 sequence passes when it is well formed and no C1 control.
        const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        char32_t cp = length == 4 ? c & 0x07 : length == 3 ? c & 0x0F : c & 0x1F;
        bool ok = length >= 2 && c >= 0xC2 && c <= 0xF4 && i + length <= name.size();
        for (std::size_t k = 1; ok && k < length; ++k) {
            const auto cc = static_cast<unsigned char>(name[i + k]);
            ok = (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3F);
        }
        ok = ok && !(length == 3 && cp < 0x800) && !(length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) &&
             !(cp >= 0xD800 && cp <= 0xDFFF) && !(cp >= 0x80 && cp <= 0x9F);
        if (ok) {
            out.append(name.substr(i, length));
            i += length;
        } else {
            escape(c);
            ++i;
        }
    }
    return out;
}

bool ListingIsSound(const PackageListing& listing) {
    if (listing.malformed) return false;
    std::string relative;
    return std::all_of(listing.entries.begin(), listing.entries.end(),
                       [&](const PackageEntry& e) { return SafeEntryPath(e.name, relative); });
}

std::string FormatListing(const PackageListing& listing) {
    if (listing.NotAPackage()) return "not a package: " + listing.problem + "\n";
    std::string out;
    char line[64];
    for (const PackageEntry& e : listing.entries) {
        std::snprintf(line, sizeof line, "%10u  ", static_cast<unsigned>(e.storedSize));
        out += line;
        out += EscapeName(e.name);
        std::string relative, why;
        if (!SafeEntryPath(e.name, relative, &why)) out += "  (refused: " + why + ")";
        out += '\n';
    }
    std::snprintf(line, sizeof line, "%zu of %u entries\n", listing.entries.size(),
                  static_cast<unsigned>(listing.declaredCount));
    out += line;
    if (listing.malformed) out += "malformed: " + listing.problem + "\n";
    return out;
}

}  // namespace payload
