// Removing installs against the fakes: two installs of one printer name (the
// second on the first's monitor port) and a third printer on COM1, removed
// one by one; each removal takes exactly what no remaining install lists.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "installer/engine/InstallSession.h"
#include "installer/engine/tests/EngineHarness.h"

namespace enginetest {
namespace {

using engine::PartFate;
using engine::PartKind;
using engine::UninstallStatus;
using ::testing::ElementsAre;

class Uninstall : public EngineHarness {
protected:
    void SetUp() override {
        EngineHarness::SetUp();
        fs::remove_all(root / "opt");  // the installs make their folders
        spooler.ports = {{"COM1:", "Serial", "Local Port"}};
    }

    // One install as a front-end runs it: USB with the monitor, or COM1.
    std::string InstallAs(const std::string& name, bool usb, std::optional<std::string> answer = {},
                          bool succeeds = true) {
        RecordingObserver front;
        if (answer) front.answers = {*answer};
        engine::InstallSession session({spooler, store, services, shell, this->usb}, front);
        engine::InstallRun& r = session.Run();
        r.package = &package;
        r.log = payload::InstallLog(root / "log.txt");
        r.texts = run->texts;
        r.models = run->models;
        session.Settings().selectedRow = 1;
        EXPECT_TRUE(session.ChooseFolder((root / "opt/USB Printer").string()));
        if (usb) {
            session.Settings().usbChosen = true;
            session.Settings().portName = "USB";
        } else {
            session.ConfirmPort({"COM1", false, {}, {}, {}});
        }
        if (session.Prepare(name)) {
            session.Start();
            session.Wait();
        }
        session.CleanUp();
        EXPECT_EQ(session.Succeeded(), succeeds) << name;
        return r.addedPrinter;
    }
    engine::UninstallResult Remove(const std::string& name) {
        return engine::Uninstall({spooler, store, services, shell, usb}, name);
    }
    // Every path below the test's root (folders with a "/"), the log left out.
    std::set<std::string> Tree() const {
        std::set<std::string> paths;
        for (const auto& e : fs::recursive_directory_iterator(root))
            paths.insert(e.path().lexically_relative(root).string() + (e.is_directory() ? "/" : ""));
        paths.erase("log.txt");
        return paths;
    }
    static std::optional<PartFate> Fate(const engine::UninstallResult& r, PartKind kind, const std::string& name) {
        for (const auto& p : r.parts)
            if (p.kind == kind && p.name == name) return p.fate;
        return std::nullopt;
    }
    static std::vector<std::string> Removed(const engine::UninstallResult& r) {
        std::vector<std::string> out;
        for (const auto& p : r.parts)
            if (p.fate == PartFate::Removed) out.push_back(engine::PartKindName(p.kind) + (" " + p.name));
        return out;
    }
    std::vector<std::string> Installed() {
        std::vector<std::string> out;
        for (const auto& r : engine::ReadInstallRecords(store)) out.push_back(r.printer);
        return out;
    }
};

TEST_F(Uninstall, TwoInstallsOfOneNameAndAnotherPrinterGoOneByOne) {
    const std::set<std::string> before = Tree();
    ASSERT_EQ(InstallAs("POS80", true), "POS80");
    ASSERT_EQ(InstallAs("POS80", true, "POS80-Port:"), "POS80 (1)");
    ASSERT_EQ(InstallAs("POS58", false), "POS58");
    const fs::path pos80 = root / "opt/USB Printer/POS80", pos58 = root / "opt/USB Printer/POS58";
    const std::set<std::string> installed = Tree();
    const auto keys = store.keys;

    // An unknown name, and a spooler that does not answer: nothing is touched.
    EXPECT_EQ(Remove("NOPE").status, UninstallStatus::NotInstalled);
    spooler.failures["DeletePrinter"] = engine::kErrorSpoolerUnavailable;
    EXPECT_EQ(Remove("POS80").status, UninstallStatus::SpoolerUnreachable);
    spooler.failures.clear();
    EXPECT_EQ(Tree(), installed);
    EXPECT_EQ(store.keys, keys);
    EXPECT_THAT(spooler.printers, ElementsAre("POS80", "POS80 (1)", "POS58"));

    // The first: its queue and record; all else is the second's as well.
    const auto first = Remove("POS80");
    EXPECT_EQ(first.status, UninstallStatus::Done);
    EXPECT_THAT(Removed(first), ElementsAre("queue POS80"));
    EXPECT_EQ(Fate(first, PartKind::Monitor, "POS USB Printer Monitor"), PartFate::Shared);
    EXPECT_EQ(Tree(), installed);
    EXPECT_THAT(spooler.printers, ElementsAre("POS80 (1)", "POS58"));
    EXPECT_THAT(Installed(), ElementsAre("POS58", "POS80 (1)"));

    // A user's file in place of the shared Uninstall.ini: the same text, but not ours.
    const fs::path ini = pos80 / "Uninstall.ini";
    const std::string text = ReadText(ini);
    fs::remove(ini);
    const bool asRoot = ::geteuid() == 0;
    std::ofstream(ini) << (asRoot ? text : "mine");
    ASSERT_TRUE(!asRoot || ::chown(ini.c_str(), 65534, 65534) == 0);

    // The second, by its queue: POS80's parts go, the monitor too (POS58
    // prints on COM1); what POS58 lists stays, and the service it shares
    // now runs POS58's program.
    const engine::InstallRecord second = engine::ReadInstallRecords(store)[1];
    ASSERT_EQ(second.printer, "POS80 (1)");
    const auto removed = Remove("POS80 (1)");
    EXPECT_EQ(removed.status, UninstallStatus::Done);
    EXPECT_EQ(Fate(removed, PartKind::File, ini.string()), PartFate::Changed);
    EXPECT_EQ(Fate(removed, PartKind::Folder, pos80.string()), PartFate::InUse);
    EXPECT_EQ(Fate(removed, PartKind::Monitor, "POS USB Printer Monitor"), PartFate::Removed);
    EXPECT_TRUE(spooler.monitors.empty());
    EXPECT_THAT(spooler.ports, ElementsAre(::testing::Field(&engine::SpoolerPort::name, "COM1:")));
    EXPECT_EQ(services.services[engine::kServiceName].record.program, pos58 / "RcptSpoolSvc.exe");
    const engine::InstallRecord last = engine::ReadInstallRecords(store).at(0);
    for (const engine::InstallPart& part : second.parts) {
        if (part.kind != PartKind::File && part.kind != PartKind::Folder) continue;
        const bool stays = last.Find(part.kind, part.name) || part.name == ini || part.name == pos80;
        EXPECT_EQ(fs::exists(fs::symlink_status(part.name)), stays) << part.name;
    }

    // The last: the folders the installs made go once empty; only the
    // user's file and the folders holding it remain.
    EXPECT_EQ(Remove("POS58").status, UninstallStatus::Done);
    std::set<std::string> expected = before;
    for (const char* p : {"opt/", "opt/USB Printer/", "opt/USB Printer/POS80/", "opt/USB Printer/POS80/Uninstall.ini"})
        expected.insert(p);
    EXPECT_EQ(Tree(), expected);
    EXPECT_TRUE(spooler.printers.empty());
    EXPECT_TRUE(spooler.drivers.empty());
    EXPECT_TRUE(services.services.empty());
    for (const auto& [key, values] : store.keys) {
        EXPECT_EQ(key.find("POS"), std::string::npos) << key;
    }
    EXPECT_TRUE(Installed().empty());
}

TEST_F(Uninstall, AFailedInstallTakesAwayWhatItMadeAndNothingElse) {
    ASSERT_EQ(InstallAs("POS80", true), "POS80");
    const std::set<std::string> installed = Tree();
    const auto keys = store.keys;
    const auto ports = spooler.ports;
    const auto monitors = spooler.monitors;
    struct Case {
        const char* what;
        const char* call;  // the spooler call that fails, or "" for a cancelled port question
        const char* name;
    } cases[] = {
        // A new printer: its own port, driver files and folders are made, then removed.
        {"the spooler refuses the driver", "AddPrinterDriver", "Kitchen"},
        {"the spooler refuses the printer", "AddPrinter", "Kitchen"},
        // The same name: the program folder, driver files, launcher and
        // monitor port are the first install's, written over with the same bytes.
        {"the port question is cancelled", "", "POS80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        spooler.failures.clear();
        if (*c.call) spooler.failures[c.call] = 1797;
        InstallAs(c.name, true, *c.call ? std::optional<std::string>("Kitchen-Port:") : std::nullopt, false);
        EXPECT_EQ(Tree(), installed);
        EXPECT_EQ(store.keys, keys);
        EXPECT_EQ(spooler.ports.size(), ports.size());
        EXPECT_EQ(spooler.monitors, monitors);
        EXPECT_THAT(spooler.printers, ElementsAre("POS80"));
        EXPECT_EQ(spooler.drivers.size(), 1u);
    }
    // The first install is whole: its removal still takes everything.
    spooler.failures.clear();
    EXPECT_THAT(Installed(), ElementsAre("POS80"));
    EXPECT_EQ(Remove("POS80").status, UninstallStatus::Done);
    EXPECT_FALSE(fs::exists(root / "opt"));
    EXPECT_FALSE(fs::exists(root / "system"));
}

}  // namespace
}  // namespace enginetest
