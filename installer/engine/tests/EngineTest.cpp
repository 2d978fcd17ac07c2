// The engine against the fakes: spooler call order, log lines, printer data,
// port questions, names, data file bytes, registration and clean-up.
#include <gmock/gmock.h>

#include "installer/engine/InstallSession.h"
#include "installer/engine/PcdFile.h"
#include "installer/engine/tests/EngineHarness.h"

namespace enginetest {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using engine::PrinterValue;

std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(EngineHarness, UsbWithMonitorRunsTheFullSequence) {
    usb.AddPrinter("vid_0418&pid_5011", "SN0001", "7&2a1b&0", "UnknownPrinter", "USB001");
    ASSERT_TRUE(engine::ChooseUsbRow(usb, run->models, run->log, "POS80", run->settings));
    EXPECT_EQ(run->settings.portName, "USB001");
    EXPECT_EQ(run->settings.selectedRow, 1);

    ASSERT_TRUE(engine::InstallWorker(*run));

    EXPECT_EQ(observer.outcome, "succeeded");
    EXPECT_THAT(spooler.calls, ElementsAre(
        "DriverDirectory", "DriverDirectory", "SystemDirectory",
        "AddMonitor POS USB Printer Monitor", "AddPort POS80-Port:", "EnumPorts",
        "AddPrinterDriver POS80 Driver", "EnumPrinters", "AddPrinter POS80 @ POS80-Port:",
        "SetPrinterData PortType", "SetPrinterData DevicePath", "SetPrinterData VidAndPid",
        "SetPrinterData UserForm", "SetPrinterData Language", "ClosePrinter",
        "SetDefaultPrinter POS80"));
    EXPECT_THAT(LogLines(), ElementsAre(
        "**** vid&pid=vid_0418&pid_5011 subkey=SN0001", "**** FileCount=25", "**** Retrace Finish",
        "*********** call AddPrinter", "*********** AddPrinter success", "AddPrinter hPrinter = 1001"));
    EXPECT_THAT(spooler.data, ElementsAre(
        std::pair<std::string, PrinterValue>{"PortType", PrinterValue::Number(0)},
        std::pair<std::string, PrinterValue>{"DevicePath", PrinterValue::Text("")},
        std::pair<std::string, PrinterValue>{"VidAndPid", PrinterValue::Text("vid_0418&pid_5011")},
        std::pair<std::string, PrinterValue>{"UserForm", PrinterValue::Text("800 2100 0 0")},
        std::pair<std::string, PrinterValue>{"Language", PrinterValue::Text("LNGENU.DLL")}));
    EXPECT_TRUE(spooler.openHandles.empty()) << "the printer handle is released";

    ASSERT_EQ(spooler.drivers.size(), 1u);
    const engine::DriverRecord& d = spooler.drivers[0];
    EXPECT_EQ(d.environment, "Windows x64");
    EXPECT_EQ(d.driverPath, "POS80Drv.dll");
    EXPECT_EQ(d.dataFile, "POS80GPC.pcd");
    EXPECT_EQ(d.configFile, "POS80UI.dll");
    ASSERT_EQ(spooler.added.size(), 1u);
    EXPECT_EQ(spooler.added[0].printProcessor, "WinPrint");
    EXPECT_EQ(spooler.added[0].dataType, "RAW");
    EXPECT_EQ(spooler.added[0].attributes, 4u);

    // The 64-bit variant copies the ".x64" files and removes them, and the
    // plain 32-bit driver modules, from the install folder.
    const fs::path dd = spooler.driverDirectory;
    EXPECT_EQ(ReadText(dd / "3" / "LNGZHS.DLL"), "LNGZHS.DLL.x64");
    EXPECT_EQ(ReadText(dd / "POS80Drv.dll"), "drvrend.dll.x64");
    EXPECT_EQ(ReadText(dd / "POS80UI.dll"), "drvui.dll.x64");
    EXPECT_EQ(ReadText(spooler.systemDirectory / "POS80Mon.dll"), "RcptPortMon.dll.x64");
    EXPECT_EQ(ReadText(spooler.systemDirectory / "POS80MonUI.dll"), "RcptPortMonUI.dll.x64");
    for (const char* gone : {"drvrend.dll", "drvrend.dll.x64", "drvui.dll", "drvui.dll.x64",
                             "RcptPortMon.dll.x64", "RcptPortMonUI.dll.x64"}) {
        EXPECT_FALSE(fs::exists(Folder() / gone)) << gone;
    }
    EXPECT_TRUE(fs::exists(Folder() / "RcptPortMon.dll")) << "the 32-bit monitor modules stay";
    EXPECT_EQ(fs::file_size(dd / "POS80GPC.pcd"), 484u);

    // Registration, service, shortcut.
    const std::string key = "SOFTWARE\\POS80";
    EXPECT_EQ(store.GetText(key, "Data Directory"), run->settings.installFolder);
    EXPECT_EQ(store.GetText(key, "Program Directory"), Folder().string());
    EXPECT_EQ(store.GetText(key, "Language"), "English");
    EXPECT_EQ(store.GetText(key, "PrinterDriver"), "POS80 Driver");
    EXPECT_EQ(store.GetText(key, "MonitorName"), "POS USB Printer Monitor");
    EXPECT_EQ(store.GetText(key, "PortName"), "POS80-Port:");
    const fs::path shortcut = *shell.startMenu / "POS80 Driver" / "Uninstall Printer Driver.lnk";
    EXPECT_EQ(store.GetText(key, "Uninstaller"), shortcut.string());
    EXPECT_EQ(store.GetText(key, "StartMenuDir"), (*shell.startMenu / "POS80 Driver").string());
    EXPECT_EQ(ReadText(shortcut), "target=" + (Folder() / "Uninstaller.exe").string() +
                                      "\nworkdir=" + Folder().string() + "\n");
    const std::string uninstall = std::string(engine::kUninstallKeyPrefix) + "POS80";
    EXPECT_EQ(store.GetText(uninstall, "DisplayVersion"), "1.2.1");
    EXPECT_EQ(store.GetText(uninstall, "UninstallString"), (Folder() / "Uninstaller.exe").string());
    EXPECT_EQ(ReadText(Folder() / "Uninstall.ini"),
              "[Print Settings]\nPrinterName=POS80\nServiceName=MavoPrinter Service\n");
    EXPECT_THAT(services.calls, ElementsAre("Create MavoPrinter Service",
                                            "SetDescription MavoPrinter Printer Monitor",
                                            "Start MavoPrinter Service"));
    EXPECT_EQ(services.services["MavoPrinter Service"].record.program, Folder() / "RcptSpoolSvc.exe");
    EXPECT_EQ(spooler.defaultPrinter, "POS80");
    EXPECT_EQ(observer.progress.back(), 100);
    EXPECT_EQ(observer.statusLines.back(), "Installing Printer Driver, Please wait...");
}

TEST_F(EngineHarness, NetworkWritesTheAddressFirstAndOnlyThere) {
    auto& s = run->settings;
    s.portName = "Net Port(TCP/IP)";
    s.portKind = engine::kPortKindNetwork;
    s.ipAddress = "127.0.0.1";
    s.tcpPort = "9100";
    ASSERT_TRUE(engine::InstallWorker(*run));
    EXPECT_THAT(spooler.calls, ElementsAre(
        "DriverDirectory", "DriverDirectory", "SystemDirectory",
        "AddMonitor POS USB Printer Monitor", "AddPort POS80-Port:", "EnumPorts",
        "AddPrinterDriver POS80 Driver", "EnumPrinters", "AddPrinter POS80 @ POS80-Port:",
        "SetPrinterData IP", "SetPrinterData PortType", "SetPrinterData DevicePath",
        "SetPrinterData VidAndPid", "SetPrinterData UserForm", "SetPrinterData Language",
        "ClosePrinter", "SetDefaultPrinter POS80"));
    EXPECT_EQ(spooler.data[0].second, PrinterValue::Text("127.0.0.1 9100"));
    EXPECT_EQ(spooler.data[1].second, PrinterValue::Number(1));
}

TEST_F(EngineHarness, ComPortWithoutFlowControlAndNoMonitor) {
    spooler.ports = {{"COM1:", "Serial port", "Local Port"}, {"LPT1:", "Printer port", "Local Port"}};
    engine::ComSettings com;
    com.baudRate = "9600";
    com.parity = engine::ParityLetter("无");
    com.flow = engine::FlowLetter("无");
    engine::WriteComPortSettings(store, "COM1:", com);
    EXPECT_EQ(store.GetText(engine::kComPortsKey, "COM1:"), "9600,n,8,1,");
    engine::ComSettings defaults;
    EXPECT_EQ(engine::ComSettingsText(defaults), "115200,n,8,1,p");
    EXPECT_EQ(engine::FlowLetter("Xon / Xoff"), "x");
    EXPECT_EQ(engine::ParityLetter("奇校验"), "o");

    run->settings.portName = "COM1:";
    run->settings.setDefault = false;
    ASSERT_TRUE(engine::InstallWorker(*run));
    EXPECT_THAT(spooler.calls, ElementsAre(
        "DriverDirectory", "DriverDirectory", "SystemDirectory", "EnumPorts",
        "AddPrinterDriver POS80 Driver", "EnumPrinters", "AddPrinter POS80 @ COM1:",
        "SetPrinterData PortType", "SetPrinterData DevicePath", "SetPrinterData VidAndPid",
        "SetPrinterData UserForm", "SetPrinterData Language", "ClosePrinter"));
    EXPECT_EQ(spooler.defaultPrinter, "") << "the default is left alone";
}

TEST_F(EngineHarness, ParallelPortInChineseWithoutMonitorCalls) {
    spooler.ports = {{"COM1:", "Serial port", "Local Port"}, {"LPT1:", "Printer port", "Local Port"}};
    run->settings.portName = "LPT1:";
    run->settings.uiLanguage = 1;
    run->settings.chinese = true;
    ASSERT_TRUE(engine::InstallWorker(*run));
    EXPECT_THAT(spooler.calls, ElementsAre(
        "DriverDirectory", "DriverDirectory", "SystemDirectory", "EnumPorts",
        "AddPrinterDriver POS80 Driver", "EnumPrinters", "AddPrinter POS80 @ LPT1:",
        "SetPrinterData PortType", "SetPrinterData DevicePath", "SetPrinterData VidAndPid",
        "SetPrinterData UserForm", "SetPrinterData Language", "ClosePrinter", "SetDefaultPrinter POS80"));
    EXPECT_THAT(LogLines(), ElementsAre("**** FileCount=25", "**** Retrace Finish", "*********** call AddPrinter",
                                        "*********** AddPrinter success", "AddPrinter hPrinter = 1001"));
    EXPECT_EQ(observer.statusLines.back(), "正在安装打印机驱动，请稍候...");
    const fs::path shortcut = *shell.startMenu / "POS80 打印机驱动" / "卸载 打印机驱动.lnk";
    EXPECT_TRUE(fs::exists(shortcut));
    EXPECT_EQ(store.GetText("SOFTWARE\\POS80", "Language"), "Chinese");
    EXPECT_EQ(store.GetText("SOFTWARE\\POS80", "PortName"), "LPT1:");
}

TEST_F(EngineHarness, UnknownPortAsksTheUserAndCancelFails) {
    spooler.ports = {{"COM1:", "Serial port", "Local Port"}};
    run->settings.portName = "LPT1:";
    observer.answers = {std::nullopt};
    EXPECT_FALSE(engine::InstallWorker(*run));
    EXPECT_EQ(observer.outcome, "failed");
    ASSERT_EQ(observer.questions.size(), 1u);
    EXPECT_EQ(observer.questions[0][0].name, "COM1:");
    EXPECT_THAT(spooler.calls, ElementsAre("DriverDirectory", "DriverDirectory", "SystemDirectory",
                                           "EnumPorts", "EnumPorts"));
    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 3),
                ElementsAre("**** FileCount=25", "**** Retrace Finish",
                            "**** Failed install, removed 19 files it had extracted into " + Folder().string()));
    EXPECT_TRUE(services.calls.empty());
    EXPECT_FALSE(store.KeyExists("SOFTWARE\\POS80"));
    EXPECT_EQ(spooler.defaultPrinter, "");
}

TEST_F(EngineHarness, SecondInstallOfTheSameNameGetsItsOwnPrinterAndBecomesDefault) {
    // An earlier POS80 with its monitor, port and service.
    spooler.monitors = {"POS USB Printer Monitor"};
    spooler.ports = {{"POS80-Port:", "monitor port", "POS USB Printer Monitor"}};
    spooler.printers = {"POS80", "POS80 (1)"};
    services.services["MavoPrinter Service"].record.program = "/old/RcptSpoolSvc.exe";
    store.CreateKey(engine::kRunOnceKey);
    store.SetText(engine::kRunOnceKey, "OvqUninstaller", "x");
    run->settings.usbChosen = true;
    run->settings.portName = "USB";
    observer.answers = {std::string("POS80-Port:")};

    ASSERT_TRUE(engine::InstallWorker(*run));
    EXPECT_THAT(spooler.calls, ElementsAre(
        "DriverDirectory", "DriverDirectory", "SystemDirectory",
        "AddMonitor POS USB Printer Monitor", "AddPort POS80-Port:", "EnumPorts", "EnumPorts",
        "AddPrinterDriver POS80 Driver", "EnumPrinters", "AddPrinter POS80 (2) @ POS80-Port:",
        "SetPrinterData PortType", "SetPrinterData DevicePath", "SetPrinterData VidAndPid",
        "SetPrinterData UserForm", "SetPrinterData Language", "ClosePrinter",
        "SetDefaultPrinter POS80 (2)"));
    EXPECT_THAT(LogLines(), ElementsAre(
        "**** FileCount=25", "**** Retrace Finish", "AddPrinterMonitor64 Error=3006",
        "AddPortEx = 183 PortName=POS80-Port:", "*********** call AddPrinter",
        "*********** AddPrinter success", "AddPrinter hPrinter = 1001"));
    EXPECT_EQ(observer.questions.size(), 1u);
    EXPECT_EQ(spooler.defaultPrinter, "POS80 (2)") << "the printer just added, not the old POS80";
    EXPECT_THAT(services.calls, ElementsAre("Create MavoPrinter Service"));
    EXPECT_EQ(services.services["MavoPrinter Service"].record.program, "/old/RcptSpoolSvc.exe");
    EXPECT_EQ(store.GetText(engine::kRunOnceKey, "OvqUninstaller"), std::nullopt);
}

TEST_F(EngineHarness, ThirtyTwoBitVariantLogsOnlyRealMonitorFailures) {
    run->wow64 = false;
    spooler.monitors = {"POS USB Printer Monitor"};
    run->settings.usbChosen = true;
    ASSERT_TRUE(engine::InstallWorker(*run));
    EXPECT_THAT(LogLines(), ElementsAre("**** FileCount=25", "**** Retrace Finish",
                                        "*********** call AddPrinter", "*********** AddPrinter success",
                                        "AddPrinter hPrinter = 1001"));
    EXPECT_EQ(spooler.drivers[0].environment, "Windows NT x86");
    EXPECT_EQ(ReadText(spooler.driverDirectory / "POS80Drv.dll"), "drvrend.dll");
    EXPECT_EQ(ReadText(spooler.driverDirectory / "3" / "Pixmod.dll"), "Pixmod.dll");
    for (const char* gone : {"drvrend.dll", "drvui.dll", "RcptPortMon.dll", "RcptPortMonUI.dll"})
        EXPECT_FALSE(fs::exists(Folder() / gone)) << gone;
    EXPECT_TRUE(fs::exists(Folder() / "drvrend.dll.x64"));

    // Any other monitor failure is logged and leads to the port question.
    spooler.failures["AddMonitor"] = 5;
    spooler.printers.clear();
    observer.answers = {std::string("POS80-Port:")};
    run->settings.portName = "USB";
    ASSERT_TRUE(engine::InstallWorker(*run));
    EXPECT_EQ(LogLines()[7], "AddPrinterMonitor32 = 5");
}

TEST_F(EngineHarness, SpoolerFailuresEndTheInstallWithTheirLogLine) {
    struct Case {
        const char* call;
        std::uint32_t error;
        const char* line;  // last log line, or "" for none
    } cases[] = {
        {"DriverDirectory", 1722, "**** Retrace Finish"},
        {"AddPrinterDriver", 1797, "AddPrinterDriver = 1797"},
        {"AddPrinter", 1802, "AddPrinter = 1802"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        platform_fake::FakePrintSpooler fresh;
        fresh.driverDirectory = spooler.driverDirectory;
        fresh.systemDirectory = spooler.systemDirectory;
        fresh.ports = {{"COM1:", "", ""}};
        fresh.failures[c.call] = c.error;
        RecordingObserver obs;
        platform_fake::MemoryStore st;
        platform_fake::FakeServiceManager sv;
        engine::InstallRun r({fresh, st, sv, shell, usb}, obs);
        r.log = payload::InstallLog(root / (std::string(c.call) + ".log"));
        r.package = &package;
        r.models = run->models;
        r.settings = run->settings;
        r.settings.portName = "COM1:";
        EXPECT_FALSE(engine::InstallWorker(r));
        EXPECT_EQ(obs.outcome, "failed");
        std::ifstream in(root / (std::string(c.call) + ".log"), std::ios::binary);
        std::string line, last;
        while (std::getline(in, line))
            if (line.rfind("**** Failed install, ", 0) != 0) last = line;  // what the roll-back took away follows
        while (!last.empty() && last.back() == '\r') last.pop_back();
        EXPECT_EQ(last, c.line);
        // Nothing of the failed install is left in the folders it wrote.
        EXPECT_TRUE(fs::is_empty(spooler.driverDirectory));
        EXPECT_FALSE(fs::exists(spooler.systemDirectory));
        EXPECT_TRUE(fs::is_empty(Folder()));
        EXPECT_TRUE(fresh.drivers.empty());
        EXPECT_EQ(fresh.defaultPrinter, "");
        EXPECT_TRUE(sv.calls.empty());
        EXPECT_TRUE(st.keys.empty()) << "no registration after a failure";
    }
}

TEST(EngineNames, UniquePrinterNames) {
    platform_fake::FakePrintSpooler spooler;
    EXPECT_EQ(engine::MakeUniquePrinterName(spooler, "POS80"), "POS80");
    spooler.printers = {"pos80", "POS80 (1)x"};
    EXPECT_EQ(engine::MakeUniquePrinterName(spooler, "POS80"), "POS80") << "exact and case-sensitive";
    spooler.printers = {"POS80"};
    EXPECT_EQ(engine::MakeUniquePrinterName(spooler, "POS80"), "POS80 (1)");
    spooler.printers = {"POS80 (1)", "Other", "POS80"};
    EXPECT_EQ(engine::MakeUniquePrinterName(spooler, "POS80"), "POS80 (2)");
    spooler.failures["EnumPrinters"] = 1722;
    EXPECT_EQ(engine::MakeUniquePrinterName(spooler, "POS80"), "POS80");
    EXPECT_EQ(engine::MonitorPortName("POS80"), "POS80-Port:");
}

std::uint32_t U16(const std::vector<std::uint8_t>& b, std::size_t at) { return b[at] | (b[at + 1] << 8); }
std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) { return U16(b, at) | (U16(b, at + 2) << 16); }

TEST(EnginePcd, SizesHeaderFieldsAndForms) {
    const auto unknown = engine::BuildPcdFile(203, engine::PcdFormsFor("POS-80", 800, 2100));
    ASSERT_EQ(unknown.size(), 316u);
    EXPECT_EQ(U16(unknown, 0x0A), 60u);
    EXPECT_EQ(U16(unknown, 0xF0), 1u);

    const auto known = engine::BuildPcdFile(300, engine::PcdFormsFor("POS58", 580, 2970));
    ASSERT_EQ(known.size(), 484u);
    const std::uint8_t start[] = {0x50, 0x6C, 0x6F, 0x74, 0x0A, 0x01, 0x00, 0x00, 0x00, 0x01, 0xE4, 0x00,
                                  'R', 'K', '5', '2', '0', '0', ' ', 'P', 'r', 'i', 'n', 't', 'e', 'r'};
    EXPECT_TRUE(std::equal(std::begin(start), std::end(start), known.begin()));
    EXPECT_EQ(U32(known, 0x48), 300u);
    EXPECT_EQ(U32(known, 0x4C), 300u);
    EXPECT_EQ(U16(known, 0x50), 300u);
    EXPECT_EQ(U16(known, 0x52), 300u);
    EXPECT_EQ(U16(known, 0x56), 0x64u) << "template bytes after the patched ones stay";
    const std::vector<std::uint8_t> tail(known.begin() + 0xF0, known.begin() + 0x104);
    EXPECT_THAT(tail, ElementsAre(0x04, 0x00, 0x38, 0x00, 0x04, 0x01, 0x00, 0x00, 0x02, 0x00, 0x02,
                                  0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&known[260])), "Custom");
    EXPECT_EQ(U32(known, 260 + 32), 58000u);
    EXPECT_EQ(U32(known, 260 + 36), 297000u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&known[260 + 56 * 3])), "58 x 3276mm");
    EXPECT_EQ(U32(known, 260 + 56 * 3 + 36), 3276000u);
    for (std::size_t i = 260 + 56 * 3 + 40; i < 484; ++i) EXPECT_EQ(known[i], 0) << i;

    const auto parsed = engine::ParsePcdFile(known);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->resolution, 300);
    EXPECT_EQ(parsed->forms, engine::PcdFormsFor("POS58", 580, 2970));
    EXPECT_EQ(engine::PcdFormsFor("POS110", 1100, 2100)[2].name, "110 x 297mm");
}

TEST_F(EngineHarness, PaperSizeOutOfRangeFailsTheDataFile) {
    // A width of 99999999999999 in the model table reads as INT_MAX.
    const auto forms = engine::PcdFormsFor("POS80", payload::LeadingInt(u"99999999999999"), 2100);
    EXPECT_EQ(forms[0].width, std::numeric_limits<std::int32_t>::max());
    EXPECT_TRUE(engine::PaperSizeFits(21474836, 0));
    EXPECT_FALSE(engine::PaperSizeFits(21474837, 0));
    EXPECT_FALSE(engine::PaperSizeFits(800, -1));
    run->models.rows[1].paperWidth = payload::LeadingInt(u"99999999999999");
    run->settings.portName = "COM1:";
    EXPECT_FALSE(engine::InstallWorker(*run));
    EXPECT_EQ(run->failure, engine::Failure::FilesNotWritten);
    EXPECT_FALSE(fs::exists(spooler.driverDirectory / "POS80GPC.pcd"));
}

// The port page's rules, the same for every front-end.
TEST_F(EngineHarness, PortChoicesOfTheSession) {
    engine::InstallSession session({spooler, store, services, shell, usb}, observer);
    session.Run().models.rows[1] = Row(u"POS80", u"POS80", u"vid_0418&pid_5011");
    session.Settings().printerName = "POS80";
    struct Case {
        std::string entry;
        bool exact;
        std::string ip, tcp;
        engine::PortCheck check;
        std::string portName;
        int kind;
    } cases[] = {
        {"USB", false, "", "", engine::PortCheck::NoUsbPrinter, "USB", engine::kPortKindLocal},
        {"COM3", false, "", "", engine::PortCheck::Ok, "COM3:", engine::kPortKindLocal},
        {"COM3:", false, "", "", engine::PortCheck::Ok, "COM3:", engine::kPortKindLocal},
        {"LPT1", false, "", "", engine::PortCheck::Ok, "LPT1:", engine::kPortKindLocal},
        {"USB001", true, "", "", engine::PortCheck::Ok, "USB001", engine::kPortKindLocal},
        {"Net Port(TCP/IP)", false, "", "9100", engine::PortCheck::NoAddress, "Net Port(TCP/IP)", 0},
        {"Net Port(TCP/IP)", false, "127.0.0.1", "", engine::PortCheck::NoTcpPort, "Net Port(TCP/IP)", 0},
        {"Net Port(TCP/IP)", false, "127.0.0.1", "9100", engine::PortCheck::Ok, "Net Port(TCP/IP)",
         engine::kPortKindNetwork},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        engine::PortChoice choice;
        choice.entry = c.entry;
        choice.exact = c.exact;
        choice.ipAddress = c.ip;
        choice.tcpPort = c.tcp;
        EXPECT_EQ(session.ConfirmPort(choice), c.check);
        EXPECT_EQ(session.Settings().portName, c.portName);
        EXPECT_EQ(session.Settings().portKind, c.kind);
        EXPECT_EQ(session.Settings().usbChosen, c.entry == "USB");
    }
    EXPECT_EQ(store.GetText(engine::kComPortsKey, "COM3:"), "115200,n,8,1,p");
}

TEST(EngineUsb, PortSearchOutcomes) {
    payload::ModelTable models;
    models.rows[1] = Row(u"POS80", u"POS80", u"vid_0418&pid_5011");
    models.rows[2] = Row(u"POS80", u"POS80", u"vid_0418&pid_5012", u"OtherPrinter");
    payload::InstallLog log;

    {   // An inactive USB003 and an active USB001: the active one wins.
        platform_fake::FakeUsbRegistry usb;
        usb.AddPrinter("vid_0418&pid_5011", "A1", "7&11", "UnknownPrinter", "USB003", false);
        usb.printInstances["UnknownPrinter"]["7&11&USB001"] = {"Control"};
        std::string port = "USB";
        EXPECT_TRUE(engine::FindUsbPrintPort(usb, models, log, port, "VID_0418&PID_5011", "UnknownPrinter"));
        EXPECT_EQ(port, "USB001");
    }
    {   // Only inactive instances: no port name, so the search reports failure.
        platform_fake::FakeUsbRegistry usb;
        usb.AddPrinter("vid_0418&pid_5011", "A1", "7&11", "UnknownPrinter", "USB003", false);
        std::string port = "USB";
        EXPECT_FALSE(engine::FindUsbPrintPort(usb, models, log, port, "vid_0418&pid_5011", "UnknownPrinter"));
        EXPECT_EQ(port, "USB");
    }
    {   // A device instance that cannot be opened ends the search at once.
        platform_fake::FakeUsbRegistry usb;
        usb.AddPrinter("vid_0418&pid_5011", "A1", "7&11", "UnknownPrinter", "USB001");
        usb.AddPrinter("vid_0418&pid_5011", "A2", "7&22", "UnknownPrinter", "USB002");
        usb.unopenableUsbInstances.insert("vid_0418&pid_5011\\A1");
        std::string port;
        EXPECT_FALSE(engine::FindUsbPrintPort(usb, models, log, port, "vid_0418&pid_5011", "UnknownPrinter"));
    }
    {   // Upper-case paths are counted by the scan but not found by the search.
        platform_fake::FakeUsbRegistry usb;
        usb.AddPrinter("VID_0418&PID_5011", "A1", "7&11", "UnknownPrinter", "USB001");
        std::vector<std::string> paths;
        EXPECT_EQ(engine::UsbDeviceScan(usb, models, paths), 1);
        std::string port;
        EXPECT_FALSE(engine::FindUsbPrintPort(usb, models, log, port, "vid_0418&pid_5011", "UnknownPrinter"));
    }
    {   // Two rows of one printer name: the connected vid&pid picks the row.
        platform_fake::FakeUsbRegistry usb;
        usb.AddPrinter("vid_0418&pid_5012", "B1", "9&33", "OtherPrinter", "USB004");
        usb.AddPrinter("vid_9999&pid_0001", "C1", "9&44", "UnknownPrinter", "USB005");
        engine::InstallSettings s;
        s.selectedRow = 1;
        s.portName = "USB";
        EXPECT_TRUE(engine::ChooseUsbRow(usb, models, log, "POS80", s));
        EXPECT_TRUE(s.usbChosen);
        EXPECT_EQ(s.selectedRow, 2);
        EXPECT_EQ(s.portName, "USB004");
        // A typed name that no row has keeps the selection and "USB".
        engine::InstallSettings t;
        t.selectedRow = 1;
        t.portName = "USB";
        EXPECT_TRUE(engine::ChooseUsbRow(usb, models, log, "My printer", t));
        EXPECT_EQ(t.selectedRow, 1);
        EXPECT_EQ(t.portName, "USB");
        // Nothing of ours connected.
        platform_fake::FakeUsbRegistry none;
        none.AddPrinter("vid_9999&pid_0001", "C1", "9&44", "UnknownPrinter", "USB005");
        EXPECT_FALSE(engine::ChooseUsbRow(none, models, log, "POS80", t));
    }
}

TEST(EnginePorts, PortListOrderAndNetworkEntry) {
    platform_fake::FakePrintSpooler spooler;
    spooler.ports = {{"LPT1:", "", ""}, {"COM1:", "", ""}, {"USB001", "", ""}, {"COM10:", "", ""},
                     {"POS80-Port:", "", ""}, {"com2:", "", ""}};
    EXPECT_THAT(engine::FillPortList(spooler, 0),
                ElementsAre("USB", "COM1", "COM10", "LPT1", "Net Port(TCP/IP)"));
    EXPECT_THAT(engine::FillPortList(spooler, 1).back(), "网络端口（TCP/IP）");
    EXPECT_THAT(engine::FillPortList(spooler, 2), ElementsAre("USB", "COM1", "COM10", "LPT1"));
    spooler.failures["EnumPorts"] = 1722;
    EXPECT_THAT(engine::FillPortList(spooler, 0), ElementsAre("USB", "Net Port(TCP/IP)"));
    EXPECT_FALSE(engine::PortExists(spooler, "COM1:"));
}

TEST_F(EngineHarness, CleanUpKeepsTheThreeFilesAndEverythingNotExtracted) {
    // A user's own file, a sub-folder, and a symbolic link where an extracted file was.
    std::ofstream(Folder() / "notes.txt") << "mine";
    fs::create_directories(Folder() / "Inf");
    std::ofstream(root / "outside.txt") << "keep";
    run->settings.portName = "COM1:";
    spooler.ports = {{"COM1:", "", ""}};
    ASSERT_TRUE(engine::InstallWorker(*run));
    fs::remove(Folder() / "DRVHELP.HLP");
    fs::create_symlink(root / "outside.txt", Folder() / "DRVHELP.HLP");

    engine::CleanInstallFolder(*run);
    EXPECT_THAT(FilesIn(Folder()), ElementsAre("DRVHELP.HLP", "Inf", "RcptSpoolSvc.exe", "Uninstall.ini",
                                               "Uninstaller.exe", "notes.txt"));
    EXPECT_TRUE(fs::is_symlink(Folder() / "DRVHELP.HLP"));
    EXPECT_EQ(ReadText(root / "outside.txt"), "keep");

    // Cancelled before anything was extracted: nothing goes.
    run->extracted = {};
    EXPECT_EQ(engine::CleanInstallFolder(*run), 0);
    EXPECT_EQ(FilesIn(Folder()).size(), 6u);
}

TEST(EngineIni, ProfileStringsUpdateInPlace) {
    const fs::path file = fs::temp_directory_path() / "engine-ini-test.ini";
    std::ofstream(file) << "; note\n[Other]\nA=1\n\n[Print Settings]\nPrinterName=Old\n";
    EXPECT_TRUE(engine::WriteProfileString(file, "Print Settings", "PrinterName", "POS80"));
    EXPECT_TRUE(engine::WriteProfileString(file, "print settings", "ServiceName", "MavoPrinter Service"));
    EXPECT_TRUE(engine::WriteProfileString(file, "New", "K", "V"));
    EXPECT_EQ(ReadText(file), "; note\n[Other]\nA=1\n\n[Print Settings]\nPrinterName=POS80\n"
                              "ServiceName=MavoPrinter Service\n\n[New]\nK=V\n");
    fs::remove(file);
}

}  // namespace
}  // namespace enginetest
