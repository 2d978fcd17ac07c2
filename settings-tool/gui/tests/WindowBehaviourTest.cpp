// The main window's own rules, against the in-memory USB printer: the
// automatic-send timer, the Enter key, long texts, the language switch and
// its file, start-up with the discovery port taken, and closing the window
// while a delivery waits on the printer.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

#include "link/ProductIds.h"
#include "link/UsbPrinterPort.h"
#include "platform/fake/usb/FakeUsbDeviceSource.h"
#include "settings-tool/gui/tests/GuiTestSupport.h"
#include "ui-common/IpAddressEdit.h"

namespace cadmon::gui::testing {
namespace {

using platform_fake::FakeUsbDeviceSource;
using platform_fake::OpenScript;

const std::string kWelcome =
    "Welcome to use the needle printing and thermal series printers produced \r\n"
    "by professional POS invoice printing companies!\r\n";

void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

std::string PrinterPath() {
    return "\\\\?\\usb#vid_0418&" + printer_link::ReceiptPrinterProductIds().front() +
           "#fake0#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

TEST(MainWindowTimer, AutoSendSubmitsOnlyWhenNothingIsPendingAndCountsUp) {
    App();
    FakeUsbDeviceSource usb;
    const std::size_t printer = usb.AddDevice(PrinterPath());
    // The first open takes nothing: the write waits for its time-out (1 s) and
    // the text stays pending until the next attempt delivers it.
    usb.ScriptOpen(printer, 0, OpenScript::StallAfter(0));
    WindowHarness h(usb);
    CCadmonDlg& w = h.Start();
    const auto& c = w.controls();
    ASSERT_NE(h.timer, nullptr);

    Click(c.autoSend);
    ASSERT_TRUE(c.autoSend->isChecked());
    Click(c.print);
    EXPECT_EQ(w.SendCount(), 1);
    EXPECT_EQ(w.StatusText(), QStringLiteral("send finish count 1 \r\n"));
    EXPECT_TRUE(h.timer->IsRunning());
    EXPECT_EQ(h.timer->PeriodMs(), 500);
    ASSERT_TRUE(SpinUntil([&] { return w.IsSendPending(); }, 1000));

    h.timer->Tick();  // pending: nothing
    h.timer->Tick();
    EXPECT_EQ(w.SendCount(), 1);

    ASSERT_TRUE(SpinUntil([&] { return !w.IsSendPending(); }, 5000));
    h.timer->Tick();
    EXPECT_EQ(w.SendCount(), 2);
    EXPECT_EQ(w.StatusText(), QStringLiteral("send finish count 2 \r\n"));
    ASSERT_TRUE(SpinUntil([&] { return !w.IsSendPending(); }, 5000));

    // Unchecked: the timer keeps running, its ticks do nothing.
    Click(c.autoSend);
    h.timer->Tick();
    EXPECT_EQ(w.SendCount(), 2);
    EXPECT_TRUE(h.timer->IsRunning());

    // The period is the box's leading digits; letters only give 0. Print
    // without the box checked does not restart the timer.
    c.period->setText(QStringLiteral("250ms"));
    Click(c.print);
    EXPECT_EQ(h.timer->Starts(), 1);
    Click(c.autoSend);
    Click(c.print);
    EXPECT_EQ(h.timer->PeriodMs(), 250);
    c.period->setText(QStringLiteral("abc"));
    Click(c.print);
    EXPECT_EQ(h.timer->PeriodMs(), 0);
    EXPECT_EQ(h.timer->Starts(), 3);
    EXPECT_EQ(w.SendCount(), 5);
    EXPECT_EQ(w.StatusText(), QStringLiteral("send finish count 5 \r\n"));

    ASSERT_TRUE(SpinUntil([&] { return !w.IsSendPending(); }, 5000));
    std::string all;
    for (int i = 0; i < 5; ++i) all += kWelcome;
    EXPECT_TRUE(SameBytes(FromText(all), usb.Received(printer)));
}

TEST(MainWindowText, EnterAppendsALineBreakAtTheEndAndLongTextsGoWhole) {
    App();
    FakeUsbDeviceSource usb;
    const std::size_t printer = usb.AddDevice(PrinterPath());
    WindowHarness h(usb);
    CCadmonDlg& w = h.Start();
    const auto& c = w.controls();

    // Enter with the caret in the middle: the break goes to the end.
    c.printInfo->setPlainText(QStringLiteral("abc\ndef"));
    QTextCursor cursor = c.printInfo->textCursor();
    cursor.setPosition(1);
    c.printInfo->setTextCursor(cursor);
    QTest::keyClick(c.printInfo, Qt::Key_Return);
    QTest::keyClicks(c.printInfo, QStringLiteral("g"));
    EXPECT_EQ(c.printInfo->toPlainText(), QStringLiteral("abc\ndef\ng"));
    Click(c.print);

    // Enter elsewhere does nothing: no button, no closing.
    c.macBoxes[0]->setFocus();
    QTest::keyClick(c.macBoxes[0], Qt::Key_Return);
    QTest::keyClick(&w, Qt::Key_Enter);
    EXPECT_TRUE(w.isVisible());

    // 1500 bytes (more than the 1024 the send path was sized for) go whole;
    // beyond 2047 bytes the text is cut.
    c.printInfo->setPlainText(QString(1500, QLatin1Char('x')));
    Click(c.print);
    c.printInfo->setPlainText(QString(3000, QLatin1Char('y')));
    Click(c.print);
    // An empty text submits nothing but is counted.
    c.printInfo->clear();
    Click(c.print);
    EXPECT_EQ(w.SendCount(), 4);

    ASSERT_TRUE(SpinUntil([&] { return !w.IsSendPending(); }, 5000));
    const Bytes expected = Concat({FromText("abc\r\ndef\r\ng"), Bytes(1500, 'x'), Bytes(2047, 'y')});
    EXPECT_TRUE(SameBytes(expected, usb.Received(printer)));
    EXPECT_EQ(usb.TotalOpenCount(), 3u);  // the empty text opened nothing
}

TEST(MainWindowLanguage, SwitchFollowsAndRewritesTheParametersFile) {
    App();
    FakeUsbDeviceSource usb;
    {
        // No file: Chinese, and the file is created holding 0.
        WindowHarness h(usb);
        CCadmonDlg& w = h.Start();
        const auto& c = w.controls();
        EXPECT_EQ(w.LanguageFlag(), 0);
        EXPECT_EQ(ReadWholeFile(h.ParametersFile()), "0\n");
        EXPECT_EQ(w.windowTitle(), QStringLiteral("打印机测试工具1.2"));
        EXPECT_EQ(c.print->text(), QStringLiteral("打印"));
        EXPECT_EQ(c.language->text(), QStringLiteral("English"));
        EXPECT_EQ(c.portGroup->title(), QStringLiteral("端口选择"));
        EXPECT_EQ(c.lpt->text(), QStringLiteral("并口"));
        EXPECT_EQ(c.blankFeedButton->text(), QStringLiteral("空白走纸"));
        EXPECT_EQ(c.note->text(), QStringLiteral("IP,MAC参数可通过USB或者网口设置"));

        Click(c.language);
        EXPECT_EQ(ReadWholeFile(h.ParametersFile()), "1\n");
        EXPECT_EQ(c.print->text(), QStringLiteral("Print"));
        EXPECT_EQ(c.language->text(), QStringLiteral("中文"));
        EXPECT_EQ(c.portGroup->title(), QStringLiteral("Port Select"));
        EXPECT_EQ(c.addressGroup->title(), QStringLiteral("IP Addr Set"));
        EXPECT_EQ(c.printerIpLabel->text(), QStringLiteral("Printer IP Addr"));
        EXPECT_EQ(c.blankFeedButton->text(), QStringLiteral("Black walk"));
        EXPECT_EQ(c.buzzerButton->text(), QStringLiteral("Beep Set"));
        EXPECT_EQ(c.dhcpOff->text(), QStringLiteral("DHCP CLOSE"));
        EXPECT_EQ(c.note->text(), QStringLiteral("IP ,MAC can be set using USB or network"));
        // The same in both languages.
        EXPECT_EQ(c.usb->text(), QStringLiteral("USB"));
        EXPECT_EQ(c.mac->text(), QStringLiteral("MAC"));
        EXPECT_EQ(c.macNote->text(), QStringLiteral("MAC会随机产生"));
        EXPECT_EQ(w.windowTitle(), QStringLiteral("打印机测试工具1.2"));

        Click(c.language);
        EXPECT_EQ(ReadWholeFile(h.ParametersFile()), "0\n");
        EXPECT_EQ(c.print->text(), QStringLiteral("打印"));
    }
    struct Case {
        std::string content;
        int flag;
    };
    for (const Case& k : {Case{"1", 1}, Case{"7\n", 7}, Case{"\r\n\r\n  1\r\n", 1}, Case{"letters", 0},
                          Case{"99999999999\n", 0}, Case{"", 0}}) {
        SCOPED_TRACE(k.content);
        WindowHarness h(usb);
        WriteWholeFile(h.ParametersFile(), k.content);
        CCadmonDlg& w = h.Start();
        EXPECT_EQ(w.LanguageFlag(), k.flag);
        EXPECT_EQ(w.controls().print->text(), k.flag == 0 ? QStringLiteral("打印") : QStringLiteral("Print"));
        // An unreadable file is left alone until the next switch.
        EXPECT_EQ(ReadWholeFile(h.ParametersFile()), k.content);
        Click(w.controls().language);
        EXPECT_EQ(ReadWholeFile(h.ParametersFile()), k.flag == 0 ? "1\n" : "0\n");
    }
}

TEST(MainWindowStart, DiscoveryPortTakenTellsTheUserAndEndsWithAFailure) {
    App();
    // Another program holds the reply port.
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t length = sizeof local;
    getsockname(holder, reinterpret_cast<sockaddr*>(&local), &length);
    const int port = ntohs(local.sin_port);

    FakeUsbDeviceSource usb;
    WindowHarness h(usb);
    h.services.discovery.replyPort = static_cast<std::uint16_t>(port);
    CCadmonDlg& w = h.Create();
    EXPECT_EQ(w.Start(), CCadmonDlg::StartResult::DiscoveryPortBusy);
    ASSERT_EQ(h.messages.Count(), 1);
    EXPECT_TRUE(h.messages.Texts()[0].contains(QStringLiteral("UDP %1").arg(port)))
        << h.messages.Texts()[0].toStdString();
    EXPECT_NE(CCadmonDlg::kExitDiscoveryPortBusy, 0);
    close(holder);
}

TEST(MainWindowClose, EndsPromptlyWhileADeliveryWaitsOnThePrinter) {
    App();
    FakeUsbDeviceSource usb;
    const std::size_t printer = usb.AddDevice(PrinterPath());
    usb.SetDefaultScript(printer, OpenScript::StallAfter(0));  // never takes a byte
    {
        WindowHarness h(usb);
        CCadmonDlg& w = h.Start();
        Click(w.controls().print);
        Click(w.controls().cut);
        ASSERT_TRUE(SpinUntil([&] { return usb.TotalOpenCount() >= 1; }, 2000));
        Spin(200);  // the sender is inside a write now
        const auto start = std::chrono::steady_clock::now();
        w.close();
        h.window.reset();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(900));
    }
    usb.ReleaseStalls();
}

}  // namespace
}  // namespace cadmon::gui::testing

namespace cadmon::gui::testing {
namespace {

TEST(SmallWindows, AboutBoxWindowMenuAndWifiWithoutAHostAddress) {
    App();
    platform_fake::FakeUsbDeviceSource usb;
    WindowHarness h(usb);
    CCadmonDlg& w = h.Start();

    // The window menu carries the about entry; it opens the about box.
    std::unique_ptr<QMenu> menu(w.MakeWindowMenu(nullptr));
    QAction* about = nullptr;
    for (QAction* action : menu->actions())
        if (!action->isSeparator()) about = action;
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->text(), QStringLiteral("关于 Cadmon(&A)..."));
    QString title;
    QStringList texts;
    h.onModal = [&](QDialog& dialog) {
        title = dialog.windowTitle();
        for (QLabel* label : dialog.findChildren<QLabel*>()) texts << label->text();
        for (QPushButton* button : dialog.findChildren<QPushButton*>()) texts << button->text();
    };
    about->trigger();
    EXPECT_EQ(title, QStringLiteral("Tavoro打印机机测试工具"));
    EXPECT_TRUE(texts.contains(QStringLiteral("MavoPrinterTool V1.2"))) << texts.join(" | ").toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("确定")));

    // A computer whose address cannot be found: the static IP starts at 192.168.0.199.
    QString staticIp;
    h.onModal = [&](QDialog& dialog) {
        staticIp = dialog.findChild<ui::CIpAddressEdit*>(QStringLiteral("wifiStaticIp"))->Text();
        // Escape closes without sending.
        QTest::keyClick(&dialog, Qt::Key_Escape);
        EXPECT_FALSE(dialog.isVisible());
    };
    h.services.localAddress = [] { return std::optional<protocol::Ipv4>(); };
    h.window.reset();
    CCadmonDlg& again = h.Start();
    QTest::mouseClick(again.controls().wifi, Qt::LeftButton);
    EXPECT_EQ(staticIp, QStringLiteral("192.168.0.199"));
    EXPECT_EQ(usb.TotalOpenCount(), 0u);

    // Enter closes the other-settings window and sends nothing.
    h.onModal = [&](QDialog& dialog) {
        QTest::keyClick(&dialog, Qt::Key_Return);
        EXPECT_FALSE(dialog.isVisible());
    };
    QTest::mouseClick(again.controls().otherSet, Qt::LeftButton);
    Spin(50);
    EXPECT_FALSE(again.IsSendPending());
    EXPECT_EQ(usb.TotalOpenCount(), 0u);
}

}  // namespace
}  // namespace cadmon::gui::testing
