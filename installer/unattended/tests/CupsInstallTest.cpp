// The engine on its Linux platform against a real, private cupsd that this
// suite starts itself (scripts/private-cupsd.sh): a unix socket below a
// temporary tree that is also the install root.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cups/cups.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "installer/engine/InstallSession.h"
#include "installer/engine/InstallRecord.h"
#include "base/TextCodec.h"
#include "installer/unattended/LinuxInstallPlatform.h"
#include "installer/unattended/tests/CupsTestSupport.h"

namespace {
namespace fs = std::filesystem;
using ::testing::HasSubstr;
using cupstest::Capture;
using cupstest::ReadText;

struct Queue {
    std::string name, info, uri;
    bool accepting = false;
    int state = 0;
};

// One queue's attributes, straight from cupsd.
std::optional<Queue> GetQueue(const std::string& queue) {
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/printers/%s",
                     queue.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    if (!response || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
        ippDelete(response);
        return std::nullopt;
    }
    Queue q;
    auto text = [&](const char* name) {
        ipp_attribute_t* a = ippFindAttribute(response, name, IPP_TAG_ZERO);
        return a ? std::string(ippGetString(a, 0, nullptr)) : std::string();
    };
    q.name = text("printer-name");
    q.info = text("printer-info");
    q.uri = text("device-uri");
    if (auto* a = ippFindAttribute(response, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN)) q.accepting = ippGetBoolean(a, 0);
    if (auto* a = ippFindAttribute(response, "printer-state", IPP_TAG_ENUM)) q.state = ippGetInteger(a, 0);
    ippDelete(response);
    return q;
}

std::string DefaultQueue() {
    cups_dest_t* dests = nullptr;
    const int n = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
    std::string name;
    for (int i = 0; i < n; ++i)
        if (dests[i].is_default) name = dests[i].name;
    cupsFreeDests(n, dests);
    return name;
}

class RecordingObserver : public engine::InstallObserver {
public:
    std::vector<std::optional<std::string>> answers;
    int questions = 0;
    void SetProgress(int) override {}
    void SetStatusLine(const std::u16string&) override {}
    std::optional<std::string> ChoosePort(const std::vector<engine::SpoolerPort>&) override {
        ++questions;
        return questions <= static_cast<int>(answers.size()) ? answers[questions - 1] : std::nullopt;
    }
    void InstallSucceeded() override {}
    void InstallFailed() override {}
};

class CupsInstall : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::random_device rd;
        tree = fs::path("/tmp") / ("lumbra-cups-" + std::to_string(rd() % 1000000));
        const std::string out = Capture(std::string(PRIVATE_CUPSD_SCRIPT) + " start " + tree.string());
        started = out.find("running") != std::string::npos;
        if (!started) std::fprintf(stderr, "%s\n", out.c_str());
        ::setenv("CUPS_SERVER", (tree / "cups.sock").c_str(), 1);
        ::setenv("LUMBRA_ROOT", tree.c_str(), 1);
        ::setenv("USB_PRINTER_ROOT", (tree / "usbroot").c_str(), 1);
        ::setenv("HOME", "/home/installer", 1);
        ::unsetenv("XDG_DATA_HOME");
        cupsSetServer((tree / "cups.sock").c_str());
        const auto sources = cupstest::PayloadWithStandInMonitor(PAYLOAD_FILES_DIR);
        package = new payload::InstallPackage(payload::PackageFromBytes(payload::BuildPackage(sources)));
    }
    static void TearDownTestSuite() {
        Capture(std::string(PRIVATE_CUPSD_SCRIPT) + " stop " + tree.string());
        if (!std::getenv("KEEP_CUPS_TREE")) {
            std::error_code ec;
            fs::remove_all(tree, ec);
        }
        delete package;
    }
    void SetUp() override {
        if (!started) GTEST_SKIP() << "the private cupsd did not start";
    }

    // One install through the engine on the Linux platform, as the wizard runs it.
    struct Result {
        bool ok = false;
        std::string queue;
        std::string printer;
        engine::InstallSettings settings;
        int questions = 0;
    };
    Result Install(const std::string& name, const std::function<void(engine::InstallSettings&)>& port,
                   std::vector<std::optional<std::string>> answers = {}) {
        const payload::SystemPaths paths = payload::SystemPaths::FromEnvironment();
        installer::LinuxInstallPlatform platform(installer::InstallLocations::From(paths));
        RecordingObserver observer;
        observer.answers = std::move(answers);
        engine::InstallSession session(platform.Seams(), observer);
        engine::InstallRun& run = session.Run();
        run.package = package;
        run.log = payload::InstallLog(paths.installLog);
        payload::ReadInstallerTexts(Copy("InstallConfig_en.txt"), run.texts);
        run.models = payload::ReadModelTable(PAYLOAD_FILES_DIR);
        session.Settings().selectedRow = 1;
        EXPECT_TRUE(session.ChooseFolder((paths.programFiles / "USB Printer").string()));
        port(session.Settings());
        if (session.Prepare(name)) {
            session.Start();
            session.Wait();
        }
        session.CleanUp();
        return {run.succeeded, platform.spooler.LastAddedQueue(), run.addedPrinter, run.settings,
                observer.questions};
    }
    // printer-sim's address as the network port.
    static std::function<void(engine::InstallSettings&)> Network(const simtest::SimProcess& printer) {
        return [port = std::to_string(printer.TcpPort())](engine::InstallSettings& s) {
            s.portName = "Net Port(TCP/IP)";
            s.portKind = engine::kPortKindNetwork;
            s.ipAddress = "127.0.0.1";
            s.tcpPort = port;
        };
    }
    // ReadInstallerTexts deletes its file, so it reads a copy.
    fs::path Copy(const char* name) {
        const fs::path to = tree / (std::string("copy-") + name);
        fs::copy_file(fs::path(PAYLOAD_FILES_DIR) / name, to, fs::copy_options::overwrite_existing);
        return to;
    }
    static std::vector<std::string> LogLines() {
        std::vector<std::string> lines;
        std::istringstream in(ReadText(tree / "var/log/InstallPrinter.txt"));
        for (std::string line; std::getline(in, line);) {
            while (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

    // CUPS-Add-Modify-Printer requests for the queue so far, as cupsd logs them.
    static int AddModifyRequests(const std::string& queue) {
        std::istringstream in(ReadText(tree / "var/log/cups/error_log"));
        int n = 0;
        const std::string tail = " CUPS-Add-Modify-Printer ipp://localhost/printers/" + queue;
        for (std::string line; std::getline(in, line);)
            n += line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
        return n;
    }

    static inline fs::path tree;
    static inline bool started = false;
    static inline payload::InstallPackage* package = nullptr;
};

TEST_F(CupsInstall, NetworkInstallCreatesTheQueueRecordsAndDefault) {
    simtest::SimProcess printer(simtest::SimOptions{});
    ASSERT_TRUE(printer.ok()) << printer.error();
    const std::string port = std::to_string(printer.TcpPort());
    const int requests = AddModifyRequests("POS80");
    const Result r = Install("POS80", Network(printer));
    ASSERT_TRUE(r.ok) << ReadText(tree / "var/log/InstallPrinter.txt")
                      << ReadText(tree / "var/log/cups/error_log").substr(0, 4000);
    EXPECT_EQ(r.queue, "POS80");
    // One request makes the queue with its PPD, one more sets its printer data.
    EXPECT_EQ(AddModifyRequests("POS80") - requests, 2);
    const auto q = GetQueue("POS80");
    ASSERT_TRUE(q);
    EXPECT_EQ(q->info, "POS80");
    EXPECT_TRUE(q->accepting);
    EXPECT_EQ(q->state, IPP_PSTATE_IDLE);
    EXPECT_EQ(q->uri, "pos-usb-printer-monitor://127.0.0.1:" + port + "/POS80-Port");
    // A raw job goes through cupsd and the monitor backend to the printer's address.
    const fs::path job = tree / "job.bin";
    std::ofstream(job, std::ios::binary) << std::string("\x1b@receipt\n\x1dV\x00", 13);
    EXPECT_THAT(Capture("lp -d POS80 -o raw " + job.string()), HasSubstr("request id is POS80-"));
    EXPECT_EQ(cupstest::ReceivedBytes(printer, 13, 20000), std::string("\x1b@receipt\n\x1dV\x00", 13));
    EXPECT_EQ(DefaultQueue(), "POS80");

    // The driver: a PPD in the model folder that CUPS lists, and the queue's copy.
    EXPECT_THAT(Capture("lpinfo -m"), ::testing::ContainsRegex("lumbra/POS80_Driver.ppd .*POS80 Driver"));
    const std::string ppd = ReadText(tree / "etc/cups/ppd/POS80.ppd");
    EXPECT_THAT(ppd, HasSubstr("*NickName: \"POS80 Driver\""));
    EXPECT_THAT(ppd, HasSubstr("*DefaultResolution: 203dpi"));
    EXPECT_THAT(ppd, HasSubstr("*PageSize X80MMY3276MM/80 x 3276mm"));
    EXPECT_THAT(ppd, HasSubstr("usr/lib/lumbra/driver/POS80Drv.dll"));
    EXPECT_EQ(fs::file_size(tree / "usr/lib/lumbra/driver/POS80GPC.pcd"), 484u);
    EXPECT_TRUE(fs::exists(tree / "usr/lib/cups/backend/pos-usb-printer-monitor"));

    // Printer data where the monitor backend reads them; registration; service; shortcut.
    platform_linux::FileStore store(tree / "var/lib/lumbra/store");
    const std::string data = "Spooler\\Printers\\POS80\\PrinterData";
    EXPECT_EQ(store.GetText(data, "IP"), "127.0.0.1 " + port);
    EXPECT_EQ(store.GetText(data, "PortType"), "1");
    EXPECT_EQ(store.GetText(data, "VidAndPid"), "vid_0418&pid_5011");
    EXPECT_EQ(store.GetText(data, "UserForm"), "800 2100 0 0");
    EXPECT_EQ(store.GetText("SOFTWARE\\POS80", "PortName"), "POS80-Port:");
    EXPECT_EQ(store.GetText("SOFTWARE\\POS80", "PrinterDriver"), "POS80 Driver");
    const fs::path folder = r.settings.programFolder;
    EXPECT_EQ(ReadText(folder / "Uninstall.ini"),
              "[Print Settings]\nPrinterName=POS80\nServiceName=MavoPrinter Service\n");
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(folder)) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_THAT(left, ::testing::ElementsAre("Inf", "RcptSpoolSvc.exe", "Uninstall.ini", "Uninstaller.exe"));
    const std::string unit = ReadText(tree / "etc/systemd/system/MavoPrinter-Service.service");
    EXPECT_THAT(unit, HasSubstr("Description=MavoPrinter Printer Monitor"));
    EXPECT_THAT(unit, HasSubstr("ExecStart=\"" + (folder / "RcptSpoolSvc.exe").string() + "\""));
    const fs::path desktop = tree / "home/installer/.local/share/applications/POS80 Driver/Uninstall Printer Driver.desktop";
    EXPECT_THAT(ReadText(desktop), HasSubstr("Exec=pkexec \"" + (folder / "Uninstaller.exe").string() + "\""));
}

TEST_F(CupsInstall, SecondInstallOfTheSameNameGetsItsOwnQueueAndBecomesDefault) {
    simtest::SimProcess printer(simtest::SimOptions{});
    ASSERT_TRUE(printer.ok()) << printer.error();
    const auto net = Network(printer);
    if (!GetQueue("POS80")) {
        ASSERT_TRUE(Install("POS80", net).ok);
    }
    const Result r = Install("POS80", net, {std::string("POS80-Port:")});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.questions, 1) << "the existing monitor port makes the installer ask";
    EXPECT_EQ(r.printer, "POS80 (1)");
    EXPECT_EQ(r.queue, "POS80_(1)");
    const auto q = GetQueue("POS80_(1)");
    ASSERT_TRUE(q);
    EXPECT_EQ(q->info, "POS80 (1)");
    EXPECT_TRUE(q->accepting);
    EXPECT_TRUE(GetQueue("POS80")) << "the first queue stays";
    EXPECT_EQ(DefaultQueue(), "POS80_(1)");
    const auto lines = LogLines();
    EXPECT_THAT(lines, ::testing::Contains("AddPrinterMonitor64 Error=3006"));
    EXPECT_THAT(lines, ::testing::Contains("AddPortEx = 183 PortName=POS80-Port:"));
}

TEST_F(CupsInstall, UninstallTakesOneInstallAndTheLastTakesTheMonitorBackend) {
    simtest::SimProcess printer(simtest::SimOptions{});
    ASSERT_TRUE(printer.ok()) << printer.error();
    const auto net = Network(printer);
    ASSERT_TRUE(Install("POS80", net).ok);
    ASSERT_TRUE(Install("POS80", net, {std::string("POS80-Port:")}).ok);
    installer::LinuxInstallPlatform platform(installer::InstallLocations::From(payload::SystemPaths::FromEnvironment()));
    const fs::path backend = tree / "usr/lib/cups/backend/pos-usb-printer-monitor";
    const fs::path ppd = tree / "usr/share/cups/model/lumbra/POS80_Driver.ppd";
    const fs::path unit = tree / "etc/systemd/system/MavoPrinter-Service.service";
    const fs::path launcher = tree / "home/installer/.local/share/applications/POS80 Driver";
    const fs::path folder = tree / "opt/USB Printer/POS80";

    EXPECT_EQ(engine::Uninstall(platform.Seams(), "POS80").status, engine::UninstallStatus::Done);
    EXPECT_FALSE(GetQueue("POS80"));
    for (const fs::path& p : {backend, ppd, unit, launcher, folder / "Uninstaller.exe"}) EXPECT_TRUE(fs::exists(p)) << p;
    // The second still prints, through the monitor backend they shared.
    const fs::path job = tree / "job2.bin";
    std::ofstream(job, std::ios::binary) << "\x1b@second\n";
    EXPECT_THAT(Capture("lp -d 'POS80_(1)' -o raw " + job.string()), HasSubstr("request id is POS80_(1)-"));
    EXPECT_EQ(cupstest::ReceivedBytes(printer, 9, 20000), "\x1b@second\n");

    EXPECT_EQ(engine::Uninstall(platform.Seams(), "POS80_(1)").status, engine::UninstallStatus::Done);
    EXPECT_FALSE(GetQueue("POS80_(1)"));
    // With the last install its folders go too: driver, system and model folders, the vendor folder.
    for (const fs::path& p : {backend, ppd, unit, launcher, folder, tree / "usr/lib/lumbra/driver/POS80Drv.dll",
                              tree / "usr/lib/lumbra/driver/3/LNGENU.DLL", tree / "usr/lib/lumbra/system/POS80Mon.dll",
                              tree / "usr/lib/lumbra", tree / "usr/share/cups/model/lumbra", folder.parent_path()})
        EXPECT_FALSE(fs::exists(p)) << p;
    EXPECT_TRUE(fs::exists(tree / "usr/share/cups/model")) << "not ours";
    for (const char* key : {"Spooler\\Monitors\\POS USB Printer Monitor", "Spooler\\Ports\\POS80-Port:",
                            "Spooler\\Printers\\POS80_(1)", "Spooler\\Drivers\\POS80 Driver", "SOFTWARE\\POS80",
                            "Lumbra\\Installs\\POS80_(1)"})
        EXPECT_FALSE(platform.store.KeyExists(key)) << key;
    EXPECT_THAT(Capture("lpinfo -m"), ::testing::Not(HasSubstr("POS80_Driver")));
}

TEST_F(CupsInstall, APrintSystemThatDoesNotAnswerGetsNothingWritten) {
    const auto files = [] {
        std::vector<std::string> paths;
        for (const char* top : {"usr", "opt", "home", "var/lib/lumbra"})
            if (fs::exists(tree / top))
                for (const auto& e : fs::recursive_directory_iterator(tree / top)) paths.push_back(e.path().string());
        std::sort(paths.begin(), paths.end());
        return paths;
    };
    const auto before = files();
    // A socket nobody listens on (for the worker thread too).
    ::setenv("CUPS_SERVER", (tree / "gone.sock").c_str(), 1);
    const Result r = Install("Down80", [](engine::InstallSettings& s) { s.portName = "LPT1:"; });
    ::setenv("CUPS_SERVER", (tree / "cups.sock").c_str(), 1);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(files(), before);
    EXPECT_THAT(LogLines(), ::testing::Contains("**** The print system does not answer; nothing was installed"));
}

TEST_F(CupsInstall, SerialPortAndAForbiddenQueueName) {
    std::vector<engine::SpoolerPort> ports;
    {
        const payload::SystemPaths paths = payload::SystemPaths::FromEnvironment();
        installer::LinuxInstallPlatform platform(installer::InstallLocations::From(paths));
        ASSERT_EQ(platform.spooler.EnumPorts(ports), engine::kOk);
    }
    if (std::none_of(ports.begin(), ports.end(), [](const auto& p) { return p.name == "COM1:"; }))
        GTEST_SKIP() << "no serial device for CUPS to report";
    const Result r = Install("Front desk/1", [&](engine::InstallSettings& s) {
        s.portName = "COM1:";
        engine::ComSettings com;
        com.baudRate = "9600";
        com.flow = engine::FlowLetter("无");
        platform_linux::FileStore store(tree / "var/lib/lumbra/store");
        engine::WriteComPortSettings(store, "COM1:", com);
        s.setDefault = false;
    });
    // CUPS lists serial ports by probing the device; a port busy at that moment
    // (another program, or a probe still running) is left out of the list the
    // port check reads, and the installer then asks for a port.
    if (!r.ok && r.questions > 0) GTEST_SKIP() << "CUPS did not list COM1 at the port check this time";
    ASSERT_TRUE(r.ok) << ReadText(tree / "var/log/InstallPrinter.txt");
    EXPECT_EQ(r.questions, 0);
    EXPECT_EQ(r.queue, "Front_desk_1");
    const auto q = GetQueue("Front_desk_1");
    ASSERT_TRUE(q);
    EXPECT_EQ(q->info, "Front desk/1");
    EXPECT_EQ(q->uri, "serial:/dev/ttyS0?baud=9600+bits=8+parity=none+flow=none+stop=1");
    EXPECT_NE(DefaultQueue(), "Front_desk_1");
}

TEST_F(CupsInstall, UsbPrinterWithoutMonitorPrintsToItsNode) {
    // printer-sim's fake USB tree: one usblp printer with a FIFO as its node.
    const fs::path usbRoot = tree / "usbroot";
    const fs::path dev = usbRoot / "sys/bus/usb/devices/1-1";
    fs::create_directories(dev);
    fs::create_directories(usbRoot / "sys/bus/usb/devices/1-1:1.0");
    std::ofstream(dev / "idVendor") << "0418\n";
    std::ofstream(dev / "idProduct") << "5011\n";
    fs::create_directories(usbRoot / "sys/class/usbmisc/lp0");
    fs::create_symlink("../../../bus/usb/devices/1-1:1.0", usbRoot / "sys/class/usbmisc/lp0/device");
    fs::create_directories(usbRoot / "dev/usb");
    const fs::path node = usbRoot / "dev/usb/lp0";
    ASSERT_EQ(::mkfifo(node.c_str(), 0666), 0);
    ::chmod(node.c_str(), 0666);  // the backend runs as lp, like a usblp node of group lp
    // Keep the FIFO open for reading so the backend's open never blocks.
    const int reader = ::open(node.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);

    const Result r = Install("USB80", [&](engine::InstallSettings& s) {
        s.portName = "USB";
        s.useMonitor = false;
        payload::ModelTable models = payload::ReadModelTable(PAYLOAD_FILES_DIR);
        ASSERT_TRUE(engine::ChooseUsbRow(*std::make_unique<platform_linux::SysfsUsbRegistry>(usbRoot), models,
                                         payload::InstallLog(), "POS80", s));
        s.printerName = "USB80";
    });
    ASSERT_TRUE(r.ok) << ReadText(tree / "var/log/InstallPrinter.txt");
    EXPECT_EQ(r.settings.portName, "USB001");
    const auto q = GetQueue("USB80");
    ASSERT_TRUE(q);
    EXPECT_EQ(q->uri, "parallel:" + node.string());

    const fs::path job = tree / "usbjob.bin";
    std::ofstream(job, std::ios::binary) << "\x1b@usb\n";
    EXPECT_THAT(Capture("lp -d USB80 -o raw " + job.string()), HasSubstr("request id is USB80-"));
    std::string got;
    for (int i = 0; i < 200 && got.size() < 6; ++i) {
        char buf[64];
        const ssize_t n = ::read(reader, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        else ::usleep(50000);
    }
    ::close(reader);
    EXPECT_EQ(got, "\x1b@usb\n");
}

TEST(CupsSpoolerNames, DerivedNames) {
    EXPECT_EQ(platform_linux::CupsSpooler::SchemeFor("POS USB Printer Monitor"), "pos-usb-printer-monitor");
    EXPECT_EQ(platform_linux::CupsSpooler::SchemeFor("  58mm/Monitor "), "m-58mm-monitor");
    EXPECT_EQ(platform_linux::CupsSpooler::QueueNameFor("POS80 (1)"), "POS80_(1)");
    EXPECT_EQ(platform_linux::CupsSpooler::QueueNameFor("a#b\\c?d'e\"f\tg"), "a_b_c_d_e_f_g");
    EXPECT_EQ(platform_linux::CupsSpooler::SerialUriWithSettings("serial:/dev/ttyS1?baud=115200", "19200,e,7,1.5,x"),
              "serial:/dev/ttyS1?baud=19200+bits=7+parity=even+flow=soft+stop=2");
}

}  // namespace
