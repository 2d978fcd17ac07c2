// The installer as root in a tree where another user has planted links,
// FIFOs, their own files and odd names: every case runs an install (or the
// start-up's work in Documents) and checks that no victim changed. Then a
// full disk: size-limited file systems in a private mount namespace.
//
// The engine runs on the fake spooler, store and USB registry with the real
// launcher and systemd unit writers. "Another user" is uid 65534; a folder
// such a user can write belongs to them or is mode 0777.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "installer/engine/InstallSession.h"
#include "installer/engine/tests/EngineHarness.h"
#include "installer/payload/InstallerConfig.h"
#include "installer/payload/TextTable.h"
#include "platform/linux/shell/XdgShell.h"
#include "platform/linux/systemd/SystemdServices.h"
#include "tests/support/HexMatch.h"

namespace {
namespace fs = std::filesystem;
using engine::Failure;

constexpr uid_t kOtherUser = 65534;

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Write(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

// Runs a shell command; its exit status, and what it printed in `output`.
int RunCommand(const std::string& command, std::string& output) {
    std::FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) output += buf;
    return ::pclose(p);
}

uid_t Owner(const fs::path& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// Kind, mode, owner and contents of everything below a folder.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        struct stat st{};
        ::lstat(e.path().c_str(), &st);
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid);
        if (S_ISREG(st.st_mode)) what += " " + ReadText(e.path());
        out[e.path().lexically_relative(folder).string()] = what;
    }
    return out;
}

class RootSafety : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "planting another user's files needs root";
        std::vector<payload::PackageSource> sources;
        for (const std::string& name : enginetest::ShippedEntryNames())
            sources.push_back({name, std::vector<std::uint8_t>(name.begin(), name.end())});
        package = payload::PackageFromBytes(payload::BuildPackage(sources));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // A fresh tree: the victims, a user's home, an install folder anyone can write.
    void Fresh() {
        std::error_code ec;
        fs::remove_all(root, ec);
        fs::create_directories(victims);
        Write(victims / "secret", "POS80, 0, POS80, ESC.GPD, vid_0418&pid_5011, 203, X, 800, 2100\r\n");
        fs::permissions(victims / "secret", fs::perms::owner_read | fs::perms::owner_write);
        fs::create_directories(home);
        GiveAway(home);
        fs::create_directories(installFolder);
        fs::permissions(installFolder, fs::perms::all);
        spooler = {};
        spooler.driverDirectory = root / "driver";
        spooler.systemDirectory = root / "system";
        spooler.ports = {{"COM1:", "Serial", "Local Port"}};
        victimsBefore = Snapshot(victims);
    }
    void GiveAway(const fs::path& path) { ASSERT_EQ(::lchown(path.c_str(), kOtherUser, kOtherUser), 0) << path; }
    // A folder the user made (below the home, or in the install folder).
    void UserFolder(const fs::path& folder) {
        fs::create_directories(folder);
        for (fs::path p = folder; p != home && p != installFolder; p = p.parent_path()) GiveAway(p);
    }

    // One install on COM1, as a front-end drives it.
    bool Install(const std::string& name, const fs::path& folder) {
        enginetest::RecordingObserver observer;
        engine::InstallSession session({spooler, store, services, shell, usb}, observer);
        session.Run().package = &package;
        session.Run().log = payload::InstallLog(root / "InstallPrinter.txt");
        session.Run().models.rows[1] = enginetest::Row(u"POS80", u"POS80", u"vid_0418&pid_5011");
        session.Settings().selectedRow = 1;
        if (!session.ChooseFolder(folder.string())) return false;
        engine::PortChoice port;
        port.entry = "COM1";
        session.ConfirmPort(port);
        if (session.Prepare(name)) {
            session.Start();
            session.Wait();
        }
        session.CleanUp();
        programFolder = session.Settings().programFolder;
        failure = session.FailureReason();
        return session.Succeeded();
    }

    const fs::path root = fs::temp_directory_path() / ("root-safety-" + std::to_string(::getpid()));
    const fs::path victims = root / "victims";
    const fs::path home = root / "home/user";
    const fs::path documents = home / "Documents";
    const fs::path apps = home / ".local/share/applications";
    const fs::path installFolder = root / "opt/USB Printer";
    const fs::path units = root / "etc/systemd/system";
    std::map<std::string, std::string> victimsBefore;
    payload::InstallPackage package;
    platform_fake::FakePrintSpooler spooler;
    platform_fake::MemoryStore store;
    platform_fake::FakeUsbRegistry usb;
    platform_linux::XdgShell shell{apps};
    platform_linux::SystemdServices services{units, false, {root / "var/lib/lumbra/store"}};
    fs::path programFolder;
    Failure failure = Failure::None;
};

TEST_F(RootSafety, PlantedLinksFilesAndNamesChangeNoVictim) {
    struct Case {
        const char* what;
        std::function<void()> plant;
        bool installs;
        Failure failure = Failure::None;
        std::string name = "POS80";
        std::function<void()> check = [] {};
        std::function<fs::path()> folder = nullptr;
    };
    const fs::path menu = apps / "POS80 Driver";
    const fs::path mine = installFolder / "POS80";
    const std::vector<Case> cases = {
        {"launcher path is a link", [&] { UserFolder(menu);
             fs::create_symlink(victims / "secret", menu / "Uninstall Printer Driver.desktop"); }, true},
        {"menu folder is a link", [&] { UserFolder(apps); fs::create_directory_symlink(victims, menu); }, true},
        {"Uninstall.ini is a link", [&] { fs::create_directories(mine); fs::permissions(mine, fs::perms::all);
             fs::create_symlink(victims / "secret", mine / "Uninstall.ini"); }, true},
        {"program folder is a link", [&] { fs::create_directory_symlink(victims, mine); }, false,
         Failure::FolderUnusable},
        {"the user's files share payload names", [&] { UserFolder(mine);
             for (const char* n : {"logo.bmp", "LNGENU.DLL", "DRVHELP.HLP"}) { Write(mine / n, "mine"); GiveAway(mine / n); } },
         true, Failure::None, "POS80", [&] {
             for (const char* n : {"logo.bmp", "LNGENU.DLL", "DRVHELP.HLP"}) {
                 EXPECT_EQ(ReadText(mine / n), "mine") << n;
                 EXPECT_EQ(Owner(mine / n), kOtherUser) << n;
             } }},
        {"the user's file is one the driver needs", [&] { UserFolder(mine);
             Write(mine / "drvrend.dll.x64", "mine"); GiveAway(mine / "drvrend.dll.x64"); },
         false, Failure::FilesNotWritten, "POS80", [&] { EXPECT_EQ(ReadText(mine / "drvrend.dll.x64"), "mine"); }},
        {"printer name ../../x", [] {}, true, Failure::None, "../../x", [&] {
             EXPECT_EQ(programFolder, installFolder / ".._.._x");
             EXPECT_TRUE(fs::is_directory(apps / ".._.._x Driver"));
             EXPECT_FALSE(fs::exists(root / "x"));
             EXPECT_FALSE(fs::exists(root / "opt/x")); }},
        {"configured folder name ../../x", [] {}, true, Failure::None, "POS80",
         [&] { EXPECT_EQ(programFolder, root / "opt/.._.._x/POS80"); },
         [&] { return engine::DefaultInstallFolder(root / "opt", u"../../x"); }},
        {"printer name with a line feed", [] {}, false, Failure::BadName,
         "POS80\nType=oneshot\nExecStart=/bin/sh -c id", [&] {
             EXPECT_FALSE(fs::exists(units / "MavoPrinter-Service.service"));
             EXPECT_TRUE(fs::is_empty(installFolder)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        c.plant();
        EXPECT_EQ(Install(c.name, c.folder ? c.folder() : installFolder), c.installs);
        EXPECT_EQ(failure, c.failure);
        c.check();
        EXPECT_EQ(Snapshot(victims), victimsBefore);
    }
}

TEST_F(RootSafety, UninstallFollowsNoPlantedLinkAndKeepsWhatUsersPutThere) {
    const fs::path menu = apps / "POS80 Driver";
    const fs::path launcher = menu / "Uninstall Printer Driver.desktop";
    // Root's copy of an installed file where a followed link would lead: its
    // stamp is the installed file's.
    auto bait = [&](const fs::path& file) {
        fs::copy_file(file, victims / file.filename());
        victimsBefore = Snapshot(victims);
    };
    struct Case {
        const char* what;
        std::function<void()> plant;
        std::function<void()> check = [] {};
    };
    const std::vector<Case> cases = {
        {"program folder swapped for a link", [&] { bait(programFolder / "Uninstaller.exe");
             fs::rename(programFolder, installFolder / "moved"); fs::create_directory_symlink(victims, programFolder); },
         [&] { EXPECT_TRUE(fs::exists(installFolder / "moved/Uninstaller.exe")); }},
        {"menu folder swapped for a link", [&] { bait(launcher);
             fs::rename(menu, apps / "moved"); fs::create_directory_symlink(victims, menu); }},
        {"launcher replaced by the user's copy", [&] { const std::string text = ReadText(launcher);
             fs::remove(launcher); Write(launcher, text); GiveAway(launcher); },
         [&] { EXPECT_EQ(Owner(launcher), kOtherUser); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        // Installed into root's folder: the unit and the launcher are made.
        fs::permissions(installFolder, fs::perms::others_write | fs::perms::group_write, fs::perm_options::remove);
        store = {};
        ASSERT_TRUE(Install("POS80", installFolder));
        ASSERT_TRUE(fs::exists(launcher));
        ASSERT_TRUE(fs::exists(units / "MavoPrinter-Service.service"));
        // Then others may write it: what they plant there is not followed.
        fs::permissions(installFolder, fs::perms::all);
        c.plant();
        const auto result = engine::Uninstall({spooler, store, services, shell, usb}, "POS80");
        EXPECT_EQ(result.status, engine::UninstallStatus::Done);
        EXPECT_TRUE(engine::ReadInstallRecords(store).empty());
        EXPECT_FALSE(fs::exists(units / "MavoPrinter-Service.service"));
        c.check();
        EXPECT_EQ(Snapshot(victims), victimsBefore);
    }
}

TEST_F(RootSafety, DocumentsAreReadAndWrittenWithoutFollowingWhatWasPlanted) {
    struct Case {
        const char* what;
        std::function<void()> plant;
        std::function<void()> check = [] {};
        bool refused = true;  // PrepareDocuments says what kept a file out
    };
    const std::vector<Case> cases = {
        {"Documents is a link", [&] { fs::create_directory_symlink(victims, documents); }},
        {"PrinterName.txt links to a 0600 file", [&] { UserFolder(documents);
             fs::create_symlink(victims / "secret", documents / "PrinterName.txt"); }},
        {"PrinterName.txt and Text.ini are FIFOs", [&] { UserFolder(documents);
             ASSERT_EQ(::mkfifo((documents / "PrinterName.txt").c_str(), 0666), 0);
             ASSERT_EQ(::mkfifo((documents / "Text.ini").c_str(), 0666), 0); }, [&] {
             EXPECT_EQ(payload::LookupTextIn(documents / "Text.ini", u"Back", u"fallback"), u"fallback"); }},
        {"the user's own PrinterName.txt", [&] { UserFolder(documents);
             Write(documents / "PrinterName.txt", "kept"); GiveAway(documents / "PrinterName.txt"); },
         [&] { EXPECT_EQ(ReadText(documents / "PrinterName.txt"), "kept"); }},
        {"Documents and the menu folder made in the home", [] {}, [&] {
             EXPECT_EQ(Owner(documents), kOtherUser);
             ASSERT_TRUE(shell.StartMenuFolder());
             for (const fs::path& p : {home / ".local", home / ".local/share", apps}) EXPECT_EQ(Owner(p), kOtherUser) << p; },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        c.plant();
        // The package carries a PrinterName.txt of one row ("PrinterName.txt").
        EXPECT_EQ(payload::PrepareDocuments(package.Bytes(), documents).empty(), !c.refused);
        const payload::ModelTable models = payload::ReadModelTable(documents);
        EXPECT_TRUE(models.FilledRows() == 0 || base::Utf16ToUtf8(models.rows[1].printerName) != "POS80")
            << "nothing of the victim's was read";
        c.check();
        EXPECT_EQ(Snapshot(victims), victimsBefore);
    }
}

TEST_F(RootSafety, UnitOfAnInstallPassesSystemdVerify) {
    const fs::path unit = units / "MavoPrinter-Service.service";
    // Root runs the unit's program, and the launcher's through pkexec: not
    // from a folder everybody may write.
    Fresh();
    ASSERT_TRUE(Install("POS80 100% $HOME", installFolder));
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_FALSE(fs::exists(apps / "POS80 100% $HOME Driver/Uninstall Printer Driver.desktop"));

    Fresh();
    fs::permissions(installFolder, fs::perms::others_write | fs::perms::group_write, fs::perm_options::remove);
    ASSERT_TRUE(Install("POS80 100% $HOME", installFolder));
    const fs::path program = programFolder / "RcptSpoolSvc.exe";
    EXPECT_EQ(fs::status(program).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    EXPECT_EQ(fs::status(programFolder / "Uninstaller.exe").permissions() & fs::perms::others_exec,
              fs::perms::others_exec);
    std::string out;
    EXPECT_EQ(RunCommand("systemd-analyze verify '" + unit.string() + "'", out), 0) << out << ReadText(unit);
    EXPECT_THAT(ReadText(unit), ::testing::HasSubstr("ExecStart=\"" + installFolder.string() +
                                                    "/POS80 100%% $HOME/RcptSpoolSvc.exe\"\n"));
}

// ---------------------------------------------------------------- full disk

// Fills a file system until a one-byte write fails.
void Fill(const fs::path& file) {
    std::FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {}
    while (std::fputc('x', f) != EOF && std::fflush(f) == 0) {}
    std::fclose(f);
}

std::vector<std::string> EmptyOrTemporaryFiles(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && name != "filler" && (fs::file_size(e.path()) == 0 || name.rfind(".lumbra-", 0) == 0))
            found.push_back(e.path().string());
    }
    return found;
}

TEST_F(RootSafety, FullDiskFailsTheInstallAndLeavesSharedFilesWhole) {
    Fresh();
    // Two small file systems: one for the driver's folders, one for the program folder.
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "no private mount namespace here";
    const fs::path system = root / "sys-fs", programs = root / "prog-fs";
    for (const fs::path& p : {system, programs}) {
        fs::create_directories(p);
        ASSERT_EQ(::mount("tmpfs", p.c_str(), "tmpfs", 0, "size=512k"), 0) << p;
    }
    spooler.driverDirectory = system / "driver";
    spooler.systemDirectory = system / "system";
    ASSERT_TRUE(Install("POS80", programs / "opt"));
    const std::string shared = ReadText(system / "driver/3/LNGENU.DLL");
    const std::string pcd = ReadText(system / "driver/POS80GPC.pcd");
    ASSERT_FALSE(shared.empty());

    // The driver's file system is full: the copies fail, and nothing shared is touched.
    Fill(system / "filler");
    EXPECT_FALSE(Install("POS80", programs / "opt"));
    EXPECT_EQ(failure, Failure::FilesNotWritten);
    EXPECT_TRUE(testhex::SameBytes(shared, ReadText(system / "driver/3/LNGENU.DLL")));
    EXPECT_TRUE(testhex::SameBytes(pcd, ReadText(system / "driver/POS80GPC.pcd")));
    EXPECT_THAT(EmptyOrTemporaryFiles(system), ::testing::IsEmpty());
    EXPECT_TRUE(spooler.added.size() == 1) << "no second printer";

    // The program folder's file system is full: the extraction fails.
    fs::remove(system / "filler");
    fs::create_directories(programs / "opt/POS58/Inf");
    Fill(programs / "filler");
    EXPECT_FALSE(Install("POS58", programs / "opt"));
    EXPECT_EQ(failure, Failure::FilesNotWritten);
    EXPECT_THAT(EmptyOrTemporaryFiles(programs), ::testing::IsEmpty());
    EXPECT_FALSE(fs::exists(system / "driver/POS58GPC.pcd"));
    for (const fs::path& p : {system, programs}) ::umount2(p.c_str(), MNT_DETACH);
}

}  // namespace
