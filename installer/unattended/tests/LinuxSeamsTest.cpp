// The Linux seams without cupsd: the file store, the systemd unit, the desktop
// launcher, the sysfs USB registry (with the engine's port search over a fake
// sysfs tree) and the PPD.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "installer/engine/Engine.h"
#include "platform/linux/cups/Ppd.h"
#include "platform/linux/shell/XdgShell.h"
#include "platform/linux/store/FileStore.h"
#include "platform/linux/systemd/SystemdServices.h"
#include "platform/linux/usbreg/SysfsUsbRegistry.h"

namespace {
namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class LinuxSeams : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        root = fs::temp_directory_path() / ("linux-seams-" + std::to_string(rd()));
        fs::create_directories(root);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    // One usblp printer in the fake sysfs tree, as printer-sim lays it out.
    void AddUsbPrinter(const std::string& dev, int lp, const char* vid, const char* pid, const char* serial,
                       bool node = true) {
        const fs::path d = root / "sys/bus/usb/devices" / dev;
        fs::create_directories(d);
        fs::create_directories(root / "sys/bus/usb/devices" / (dev + ":1.0"));
        std::ofstream(d / "idVendor") << vid << "\n";
        std::ofstream(d / "idProduct") << pid << "\n";
        if (serial) std::ofstream(d / "serial") << serial << "\n";
        const fs::path cls = root / "sys/class/usbmisc" / ("lp" + std::to_string(lp));
        fs::create_directories(cls);
        fs::create_symlink("../../../bus/usb/devices/" + dev + ":1.0", cls / "device");
        fs::create_directories(root / "dev/usb");
        if (node) ::mkfifo((root / "dev/usb" / ("lp" + std::to_string(lp))).c_str(), 0600);
    }
    fs::path root;
};

TEST_F(LinuxSeams, FileStoreKeysValuesAndEscapes) {
    platform_linux::FileStore store(root / "store");
    EXPECT_FALSE(store.KeyExists("SOFTWARE\\POS80"));
    EXPECT_FALSE(store.SetText("SOFTWARE\\POS80", "a", "b")) << "the key must exist first";
    ASSERT_TRUE(store.CreateKey("SOFTWARE\\POS80"));
    EXPECT_TRUE(store.KeyExists("software\\pos80")) << "keys match ignoring case";
    EXPECT_TRUE(store.SetText("SOFTWARE\\POS80", "Program Directory", "/opt/a=b\\c\nd"));
    EXPECT_TRUE(store.SetText("SOFTWARE\\POS80", "odd=name", "x"));
    EXPECT_TRUE(store.SetText("SOFTWARE\\POS80", "program directory", "/opt/new")) << "replaced in place";
    EXPECT_EQ(store.GetText("SOFTWARE\\pos80", "Program Directory"), "/opt/new");
    EXPECT_EQ(store.GetText("SOFTWARE\\POS80", "odd=name"), "x");
    EXPECT_TRUE(store.SetText("SOFTWARE\\POS80", "multi", "a=b\\c\nd"));
    EXPECT_EQ(store.GetText("SOFTWARE\\POS80", "multi"), "a=b\\c\nd");
    // Names that would leave the root stay inside it.
    ASSERT_TRUE(store.CreateKey("SOFTWARE\\..\\..\\x/y"));
    EXPECT_TRUE(fs::is_directory(root / "store/SOFTWARE/%2E%2E/%2E%2E/x%2Fy"));
    EXPECT_THAT(*store.SubKeys("SOFTWARE\\.."), ElementsAre(".."));
    EXPECT_THAT(*store.SubKeys("SOFTWARE"), ElementsAre("..", "POS80"));
    EXPECT_EQ(store.SubKeys("NOPE"), std::nullopt);
    EXPECT_TRUE(store.DeleteValue("SOFTWARE\\POS80", "MULTI"));
    EXPECT_FALSE(store.DeleteValue("SOFTWARE\\POS80", "multi"));
    EXPECT_EQ(store.GetText("SOFTWARE\\POS80", "multi"), std::nullopt);
}

TEST_F(LinuxSeams, SystemdUnitIsCreatedOnceAndNotStartedWhenStaged) {
    platform_linux::SystemdServices services(root / "etc/systemd/system", false, {"/var/lib/lumbra/store"});
    ASSERT_TRUE(services.Available());
    const fs::path program = root / "opt/My Printer 100%/RcptSpoolSvc.exe";
    fs::create_directories(program.parent_path());
    std::ofstream(program) << "#!/bin/sh\n";
    engine::ServiceRecord s{"MavoPrinter Service", "MavoPrinter Service", program};
    ASSERT_TRUE(services.Create(s)) << services.LastError();
    EXPECT_FALSE(services.Create(s)) << "an existing service is not replaced";
    EXPECT_TRUE(services.SetDescription("MavoPrinter Service", "MavoPrinter Printer Monitor"));
    EXPECT_FALSE(services.Start("MavoPrinter Service")) << "staged: never calls systemctl";
    const std::string unit = ReadText(root / "etc/systemd/system/MavoPrinter-Service.service");
    EXPECT_THAT(unit, HasSubstr("Description=MavoPrinter Printer Monitor\n"));
    EXPECT_THAT(unit, HasSubstr("ExecStart=\"" + root.string() + "/opt/My Printer 100%%/RcptSpoolSvc.exe\"\n"));
    EXPECT_THAT(unit, HasSubstr("WorkingDirectory=" + root.string() + "/opt/My Printer 100%%\n"));
    EXPECT_THAT(unit, HasSubstr("\nNoNewPrivileges=yes\nProtectSystem=strict\n"));
    // Root's identity for cupsd's socket, without root's powers, blind to the store.
    EXPECT_THAT(unit, HasSubstr("\nCapabilityBoundingSet=\n"));
    EXPECT_THAT(unit, Not(HasSubstr("User=")));
    EXPECT_THAT(unit, HasSubstr("\nInaccessiblePaths=\"-/var/lib/lumbra/store\"\n"));
    EXPECT_THAT(unit, HasSubstr("WantedBy=multi-user.target\n"));
    // What systemd would read otherwise (an injected line, a program name it refuses) is not written.
    for (const char* program : {"/opt/a\nExecStart=/bin/sh/x.exe", "/opt/a\"b/x.exe", "/opt/a\\/x.exe"}) {
        platform_linux::SystemdServices other(root / "other", false);
        EXPECT_FALSE(other.Create({"Odd", "Odd", program})) << program;
    }
    EXPECT_FALSE(services.SetDescription("MavoPrinter Service", "x\n[Service]"));
}

// The unit runs its program as root: no unit for a program that another
// user could change or put another file in place of.
TEST_F(LinuxSeams, SystemdUnitOnlyForAProgramOnlyRootCanChange) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& folder, const fs::path& program)> make;
        const char* refused;  // the part named as at fault, relative to root; "" when created
    };
    const Case cases[] = {
        {"root's folders", [](const fs::path&, const fs::path&) {}, ""},
        {"in a sticky folder everybody writes", [](const fs::path& f, const fs::path&) {
             fs::permissions(f.parent_path(), fs::perms::all | fs::perms::sticky_bit);
         }, ""},
        {"reached through a link root made", [](const fs::path&, const fs::path&) {}, ""},
        {"a folder everybody writes", [](const fs::path& f, const fs::path&) {
             fs::permissions(f.parent_path(), fs::perms::all);
         }, "opt"},
        {"a group-writable install folder", [](const fs::path& f, const fs::path&) {
             fs::permissions(f, fs::perms::group_write, fs::perm_options::add);
         }, "opt/Printer"},
        {"an install folder in a user's home", [](const fs::path& f, const fs::path&) {
             ASSERT_EQ(::chown(f.c_str(), 1000, 1000), 0);
         }, "opt/Printer"},
        {"a program of another user", [](const fs::path&, const fs::path& p) {
             ASSERT_EQ(::chown(p.c_str(), 1000, 1000), 0);
         }, "opt/Printer/RcptSpoolSvc.exe"},
        {"a program everybody writes", [](const fs::path&, const fs::path& p) {
             fs::permissions(p, fs::perms::others_write, fs::perm_options::add);
         }, "opt/Printer/RcptSpoolSvc.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path base = root / std::to_string(&c - cases);
        const fs::path folder = base / "opt/Printer", program = folder / "RcptSpoolSvc.exe";
        fs::create_directories(folder);
        std::ofstream(program) << "#!/bin/sh\n";
        fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
        c.make(folder, program);
        fs::path named = program;
        if (std::string(c.name) == "reached through a link root made") {
            fs::create_directory_symlink(folder, base / "current");
            named = base / "current/RcptSpoolSvc.exe";
        }
        platform_linux::SystemdServices services(base / "units", false);
        const bool created = services.Create({"MavoPrinter Service", "MavoPrinter Service", named});
        EXPECT_EQ(created, *c.refused == 0) << services.LastError();
        EXPECT_EQ(fs::exists(base / "units/MavoPrinter-Service.service"), created);
        if (*c.refused) {
            EXPECT_EQ(services.LastError(), (base / c.refused).string() + " can be changed by a user other than root");
        }
    }
}

TEST_F(LinuxSeams, DesktopLauncher) {
    platform_linux::XdgShell shell(root / "apps");
    ASSERT_EQ(shell.StartMenuFolder(), root / "apps");
    const fs::path link = root / "apps" / shell.ShortcutFileName("Uninstall Printer Driver");
    const fs::path program = root / "opt/USB Printer/POS80/Uninstaller.exe";
    fs::create_directories(program.parent_path());
    std::ofstream(program) << "#!/bin/sh\n";
    ASSERT_TRUE(engine::CreateShortcut(shell, program, link));
    EXPECT_EQ(ReadText(link), "[Desktop Entry]\nType=Application\nName=Uninstall Printer Driver\n"
                              "Exec=pkexec \"" + program.string() + "\"\nPath=" + program.parent_path().string() +
                                  "\nTerminal=true\n");
    // Run as root by whoever starts it: not a program another user may replace.
    fs::permissions(program.parent_path(), fs::perms::others_write, fs::perm_options::add);
    fs::remove(link);
    EXPECT_FALSE(engine::CreateShortcut(shell, program, link));
    EXPECT_FALSE(fs::exists(link));
}

TEST_F(LinuxSeams, UsbRegistryFromSysfsLeadsThePortSearch) {
    AddUsbPrinter("1-2", 1, "0418", "5011", nullptr, /*node=*/false);  // unplugged node: not active
    AddUsbPrinter("1-1", 0, "0418", "5011", "SN42");
    AddUsbPrinter("2-1", 2, "1234", "0001", nullptr);
    platform_linux::SysfsUsbRegistry usb(root);
    EXPECT_THAT(usb.PresentPrinterInterfaces(),
                ElementsAre("\\\\?\\usb#vid_0418&pid_5011#sn42#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
                            "\\\\?\\usb#vid_0418&pid_5011#1-2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
                            "\\\\?\\usb#vid_1234&pid_0001#2-1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"));

    payload::ModelTable models;
    models.rows[1].printerName = u"POS80";
    models.rows[1].vidPid = u"vid_0418&pid_5011";
    models.rows[1].hardwareId = u"UnknownPrinter";
    std::vector<std::string> paths;
    EXPECT_EQ(engine::UsbDeviceScan(usb, models, paths), 2);

    engine::InstallSettings s;
    s.portName = "USB";
    const fs::path logFile = root / "log.txt";
    ASSERT_TRUE(engine::ChooseUsbRow(usb, models, payload::InstallLog(logFile), "POS80", s));
    EXPECT_EQ(s.portName, "USB001");
    EXPECT_EQ(s.selectedRow, 1);
    EXPECT_THAT(ReadText(logFile), HasSubstr("**** vid&pid=vid_0418&pid_5011 subkey=sn42\r\n"));

    // With only the unplugged one left, no port is found and "USB" stays.
    fs::remove(root / "dev/usb/lp0");
    engine::InstallSettings t;
    t.portName = "USB";
    ASSERT_TRUE(engine::ChooseUsbRow(usb, models, payload::InstallLog(), "POS80", t));
    EXPECT_EQ(t.portName, "USB");
}

TEST(LinuxPpd, NicknameSizesResolutionAndFilter) {
    engine::PcdData data;
    data.resolution = 203;
    data.forms = engine::PcdFormsFor("POS80", 800, 2100);
    const std::string ppd = platform_linux::BuildPpd("POS80 Driver", data, "/usr/lib/lumbra/driver/POS80Drv.dll");
    EXPECT_THAT(ppd, HasSubstr("*NickName: \"POS80 Driver\"\n"));
    EXPECT_THAT(ppd, HasSubstr("*cupsFilter: \"application/vnd.cups-raster 0 /usr/lib/lumbra/driver/POS80Drv.dll\"\n"));
    EXPECT_THAT(ppd, HasSubstr("*DefaultPageSize: X80MMY210MM\n"));
    EXPECT_THAT(ppd, HasSubstr("*PageSize X80MMY297MM/80 x 297mm: \"<</PageSize[226.77 841.89]"));
    EXPECT_THAT(ppd, HasSubstr("*DefaultResolution: 203dpi\n"));
    // The custom form equals "80 x 210mm" and is listed once, as the default.
    EXPECT_THAT(ppd, HasSubstr("*PageSize X80MMY210MM/Custom (80 x 210mm)"));
    EXPECT_EQ(ppd.find("*PageSize X80MMY210MM/80 x 210mm"), std::string::npos);
    EXPECT_EQ(platform_linux::PpdFileName("My printer/1 Driver"), "My_printer_1_Driver.ppd");
}

}  // namespace
