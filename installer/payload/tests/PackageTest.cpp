// Package walk, extraction, safety rules, appended archive, log and folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <random>

#include "installer/payload/InstallLog.h"
#include "installer/payload/Package.h"
#include "installer/payload/SystemPaths.h"
#include "installer/payload/tests/PayloadTestSupport.h"

namespace payload::test {
namespace {

std::vector<std::uint8_t> Deflate(std::string_view data, const char* dictionary = nullptr) {
    z_stream zs{};
    deflateInit(&zs, 9);
    if (dictionary)
        deflateSetDictionary(&zs, reinterpret_cast<const Bytef*>(dictionary), static_cast<uInt>(std::strlen(dictionary)));
    std::vector<std::uint8_t> out(deflateBound(&zs, data.size()) + 64);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// A package written field by field, so that tests can lie about counts and sizes.
struct RawEntry {
    std::string name;
    std::vector<std::uint8_t> stream;
    std::int64_t storedSize = -1;  // -1: the stream's length
};
void Put32(std::vector<std::uint8_t>& o, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) o.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
std::vector<std::uint8_t> RawPackage(std::uint32_t count, const std::vector<RawEntry>& entries) {
    std::vector<std::uint8_t> o;
    Put32(o, count);
    for (const RawEntry& e : entries) {
        Put32(o, static_cast<std::uint32_t>(e.name.size()));
        Put32(o, static_cast<std::uint32_t>(e.storedSize < 0 ? e.stream.size() : e.storedSize));
        o.insert(o.end(), e.name.begin(), e.name.end());
        o.insert(o.end(), e.stream.begin(), e.stream.end());
    }
    return o;
}
std::string RandomText(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, ' ');
    for (char& c : s) c = static_cast<char>('a' + rng() % 26);
    return s;
}

TEST(Package, EmptyPackageWritesNothingAndLogsCountAndFinish) {
    ScratchDir dir;
    auto pkg = RawPackage(0, {});
    InstallLog log(dir / "InstallPrinter.txt");
    ExtractReport docs = ExtractConfigFiles(pkg, dir / "Documents");
    ExtractReport r = ExtractPackage(pkg, dir / "install", nullptr, log);
    EXPECT_TRUE(docs.written.empty());
    EXPECT_TRUE(r.written.empty());
    EXPECT_FALSE(fs::exists(dir / "Documents"));
    EXPECT_FALSE(fs::exists(dir / "install"));
    EXPECT_EQ(ReadFile(log.File()), "**** FileCount=0\r\n**** Retrace Finish\r\n");
}

TEST(Package, ConfigFilesMatchIgnoringCaseAndKeepTheirStoredNames) {
    ScratchDir dir;
    auto pkg = BuildPackage(Sources({{"DRVHELP.HLP", "help"},
                                     {"InstallConfig_en.txt", "en"},
                                     {"LOGO.BMP", "logo"},
                                     {"printername.TXT", "models"},
                                     {"sub\\PrinterName.txt", "nested"},
                                     {"Text.ini", "ini"}}));
    ExtractReport r = ExtractConfigFiles(pkg, dir / "Documents");
    EXPECT_EQ(Tree(dir / "Documents"),
              (std::vector<std::string>{"InstallConfig_en.txt", "LOGO.BMP", "Text.ini", "printername.TXT"}));
    EXPECT_EQ(ReadFile(dir / "Documents/printername.TXT"), "models");
    EXPECT_EQ(r.written.size(), 4u);
    EXPECT_FALSE(fs::exists(dir / "Documents/InstallConfig_rs.txt"));
}

TEST(Package, ExtractWritesEveryEntryWithSubFoldersStatusAndLog) {
    ScratchDir dir;
    auto pkg = BuildPackage(Sources({{"a.txt", "alpha"}, {"sub\\b.txt", "beta"}, {"sub\\deep\\c.bin", std::string(70000, 'c')}}));
    InstallLog log(dir / "log.txt");
    RecordingObserver obs;
    ExtractReport r = ExtractPackage(pkg, dir / "install", &obs, log);
    EXPECT_EQ(Tree(dir / "install"),
              (std::vector<std::string>{"a.txt", "sub/", "sub/b.txt", "sub/deep/", "sub/deep/c.bin"}));
    EXPECT_EQ(ReadFile(dir / "install/sub/b.txt"), "beta");
    EXPECT_EQ(ReadFile(dir / "install/sub/deep/c.bin"), std::string(70000, 'c'));
    EXPECT_EQ(obs.StatusLines(), (std::vector<std::string>{"a.txt", "b.txt", "c.bin"}));
    EXPECT_EQ(obs.current, 100);
    EXPECT_EQ(r.Paths(), (std::vector<fs::path>{dir / "install/a.txt", dir / "install/sub/b.txt",
                                                 dir / "install/sub/deep/c.bin"}));
    EXPECT_EQ(ReadFile(log.File()), "**** FileCount=3\r\n**** Retrace Finish\r\n");
}

TEST(Package, CutOffStreamKeepsWhatInflatedAndTheNextEntryIsFoundBySize) {
    ScratchDir dir;
    const std::string big = RandomText(200000, 1);
    auto full = Deflate(big);
    std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<long>(full.size() / 2));
    auto pkg = RawPackage(2, {{"short.txt", cut}, {"next.txt", Deflate("intact")}});
    InstallLog log(dir / "log.txt");
    ExtractReport r = ExtractPackage(pkg, dir / "install", nullptr, log);
    std::string got = ReadFile(dir / "install/short.txt");
    EXPECT_GT(got.size(), 16384u);
    EXPECT_LT(got.size(), big.size());
    EXPECT_EQ(got, big.substr(0, got.size()));
    EXPECT_EQ(ReadFile(dir / "install/next.txt"), "intact");
    EXPECT_EQ(r.failedEntries, 1);
    EXPECT_EQ(r.written.size(), 2u);  // the partial file is recorded for clean-up too
}

TEST(Package, ProgressFollowsEntriesAfterByteUpdates) {
    ScratchDir dir;
    std::vector<PackageSource> sources;
    for (int i = 0; i < 25; ++i) sources.push_back({"f" + std::to_string(i), std::vector<std::uint8_t>(40000, 0)});
    auto pkg = BuildPackage(sources);
    RecordingObserver obs;
    ExtractPackage(pkg, dir / "install", &obs, InstallLog());
    // Byte progress runs against the compressed size and so reaches 100
    // inside each entry; after entry i the bar reads (i+1)*100/25.
    // The status line comes first, then the entry's step (forwarded only when
    // the bar changes): the value after entry i is the progress event right
    // after its status line, or the unchanged value.
    std::vector<int> afterEntry;
    int bar = -1;
    for (std::size_t k = 0; k < obs.events.size(); ++k) {
        if (obs.events[k].kind == 'P') {
            bar = obs.events[k].percent;
        } else {
            bool step = k + 1 < obs.events.size() && obs.events[k + 1].kind == 'P';
            afterEntry.push_back(step ? obs.events[k + 1].percent : bar);
        }
    }
    ASSERT_EQ(afterEntry.size(), 25u);
    EXPECT_EQ(afterEntry[0], 4);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(afterEntry[static_cast<std::size_t>(i)], (i + 1) * 4) << i;
    EXPECT_EQ(obs.current, 100);
    for (const auto& e : obs.events)
        if (e.kind == 'P') {
            EXPECT_TRUE(e.percent >= 0 && e.percent <= 100);
        }
}

TEST(Package, UnsafeNamesAreRefusedAndTheWalkGoesOn) {
    struct Case {
        std::string name;
        bool accepted;
        std::string relative;
    };
    const std::vector<Case> cases = {
        {"../evil.txt", false, ""},
        {"..\\evil.txt", false, ""},
        {"sub\\..\\..\\evil.txt", false, ""},
        {"/tmp/evil.txt", false, ""},
        {"\\evil.txt", false, ""},
        {"\\\\?\\C:\\evil.txt", false, ""},
        {"C:\\evil.txt", false, ""},
        {"c:evil.txt", false, ""},
        {"", false, ""},
        {std::string("a\0b", 3), false, ""},
        {"red\x1b[31m.txt", false, ""},
        {"sub\\", false, ""},
        {"sub\\..", false, ""},
        {std::string(256, 'n'), false, ""},
        {std::string(255, 'n'), true, std::string(255, 'n')},
        {".\\sub\\\\ok.txt", true, "sub/ok.txt"},
        {"a..b.txt", true, "a..b.txt"},
        {"sub\\a.txt", true, "sub/a.txt"},
    };
    ScratchDir dir;
    std::vector<RawEntry> entries;
    for (const Case& c : cases) {
        std::string rel;
        EXPECT_EQ(SafeEntryPath(c.name, rel), c.accepted) << c.name;
        EXPECT_EQ(rel, c.relative) << c.name;
        entries.push_back({c.name, Deflate("x")});
        entries.push_back({"after" + std::to_string(entries.size()), Deflate("y")});
    }
    auto pkg = RawPackage(static_cast<std::uint32_t>(entries.size()), entries);
    InstallLog log(dir / "log.txt");
    fs::create_directories(dir / "root/install");
    ExtractReport r = ExtractPackage(pkg, dir / "root/install", nullptr, log);
    EXPECT_EQ(r.refused.size(), 14u);
    EXPECT_EQ(r.written.size(), entries.size() - 14);
    for (std::size_t i = 1; i < entries.size(); i += 2)
        EXPECT_TRUE(fs::exists(dir / "root/install" / entries[i].name)) << entries[i].name;
    EXPECT_EQ(Tree(dir / "root").size(), 2 + r.written.size());  // install/, sub/ and the files
    EXPECT_FALSE(fs::exists(dir / "evil.txt"));
    EXPECT_FALSE(fs::exists(dir / "root/evil.txt"));
    EXPECT_NE(ReadFile(log.File()).find("**** Refused entry \"../evil.txt\""), std::string::npos);
}

TEST(Package, LinksAndSpecialFilesWhereTargetsBelongAreRefused) {
    ScratchDir dir;
    fs::create_directories(dir / "install");
    fs::create_directories(dir / "outside");
    WriteFile(dir / "outside/secret", "keep");
    fs::create_symlink(dir / "outside/secret", dir / "install/file-link.txt");
    fs::create_symlink(dir / "outside/nowhere", dir / "install/dangling.txt");
    fs::create_directory_symlink(dir / "outside", dir / "install/dir-link");
    ASSERT_EQ(::mkfifo((dir / "install/fifo").c_str(), 0644), 0);
    WriteFile(dir / "outside/linked", "keep too");
    fs::create_hard_link(dir / "outside/linked", dir / "install/hard.txt");
    auto pkg = BuildPackage(Sources({{"file-link.txt", "evil"},
                                     {"dangling.txt", "evil"},
                                     {"dir-link\\x.txt", "evil"},
                                     {"dir-link\\new\\x.txt", "evil"},
                                     {"fifo", "evil"},
                                     {"hard.txt", "evil"},
                                     {"good.txt", "good"}}));
    ExtractReport r = ExtractPackage(pkg, dir / "install", nullptr, InstallLog());
    EXPECT_EQ(r.refused.size(), 6u);
    EXPECT_EQ(r.Paths(), (std::vector<fs::path>{dir / "install/good.txt"}));
    EXPECT_EQ(ReadFile(dir / "outside/secret"), "keep");
    EXPECT_EQ(ReadFile(dir / "outside/linked"), "keep too");
    EXPECT_EQ(Tree(dir / "outside"), (std::vector<std::string>{"linked", "secret"}));
    EXPECT_TRUE(fs::is_symlink(dir / "install/dangling.txt"));

    // The same rule holds for the configuration files in Documents.
    fs::create_directories(dir / "docs");
    fs::create_symlink(dir / "outside/secret", dir / "docs/Text.ini");
    ExtractReport d = ExtractConfigFiles(BuildPackage(Sources({{"Text.ini", "evil"}})), dir / "docs");
    EXPECT_EQ(d.refused.size(), 1u);
    EXPECT_EQ(ReadFile(dir / "outside/secret"), "keep");
}

TEST(Package, ListingEscapesNamesAndMarksRefusedOnes) {
    auto pkg = RawPackage(3, {{"good.txt", Deflate("a")},
                              {std::string("bad\0name", 8), Deflate("b")},
                              {"\x1b[31mred\\x\xC2\x9B\xFF.txt", Deflate("c")}});
    const PackageListing listing = ListPackage(pkg);
    const std::string text = FormatListing(listing);
    EXPECT_NE(text.find("  good.txt\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  bad\\x00name  (refused: name holds a zero byte)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  \\x1B[31mred\\x\\xC2\\x9B\\xFF.txt  (refused: name holds a control character)\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("3 of 3 entries\n"), std::string::npos) << text;
    EXPECT_EQ(text.find_first_of(std::string("\0\x1b", 2)), std::string::npos);
    EXPECT_FALSE(ListingIsSound(listing));
    EXPECT_TRUE(ListingIsSound(ListPackage(RawPackage(1, {{"good.txt", Deflate("a")}}))));
    EXPECT_EQ(EscapeName("Принтер 80"), "Принтер 80");
    EXPECT_EQ(EscapeName("sub\\a.txt"), "sub\\a.txt") << "the folder separator is shown as it is";
}

TEST(Package, MalformedContainersStopCleanlyKeepingEarlierEntries) {
    const auto good = Deflate("good");
    struct Case {
        const char* what;
        std::vector<std::uint8_t> pkg;
        std::size_t entriesBefore;
    };
    std::vector<std::uint8_t> nameRunsOff = RawPackage(2, {{"a.txt", good}});
    Put32(nameRunsOff, 1000);  // L
    Put32(nameRunsOff, 1);     // S
    nameRunsOff.push_back('b');
    std::vector<std::uint8_t> headerCut = RawPackage(2, {{"a.txt", good}});
    headerCut.push_back(5);
    const std::vector<Case> cases = {
        {"count beyond the entries", RawPackage(5, {{"a.txt", good}}), 1},
        {"stored size past the end", RawPackage(2, {{"a.txt", good}, {"b.txt", good, 1u << 30}}), 1},
        {"name length past the end", nameRunsOff, 1},
        {"entry header cut", headerCut, 1},
        {"shorter than the count", {1, 0}, 0},
        {"huge count", RawPackage(0xFFFFFFFFu, {}), 0},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        InstallLog log(dir / "log.txt");
        PackageListing listing = ListPackage(c.pkg);
        EXPECT_TRUE(listing.malformed) << c.what;
        EXPECT_EQ(listing.entries.size(), c.entriesBefore) << c.what;
        ExtractReport r = ExtractPackage(c.pkg, dir / "install", nullptr, log);
        EXPECT_TRUE(r.malformed) << c.what;
        EXPECT_EQ(r.written.size(), c.entriesBefore) << c.what;
        if (c.entriesBefore) {
            EXPECT_EQ(ReadFile(dir / "install/a.txt"), "good") << c.what;
        }
        std::string text = ReadFile(log.File());
        EXPECT_NE(text.find("**** Package malformed"), std::string::npos) << c.what;
        EXPECT_TRUE(text.ends_with("**** Retrace Finish\r\n")) << c.what;
    }
}

TEST(Package, InflateResultCodes) {
    ScratchDir dir;
    const std::string text = RandomText(50000, 2);
    auto ok = Deflate(text);
    auto corrupt = ok;
    for (std::size_t i = 10; i < 40; ++i) corrupt[i] ^= 0x5A;
    std::vector<std::uint8_t> cut(ok.begin(), ok.end() - 20);
    auto dict = Deflate("hello hello", "hello");
    std::vector<std::uint8_t> trailing = ok;
    trailing.insert(trailing.end(), {1, 2, 3});
    struct Case {
        const char* what;
        std::vector<std::uint8_t> stream;
        fs::path target;
        int result;
    };
    const std::vector<Case> cases = {
        {"valid", ok, dir / "ok", kInflateOk},
        {"bytes after the stream end are ignored", trailing, dir / "trailing", kInflateOk},
        {"corrupt", corrupt, dir / "corrupt", kInflateDataError},
        {"cut off", cut, dir / "cut", kInflateDataError},
        {"preset dictionary", dict, dir / "dict", kInflateDataError},
        {"empty", {}, dir / "empty", kInflateDataError},
        {"missing folder", ok, dir / "no/such/folder", kInflateFileError},
    };
    for (const Case& c : cases) {
        std::uint64_t written = 0;
        EXPECT_EQ(InflateEntryToFile(c.stream, c.target, written, 1, nullptr), c.result) << c.what;
    }
    EXPECT_EQ(ReadFile(dir / "ok"), text);
    EXPECT_EQ(ReadFile(dir / "trailing"), text);

    // From a file descriptor, with byte progress against the denominator.
    WriteFile(dir / "stream.bin", std::string("xyz") + std::string(ok.begin(), ok.end()));
    int fd = ::open((dir / "stream.bin").c_str(), O_RDONLY);
    RecordingObserver obs;
    std::uint64_t written = 0;
    EXPECT_EQ(InflateEntryToFile(fd, 3, static_cast<std::uint32_t>(ok.size()), dir / "from-fd", written,
                                 text.size() * 2, &obs), kInflateOk);
    ::close(fd);
    EXPECT_EQ(written, text.size());
    EXPECT_EQ(ReadFile(dir / "from-fd"), text);
    EXPECT_EQ(obs.current, 50);
}

// The test program itself is an executable without a package section.
class AppendedArchive : public ::testing::Test {
protected:
    void SetUp() override {
        exe_ = dir_ / "installer";
        fs::copy_file("/proc/self/exe", exe_);
        original_ = fs::file_size(exe_);
    }
    void Append(const std::vector<std::uint8_t>& tail) {
        std::ofstream f(exe_, std::ios::binary | std::ios::app);
        f.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
    }
    ScratchDir dir_;
    fs::path exe_;
    std::uint64_t original_ = 0;
};

TEST_F(AppendedArchive, FallbackExtractsFromAnExecutableWithoutSection) {
    EXPECT_TRUE(LoadPackageFromFile(exe_).Empty());
    auto pkg = BuildPackage(Sources({{"a.txt", "alpha"}, {"sub\\b.txt", RandomText(40000, 3)}}));
    Append(BuildAppendedArchive(pkg, original_));
    EXPECT_TRUE(LoadPackageFromFile(exe_).Empty());
    RecordingObserver obs;
    ExtractReport r;
    EXPECT_EQ(ExtractAppendedArchive(exe_, dir_ / "install", u"ESC", &obs, InstallLog(), &r), kAppendedOk);
    EXPECT_EQ(ReadFile(dir_ / "install/a.txt"), "alpha");
    EXPECT_EQ(ReadFile(dir_ / "install/sub/b.txt").size(), 40000u);
    EXPECT_EQ(r.written.size(), 2u);
    EXPECT_EQ(obs.StatusLines(), (std::vector<std::string>{(dir_ / "install/a.txt").string(),
                                                            (dir_ / "install/sub/b.txt").string()}));
    EXPECT_EQ(FormatListing(ListAppendedArchive(exe_)), FormatListing(ListPackage(pkg)));
}

TEST_F(AppendedArchive, MalformedArchivesEndWithReadFailure) {
    auto pkg = BuildPackage(Sources({{"a.txt", "alpha"}, {"b.txt", "beta"}}));
    auto archive = BuildAppendedArchive(pkg, original_);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> tail;
        bool firstWritten;
    };
    auto withCount = [&](std::uint32_t n) {
        auto t = archive;
        std::memcpy(t.data() + t.size() - 8, &n, 4);
        return t;
    };
    auto withOffset = [&](std::uint32_t a) {
        auto t = archive;
        std::memcpy(t.data() + t.size() - 4, &a, 4);
        return t;
    };
    const std::vector<Case> cases = {
        {"no archive (count 0)", withCount(0), false},
        {"header over 50 bytes", BuildAppendedArchive(pkg, original_, std::string(51, 'h')), false},
        {"offset past the end", withOffset(0xFFFFFF00u), false},
        {"count beyond the entries", withCount(3), true},
    };
    for (const Case& c : cases) {
        fs::resize_file(exe_, original_);
        Append(c.tail);
        fs::remove_all(dir_ / "install");
        ExtractReport r;
        EXPECT_EQ(ExtractAppendedArchive(exe_, dir_ / "install", u"", nullptr, InstallLog(), &r),
                  kAppendedReadFailed) << c.what;
        EXPECT_EQ(fs::exists(dir_ / "install/a.txt"), c.firstWritten) << c.what;
    }
    fs::resize_file(exe_, original_);
    Append(BuildAppendedArchive(pkg, original_, std::string(50, 'h')));
    EXPECT_EQ(ExtractAppendedArchive(exe_, dir_ / "install50", u"", nullptr, InstallLog()), kAppendedOk);
    EXPECT_EQ(ExtractAppendedArchive(dir_ / "missing", dir_ / "x", u"", nullptr, InstallLog()),
              kAppendedOpenFailed);
}

TEST(ElfPackage, FilesWithoutAUsableSectionGiveAnEmptyPackage) {
    ScratchDir dir;
    WriteFile(dir / "text", "not an executable at all, just some text");
    std::string elf = ReadFile("/proc/self/exe");
    WriteFile(dir / "cut", elf.substr(0, 200));
    std::string broken = elf;
    std::memset(broken.data() + 0x28, 0xFF, 8);  // section headers far past the end
    WriteFile(dir / "broken", broken);
    for (const char* f : {"text", "cut", "broken", "missing"})
        EXPECT_TRUE(LoadPackageFromFile(dir / f).Empty()) << f;
    EXPECT_TRUE(LoadPackage().Empty());  // this test program carries no section
}

TEST(InstallLog, AppendsCutsAndIgnoresFailures) {
    ScratchDir dir;
    InstallLog log(dir / "var/log/InstallPrinter.txt");
    log.Append("**** FileCount=%d\r\n", 3);
    InstallLog again(dir / "var/log/InstallPrinter.txt");
    again.Append("AddPrinter hPrinter = %x\r\n", 0xbeefu);
    std::string longText(3000, 'x');
    again.Append("%s", longText.c_str());
    std::string text = ReadFile(log.File());
    EXPECT_EQ(text.substr(0, 46), "**** FileCount=3\r\nAddPrinter hPrinter = beef\r\n");
    EXPECT_EQ(text.size(), 46u + 1023u);
    InstallLog(dir / "var").Append("into a folder: ignored\r\n");
    InstallLog().Append("nowhere\r\n");
    fs::create_symlink(dir / "elsewhere", dir / "link.txt");
    InstallLog(dir / "link.txt").Append("not through a link\r\n");
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
}

TEST(Folders, CreateFolderPathAndSystemPaths) {
    ScratchDir dir;
    EXPECT_TRUE(CreateFolderPath(dir / "a/b/c"));
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_TRUE(CreateFolderPath(dir / "a/b/c/"));
    EXPECT_FALSE(CreateFolderPath("relative/path"));
    WriteFile(dir / "file", "x");
    EXPECT_FALSE(CreateFolderPath(dir / "file/sub"));

    ::setenv("LUMBRA_ROOT", (dir / "stage").c_str(), 1);
    ::setenv("HOME", "/home/user", 1);
    ::unsetenv("XDG_DOCUMENTS_DIR");
    SystemPaths p = SystemPaths::FromEnvironment();
    EXPECT_EQ(p.installLog, dir / "stage/var/log/InstallPrinter.txt");
    EXPECT_EQ(p.documents, dir / "stage/home/user/Documents");
    EXPECT_EQ(p.programFiles, dir / "stage/opt");
    EXPECT_EQ(p.Under("/usr/lib/cups/backend"), dir / "stage/usr/lib/cups/backend");
    ::unsetenv("LUMBRA_ROOT");
    ::setenv("XDG_DOCUMENTS_DIR", "/data/Docs", 1);
    p = SystemPaths::FromEnvironment();
    EXPECT_EQ(p.installLog, "/var/log/InstallPrinter.txt");
    EXPECT_EQ(p.documents, "/data/Docs");
    EXPECT_EQ(p.Under("/opt"), "/opt");
    ::unsetenv("XDG_DOCUMENTS_DIR");
}

TEST(Package, FolderRoundTripSortsIgnoringCase) {
    ScratchDir dir;
    fs::create_directories(dir / "src/ignored-folder");
    for (const char* n : {"b.txt", "A.txt", "c.DLL", "C.dll.x64", "a.bin", ".hidden"}) WriteFile(dir / "src" / n, n);
    auto sources = SourcesFromFolder(dir / "src");
    std::vector<std::string> names;
    for (const auto& s : sources) names.push_back(s.name);
    EXPECT_EQ(names, (std::vector<std::string>{"a.bin", "A.txt", "b.txt", "c.DLL", "C.dll.x64"}));
    auto pkg = BuildPackage(sources);
    ExtractPackage(pkg, dir / "out", nullptr, InstallLog());
    for (const auto& n : names) EXPECT_EQ(ReadFile(dir / "out" / n), n);
}

}  // namespace
}  // namespace payload::test
