// The install wizard walked page by page on the offscreen platform against the
// fake platform: every check and its message, USB, COM, LPT and network, the
// worker's port question, Complete and Failed, Back, and the refusal to close
// while the worker runs.
#include <QTableWidget>
#include <QTimer>

#include "installer/wizard/tests/WizardHarness.h"
#include "platform/fake/usb/FakeUsbTree.h"
#include "platform/linux/usbreg/SysfsUsbRegistry.h"

using namespace wizard;
using wizardtest::WizardRig;
namespace fs = std::filesystem;

namespace {

QString S(const char16_t* text) { return QString::fromUtf16(text); }

bool Visible(QWidget* w) { return w->isVisible(); }

class InstallDlgTest : public WizardRig {};

TEST_F(InstallDlgTest, SetUpGeometryCaptionsAndLists) {
    spooler.ports = {{"COM1:", "Serial", "Local Port"}, {"LPT1:", "Parallel", "Local Port"},
                     {"COM2:", "Serial", "Local Port"}, {"USB001", "Virtual USB", "USB Monitor"}};
    CInstallDlg* d = Make();
    EXPECT_EQ(d->size(), QSize(523, 365));
    EXPECT_EQ(d->pos(), QPoint(0, 0));
    EXPECT_EQ(d->windowTitle(), QStringLiteral("USB printer driver installation Wizard"));
    EXPECT_EQ(d->panel()->geometry(), QRect(0, 0, 521, 315));
    EXPECT_EQ(d->backButton()->geometry(), QRect(271, 332, 78, 23));
    EXPECT_EQ(d->nextButton()->geometry(), QRect(354, 332, 78, 23));
    EXPECT_EQ(d->cancelButton()->geometry(), QRect(437, 332, 78, 23));
    EXPECT_EQ(d->browseButton()->geometry(), QRect(370, 209, 78, 23));
    EXPECT_EQ(d->portGroup()->geometry(), QRect(3, 85, 517, 227));
    EXPECT_EQ(d->backButton()->text(), QStringLiteral("Back"));
    EXPECT_EQ(d->portGroup()->title(), QStringLiteral("Select Port"));
    // Welcome shows Next and Cancel only.
    EXPECT_FALSE(Visible(d->backButton()));
    EXPECT_TRUE(Visible(d->nextButton()));
    EXPECT_TRUE(Visible(d->cancelButton()));
    EXPECT_FALSE(Visible(d->browseButton()));
    EXPECT_FALSE(Visible(d->progressBar()));
    EXPECT_FALSE(Visible(d->modelList()));
    EXPECT_FALSE(Visible(d->monitorBox()));
    EXPECT_TRUE(d->monitorBox()->isChecked());
    EXPECT_TRUE(d->defaultPrinterBox()->isChecked());
    // Model list: the prompt, then the file's rows; row 1 chosen.
    ASSERT_EQ(d->modelList()->count(), 3);
    EXPECT_EQ(d->modelList()->itemText(0), QStringLiteral("Please select model"));
    EXPECT_EQ(d->modelList()->itemText(2), QStringLiteral("POS58"));
    EXPECT_EQ(d->modelList()->currentIndex(), 1);
    EXPECT_EQ(d->printerNameField()->text(), QStringLiteral("POS80"));
    // Ports: USB, COM in spooler order, LPT, the network entry; entry 0 chosen.
    QStringList ports;
    for (int i = 0; i < d->portList()->count(); ++i) ports << d->portList()->itemText(i);
    EXPECT_EQ(ports, (QStringList{"USB", "COM1", "COM2", "LPT1", "Net Port(TCP/IP)"}));
    EXPECT_EQ(d->portList()->currentIndex(), 0);
    EXPECT_EQ(d->baudList()->currentText(), QStringLiteral("115200"));
    EXPECT_EQ(d->dataBitsList()->currentText(), QStringLiteral("8"));
    EXPECT_EQ(d->parityList()->currentText(), S(u"无"));
    EXPECT_EQ(d->stopBitsList()->currentText(), QStringLiteral("1"));
    EXPECT_EQ(d->flowList()->currentText(), S(u"硬件"));
    EXPECT_EQ(d->tcpPortField()->text(), QStringLiteral("9100"));
    EXPECT_EQ(d->panel()->FolderText(), programFiles + QStringLiteral("/USB Printer"));
    // Nothing longer than a setting holds can be typed.
    EXPECT_EQ(d->printerNameField()->maxLength(), 255);
    EXPECT_EQ(d->ipField()->maxLength(), 255);
    EXPECT_EQ(d->tcpPortField()->maxLength(), 255);
}

TEST_F(InstallDlgTest, ChineseAndRussianCaptions) {
    spooler.ports = {{"COM1:", "Serial", "Local Port"}};
    CInstallDlg* d = Make(UiLanguage::Chinese);
    EXPECT_EQ(d->windowTitle(), S(u"USB打印机驱动安装"));
    EXPECT_EQ(d->backButton()->text(), S(u"<<上一步"));
    EXPECT_EQ(d->nextButton()->text(), S(u"下一步>>"));
    EXPECT_EQ(d->cancelButton()->text(), S(u"取消"));
    EXPECT_EQ(d->browseButton()->text(), S(u"浏览..."));
    EXPECT_EQ(d->portGroup()->title(), S(u"设置端口"));
    EXPECT_EQ(d->defaultPrinterBox()->text(), S(u"设置为默认打印机"));
    EXPECT_EQ(d->modelList()->itemText(0), S(u"请选择打印机型号"));
    EXPECT_EQ(d->portList()->itemText(d->portList()->count() - 1), S(u"网络端口（TCP/IP）"));
    EXPECT_EQ(d->nextButton()->font(), CaptionFont(UiLanguage::Chinese));
    EXPECT_EQ(d->modelList()->font(), CaptionFont(UiLanguage::Chinese));

    // Russian without "Text.ini": English defaults, the fixed Russian captions,
    // no network entry, no built-in title.
    texts.title.clear();
    d = Make(UiLanguage::Russian);
    EXPECT_EQ(d->windowTitle(), QString());
    EXPECT_EQ(d->cancelButton()->text(), S(u"Отмена"));
    EXPECT_EQ(d->portGroup()->title(), S(u"выбор порта"));
    EXPECT_EQ(d->nextButton()->text(), QStringLiteral("Next"));
    EXPECT_EQ(d->monitorBox()->text(), QStringLiteral("Use Printer Monitor"));
    QStringList ports;
    for (int i = 0; i < d->portList()->count(); ++i) ports << d->portList()->itemText(i);
    EXPECT_EQ(ports, (QStringList{"USB", "COM1"}));

    // A "Text.ini" renames the Russian Next button, and only that one.
    wizardtest::WriteUtf16(QDir(docs).filePath(QStringLiteral("Text.ini")),
                           u"[Text]\r\nNext=Далее\r\nPlease select model=Выберите модель\r\n");
    d = Make(UiLanguage::Russian);
    EXPECT_EQ(d->nextButton()->text(), S(u"Далее"));
    EXPECT_EQ(d->modelList()->itemText(0), S(u"Выберите модель"));
    EXPECT_EQ(d->backButton()->text(), QStringLiteral("Back"));
    d = Make(UiLanguage::English);
    EXPECT_EQ(d->nextButton()->text(), QStringLiteral("Next"));
}

TEST_F(InstallDlgTest, FolderChecksAndBrowse) {
    CInstallDlg* d = Make();
    Next();
    EXPECT_TRUE(Visible(d->panel()->folderField()));
    EXPECT_TRUE(Visible(d->browseButton()));
    EXPECT_TRUE(Visible(d->backButton()));

    d->panel()->SetFolderText(QString());
    Next();
    EXPECT_EQ(d->page(), kChooseFolder);
    EXPECT_EQ(Boxes(), (QStringList{"The folder is empty!"}));
    EXPECT_EQ(LastBoxTitle(), QStringLiteral("Driver Installation"));

    d->panel()->SetFolderText(QStringLiteral("relative/folder"));
    Next();
    EXPECT_EQ(d->page(), kChooseFolder);
    EXPECT_EQ(Boxes().last(), QStringLiteral("The folder is invalid"));

    // Browse: the picker's answer lands in the field; a cancelled pick changes nothing.
    pickedFolder = programFiles + QStringLiteral("/a/b/");
    Click(d->browseButton());
    EXPECT_EQ(pickerTitles, (QStringList{"Selection "}));
    EXPECT_EQ(d->panel()->FolderText(), pickedFolder);
    pickedFolder.clear();
    Click(d->browseButton());
    EXPECT_EQ(d->panel()->FolderText(), programFiles + QStringLiteral("/a/b/"));
    Next();  // two new levels, ending in a slash
    EXPECT_EQ(d->page(), kPrinterSetting);
    EXPECT_TRUE(QDir(programFiles + QStringLiteral("/a/b")).exists());
    EXPECT_EQ(d->settings().installFolder, (programFiles + QStringLiteral("/a/b/")).toStdString());
    EXPECT_EQ(messages.Count(), 2);

    // Chinese wording follows the Chinese flag.
    d = Make(UiLanguage::Chinese);
    Next();
    d->panel()->SetFolderText(QString());
    Next();
    EXPECT_EQ(Boxes().last(), S(u"安装文件夹不能为空"));
    EXPECT_EQ(LastBoxTitle(), S(u"打印机驱动安装"));
}

TEST_F(InstallDlgTest, BackHidesThePrinterPageAndForwardShowsSerialGroupDisabled) {
    spooler.ports = {{"COM1:", "Serial", "Local Port"}};
    CInstallDlg* d = Make();
    ToPrinterSetting();
    EXPECT_FALSE(Visible(d->panel()->folderField()));
    EXPECT_FALSE(Visible(d->browseButton()));
    for (QWidget* w : std::initializer_list<QWidget*>{d->portGroup(), d->modelList(), d->printerNameField(),
                                                      d->defaultPrinterBox(), d->portList(), d->serialGroup()})
        EXPECT_TRUE(Visible(w));
    EXPECT_FALSE(d->serialGroup()->isEnabled());  // "USB" chosen
    EXPECT_FALSE(Visible(d->networkGroup()));

    ChoosePort(QStringLiteral("COM1"));
    EXPECT_TRUE(d->serialGroup()->isEnabled());
    ChoosePort(QStringLiteral("Net Port(TCP/IP)"));
    EXPECT_TRUE(Visible(d->networkGroup()));
    EXPECT_FALSE(Visible(d->serialGroup()));

    Back();
    EXPECT_EQ(d->page(), kChooseFolder);
    for (QWidget* w : std::initializer_list<QWidget*>{d->portGroup(), d->modelList(), d->printerNameField(),
                                                      d->defaultPrinterBox(), d->portList(), d->serialGroup(),
                                                      d->networkGroup(), d->progressBar()})
        EXPECT_FALSE(Visible(w));
    EXPECT_TRUE(Visible(d->panel()->folderField()));
    EXPECT_TRUE(Visible(d->browseButton()));

    Next();  // the network entry is still chosen
    EXPECT_TRUE(Visible(d->serialGroup()));
    EXPECT_FALSE(d->serialGroup()->isEnabled());
    EXPECT_FALSE(Visible(d->networkGroup()));

    Back();
    Back();
    EXPECT_EQ(d->page(), kWelcome);
    EXPECT_FALSE(Visible(d->backButton()));
    EXPECT_FALSE(Visible(d->browseButton()));
    EXPECT_FALSE(Visible(d->panel()->folderField()));
}

TEST_F(InstallDlgTest, PrinterPageChecksEveryMessage) {
    CInstallDlg* d = Make();
    ToPrinterSetting();
    // The prompt empties the name; Next refuses.
    d->modelList()->setCurrentIndex(0);
    EXPECT_EQ(d->printerNameField()->text(), QString());
    Next();
    EXPECT_EQ(d->page(), kPrinterSetting);
    EXPECT_EQ(Boxes().last(), QStringLiteral("Please Select a Printer Driver"));
    EXPECT_EQ(LastBoxTitle(), QStringLiteral("Printer Driver Installation"));
    d->modelList()->setCurrentIndex(2);
    EXPECT_EQ(d->printerNameField()->text(), QStringLiteral("POS58"));
    EXPECT_EQ(d->settings().selectedRow, 2);

    // USB without a connected printer.
    Next();
    EXPECT_EQ(d->page(), kPrinterSetting);
    EXPECT_EQ(Boxes().last(), QStringLiteral("No matching label printer detected, please connect and try again."));

    // The network entry: IP, then TCP port, must not be empty.
    ChoosePort(QStringLiteral("Net Port(TCP/IP)"));
    Next();
    EXPECT_EQ(Boxes().last(), QStringLiteral("IP address cannot be empty, please enter the IP address first"));
    d->ipField()->setText(QStringLiteral("127.0.0.1"));
    d->tcpPortField()->clear();
    Next();
    EXPECT_EQ(Boxes().last(), QStringLiteral("Port cannot be empty, please enter the port first"));
    EXPECT_EQ(d->page(), kPrinterSetting);
    EXPECT_EQ(messages.Count(), 4);
}

TEST_F(InstallDlgTest, ChineseAndRussianPrinterPageMessages) {
    CInstallDlg* d = Make(UiLanguage::Chinese);
    ToPrinterSetting();
    Next();  // USB, nothing connected
    EXPECT_EQ(Boxes().last(), S(u"没有检测到打印机连接到电脑上，请先连接打印机并上电。 "));
    EXPECT_EQ(LastBoxTitle(), S(u"打印机驱动安装"));
    d->printerNameField()->clear();
    Next();
    EXPECT_EQ(Boxes().last(), S(u"您没有选择打印机型号，请先选择打印机型号"));

    wizardtest::WriteUtf16(QDir(docs).filePath(QStringLiteral("Text.ini")),
                           u"[Text]\r\nNoSelectPrinter=Выберите драйвер\r\nMsgBoxTitle=Установка\r\n");
    d = Make(UiLanguage::Russian);
    ToPrinterSetting();
    d->printerNameField()->clear();
    Next();
    EXPECT_EQ(Boxes().last(), S(u"Выберите драйвер"));
    EXPECT_EQ(LastBoxTitle(), S(u"Установка"));
    d->printerNameField()->setText(QStringLiteral("POS80"));
    Next();  // USB: the English text in Russian mode
    EXPECT_EQ(Boxes().last(), QStringLiteral("No matching label printer detected, please connect and try again."));
}

TEST_F(InstallDlgTest, UsbInstallRunsToCompleteAndCleansUp) {
    usb.AddPrinter("vid_0418&pid_5011", "5&1234", "6&abcd&0", "UnknownPrinter", "USB001");
    CInstallDlg* d = Make();
    ToPrinterSetting();
    Next();
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(d->page(), kComplete);
    EXPECT_TRUE(d->panel()->usbFlag);
    EXPECT_EQ(d->settings().portName, "USB001");
    // The worker got the folder plus the printer name, and its Inf folder existed.
    EXPECT_EQ(d->panel()->FolderText().toStdString(), InstallFolder().string());
    EXPECT_TRUE(fs::is_directory(InstallFolder() / "Inf"));
    ASSERT_EQ(spooler.added.size(), 1u);
    EXPECT_EQ(spooler.added[0].printerName, "POS80");
    EXPECT_EQ(spooler.added[0].portName, "POS80-Port:");  // the monitor port
    EXPECT_EQ(spooler.defaultPrinter, "POS80");
    // The page: Cancel is the enabled finish button, nothing else.
    EXPECT_FALSE(Visible(d->nextButton()));
    EXPECT_FALSE(Visible(d->backButton()));
    EXPECT_FALSE(Visible(d->progressBar()));
    EXPECT_TRUE(d->cancelButton()->isEnabled());
    EXPECT_EQ(d->cancelButton()->text(), QStringLiteral("Finish"));
    EXPECT_EQ(d->progressBar()->value(), 100);
    EXPECT_EQ(d->panel()->statusLine(), QStringLiteral("Installing Printer Driver, Please wait..."));
    EXPECT_EQ(messages.Count(), 0);

    ASSERT_TRUE(fs::exists(InstallFolder() / "DRVHELP.HLP"));
    fs::create_directories(InstallFolder());
    std::ofstream(InstallFolder() / "users-own.txt") << "keep";
    Click(d->cancelButton());
    EXPECT_EQ(d->result(), QDialog::Rejected);
    dlg.reset();  // the panel goes: extracted files are cleaned up
    EXPECT_FALSE(fs::exists(InstallFolder() / "DRVHELP.HLP"));
    EXPECT_TRUE(fs::exists(InstallFolder() / "Uninstaller.exe"));
    EXPECT_TRUE(fs::exists(InstallFolder() / "RcptSpoolSvc.exe"));
    EXPECT_TRUE(fs::exists(InstallFolder() / "users-own.txt"));
}

TEST_F(InstallDlgTest, UsbPrinterOnAFakeSysfsTree) {
    // The Linux device records over a fake sysfs tree: lp0 is a POS80
    // (0418:5011), lp1 a device of another vendor.
    platform_fake::FakeUsbTree tree;
    tree.AddPrinter("1-1", "1a86", "7584", 1);
    tree.AddPrinter("1-2", "0418", "5011", 0, "SN42");
    platform_linux::SysfsUsbRegistry sysfs(tree.Root());
    usbOverride = &sysfs;
    CInstallDlg* d = Make();
    ToPrinterSetting();
    Next();
    EXPECT_EQ(messages.Count(), 0);
    EXPECT_EQ(d->settings().portName, "USB001");
    EXPECT_EQ(d->settings().selectedRow, 1);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(d->page(), kComplete);
    EXPECT_EQ(spooler.added.at(0).portName, "POS80-Port:");
}

TEST_F(InstallDlgTest, UsbNameOfALaterRowSwitchesTheRow) {
    usb.AddPrinter("vid_0418&pid_5012", "5&99", "6&ef&0", "UnknownPrinter58", "USB002");
    CInstallDlg* d = Make();
    ToPrinterSetting();
    EXPECT_EQ(d->modelList()->currentIndex(), 1);
    d->printerNameField()->setText(QStringLiteral("POS58"));
    Next();
    EXPECT_EQ(d->settings().selectedRow, 2);
    EXPECT_EQ(d->settings().portName, "USB002");
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(d->page(), kComplete);
}

TEST_F(InstallDlgTest, ComPortStoresSettingsAndInstallsOnIt) {
    spooler.ports = {{"COM3:", "Serial", "Local Port"}, {"LPT1:", "Parallel", "Local Port"}};
    CInstallDlg* d = Make(UiLanguage::Chinese);
    ToPrinterSetting();
    ChoosePort(QStringLiteral("COM3"));
    d->baudList()->setCurrentText(QStringLiteral("9600"));
    d->flowList()->setCurrentText(S(u"无"));
    d->defaultPrinterBox()->setChecked(false);
    Next();
    EXPECT_EQ(d->settings().portName, "COM3:");
    EXPECT_EQ(store.GetText(engine::kComPortsKey, "COM3:"), std::optional<std::string>("9600,n,8,1,"));
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(d->page(), kComplete);
    ASSERT_EQ(spooler.added.size(), 1u);
    EXPECT_EQ(spooler.added[0].portName, "COM3:");
    EXPECT_EQ(spooler.defaultPrinter, "");  // the box was cleared
    EXPECT_EQ(d->cancelButton()->text(), S(u"完成"));
    EXPECT_EQ(d->panel()->statusLine(), S(u"正在安装打印机驱动，请稍候..."));
}

TEST_F(InstallDlgTest, RussianLastEntryShowsNetworkFieldsButInstallsAsLpt) {
    spooler.ports = {{"COM1:", "Serial", "Local Port"}, {"LPT1:", "Parallel", "Local Port"}};
    wizardtest::WriteUtf16(QDir(docs).filePath(QStringLiteral("Text.ini")), u"[Text]\r\nFinish=Готово\r\n");
    CInstallDlg* d = Make(UiLanguage::Russian);
    ToPrinterSetting();
    ChoosePort(QStringLiteral("LPT1"));
    EXPECT_TRUE(Visible(d->networkGroup()));
    EXPECT_FALSE(Visible(d->serialGroup()));
    Next();
    EXPECT_EQ(d->settings().portName, "LPT1:");
    EXPECT_EQ(d->settings().portKind, engine::kPortKindLocal);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(d->page(), kComplete);
    EXPECT_EQ(spooler.added.at(0).portName, "LPT1:");
    EXPECT_EQ(d->cancelButton()->text(), S(u"Готово"));
    EXPECT_EQ(d->panel()->statusLine(), S(u"Установка драйвера принтера, подождите"));
}

TEST_F(InstallDlgTest, NetworkInstallStoresAddressAndPort) {
    CInstallDlg* d = Make();
    ToPrinterSetting();
    ChoosePort(QStringLiteral("Net Port(TCP/IP)"));
    d->ipField()->setText(QStringLiteral("127.0.0.1"));
    d->tcpPortField()->setText(QStringLiteral("9101"));
    Next();
    EXPECT_EQ(d->settings().portKind, engine::kPortKindNetwork);
    EXPECT_EQ(d->settings().ipAddress, "127.0.0.1");
    EXPECT_EQ(d->settings().tcpPort, "9101");
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(d->page(), kComplete);
    ASSERT_FALSE(spooler.data.empty());
    EXPECT_EQ(spooler.data[0].first, "IP");
    EXPECT_EQ(spooler.data[0].second, engine::PrinterValue::Text("127.0.0.1 9101"));
}

TEST_F(InstallDlgTest, UsbThenNetworkThenComIsInstalledAsCom) {
    // A failed USB attempt and a network choice left behind must not make a
    // COM printer use the monitor port.
    spooler.ports = {{"COM1:", "Serial", "Local Port"}};
    CInstallDlg* d = Make();
    ToPrinterSetting();
    Next();  // USB: nothing connected
    ASSERT_EQ(d->page(), kPrinterSetting);
    ChoosePort(QStringLiteral("Net Port(TCP/IP)"));
    d->ipField()->setText(QStringLiteral("127.0.0.1"));
    Next();
    ASSERT_EQ(d->page(), kInstalling);
    ASSERT_TRUE(WaitForWorker());
    d = Make();
    ToPrinterSetting();
    Next();  // USB again
    ChoosePort(QStringLiteral("COM1"));
    Next();
    EXPECT_FALSE(d->settings().usbChosen);
    EXPECT_EQ(d->settings().portKind, engine::kPortKindLocal);
    EXPECT_FALSE(d->panel()->usbFlag);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(spooler.added.back().portName, "COM1:");
}

TEST_F(InstallDlgTest, FailedInstallShowsFailedPage) {
    spooler.ports = {{"COM1:", "Serial", "Local Port"}};
    spooler.failures["AddPrinter"] = engine::kErrorInvalidPrinterName;
    CInstallDlg* d = Make(UiLanguage::Russian);
    ToPrinterSetting();
    ChoosePort(QStringLiteral("COM1"));
    Next();
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(d->page(), kFailed);
    EXPECT_FALSE(Visible(d->nextButton()));
    EXPECT_FALSE(Visible(d->backButton()));
    EXPECT_FALSE(Visible(d->progressBar()));
    EXPECT_TRUE(d->cancelButton()->isEnabled());
    EXPECT_EQ(d->cancelButton()->text(), QStringLiteral("Finish"));  // the Chinese flag decides
    EXPECT_EQ(spooler.defaultPrinter, "");
    Click(d->cancelButton());
    EXPECT_FALSE(d->isVisible());
}

TEST_F(InstallDlgTest, WorkerAsksForAPortAndTheWizardWillNotClose) {
    // The monitor port cannot be created: the worker asks, through the window
    // thread, with the spooler's ports. While it waits, Esc, the close box and
    // Cancel do nothing.
    spooler.ports = {{"COM1:", "Serial", "Local Port"}, {"USB001", "Virtual USB", "USB Monitor"}};
    spooler.failures["AddPort"] = engine::kErrorAccessDenied;
    usb.AddPrinter("vid_0418&pid_5011", "5&1234", "6&abcd&0", "UnknownPrinter", "USB001");
    CInstallDlg* d = Make();
    bool stayedOpen = false;
    onPortWindow = [&](CSelectPortDlg& window) {
        QTimer::singleShot(0, &window, [&, d, w = &window] {
            EXPECT_TRUE(d->workerRunning());
            d->close();
            d->reject();
            QTest::keyClick(d, Qt::Key_Escape);
            stayedOpen = d->isVisible() && !d->cancelButton()->isEnabled();
            ASSERT_EQ(w->list()->rowCount(), 2);
            EXPECT_EQ(w->list()->item(1, 0)->text(), QStringLiteral("USB001"));
            EXPECT_EQ(w->list()->item(1, 2)->text(), QStringLiteral("USB Monitor"));
            QTest::mouseClick(w->okButton(), Qt::LeftButton);  // nothing selected: stays
            EXPECT_TRUE(w->isVisible());
            w->list()->selectRow(1);
            QTest::mouseClick(w->okButton(), Qt::LeftButton);
        });
    };
    ToPrinterSetting();
    Next();
    ASSERT_TRUE(WaitForWorker());
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(portWindows, 1);
    EXPECT_EQ(d->page(), kComplete);
    ASSERT_EQ(spooler.added.size(), 1u);
    EXPECT_EQ(spooler.added[0].portName, "USB001");
}

TEST_F(InstallDlgTest, CancelledPortQuestionFailsTheInstall) {
    spooler.failures["AddPort"] = engine::kErrorAccessDenied;
    usb.AddPrinter("vid_0418&pid_5011", "5&1234", "6&abcd&0", "UnknownPrinter", "USB001");
    CInstallDlg* d = Make(UiLanguage::Chinese);
    onPortWindow = [&](CSelectPortDlg& window) {
        EXPECT_EQ(window.windowTitle(), S(u"选择打印机端口"));
        QTimer::singleShot(0, &window, [w = &window] { QTest::keyClick(w, Qt::Key_Escape); });
    };
    ToPrinterSetting();
    Next();
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(d->page(), kFailed);
    EXPECT_EQ(d->cancelButton()->text(), S(u"完成"));
}

TEST_F(InstallDlgTest, ClosingTheWizardWhileTheWorkerWaitsEndsCleanly) {
    // The window goes while the worker is blocked in the port question: the
    // call fails, the worker ends, nothing hangs.
    spooler.failures["AddPort"] = engine::kErrorAccessDenied;
    usb.AddPrinter("vid_0418&pid_5011", "5&1234", "6&abcd&0", "UnknownPrinter", "USB001");
    Make();
    bool destroyed = false;
    onPortWindow = [&](CSelectPortDlg& window) {
        QTimer::singleShot(0, &window, [&, w = &window] {
            w->reject();
            dlg.reset();
            destroyed = true;
        });
    };
    ToPrinterSetting();
    Next();
    QElapsedTimer timer;
    timer.start();
    while (!destroyed && timer.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_TRUE(destroyed);
}

}  // namespace
