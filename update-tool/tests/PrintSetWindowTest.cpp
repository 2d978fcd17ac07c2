// PrintSetWindow on the offscreen platform, driven like a user would, against
// printer-sim (its fake USB printer, TCP port and discovery replies).
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>

#include "platform/linux/usb/LinuxUsbDeviceSource.h"
#include "sim/testing/SimProcess.h"
#include "ui-common/IpAddressEdit.h"
#include "update-tool/gui/AboutBox.h"
#include "update-tool/gui/NetworkSetDialog.h"
#include "update-tool/gui/PrintSetWindow.h"
#include "update-tool/tests/RecordingWindow.h"

namespace ferrik::testing {
namespace {

using namespace std::chrono_literals;

QApplication& App() {
    static int argc = 1;
    static char name[] = "ferrik_window_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += "  " + l + "\n";
    return out;
}

// Runs `f` on the modal dialog that opens next (found by its caption), from
// the event loop that the dialog itself runs.
void OnNextModal(const QString& caption, std::function<void(QDialog*)> f) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, caption, f] {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (modal == nullptr || modal->windowTitle() != caption) return;
        timer->stop();
        timer->deleteLater();
        f(modal);
    });
    timer->start(20);
}

class PrintSetWindowTest : public ::testing::Test {
protected:
    static simtest::SimOptions SimWithEverything() {
        simtest::SimOptions options;
        options.args = {"--printer", "id=1.0,mac=00:1a:0b:ff:07:c0,ip=127.0.0.1", "--quiet-probes"};
        options.usb = true;
        return options;
    }

    void SetUp() override {
        App();
        ASSERT_TRUE(sim.ok()) << sim.error();
        sim.ExportEnvironment();
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());  // the files live in the working folder
    }
    void TearDown() override { std::filesystem::current_path(previous); }

    std::unique_ptr<PrintSetWindow> Open(std::string usbRoot = {}, bool threads = true) {
        usb = std::make_unique<platform_linux::LinuxUsbDeviceSource>(usbRoot.empty() ? sim.UsbRoot() : usbRoot);
        pollerUsb = std::make_unique<platform_linux::LinuxUsbDeviceSource>(usbRoot.empty() ? sim.UsbRoot() : usbRoot);
        PrintSetWindow::Options options;
        options.pollInterval = 20ms;
        options.searchPeriodMs = 100;
        options.startThreads = threads;
        options.settings.tableSettleMs = 20;
        options.endProgram = [this](int status) { endStatus = status; };
        auto window = std::make_unique<PrintSetWindow>(messages, *usb, *pollerUsb, options);
        window->show();
        return window;
    }

    Bytes LastStream() {
        const auto files = sim.StreamFiles();
        return files.empty() ? Bytes{} : simtest::SimProcess::ReadFile(files.back());
    }

    simtest::SimProcess sim{SimWithEverything()};
    TempDir dir;
    std::filesystem::path previous;
    ui::RecordingMessageSink messages;
    std::unique_ptr<printer_link::UsbDeviceSource> usb, pollerUsb;
    std::optional<int> endStatus;
};

TEST_F(PrintSetWindowTest, OpensWithEveryControlShownOrHiddenAsListed) {
    auto w = Open({}, false);
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Print-set"));
    EXPECT_EQ(w->statusLine->text(), QStringLiteral("USB not Connect"));
    EXPECT_EQ(w->progressBar->minimum(), 0);
    EXPECT_EQ(w->progressBar->maximum(), 100);
    EXPECT_TRUE(w->usbUpdateButton->isDefault());
    for (QWidget* shown : std::initializer_list<QWidget*>{w->usbUpdateButton, w->exitButton, w->progressBar,
                                                          w->statusLine, w->devicePathLine, w->buzzerList,
                                                          w->darknessList, w->xUsbButton, w->gUsbButton}) {
        EXPECT_TRUE(shown->isVisible()) << shown->metaObject()->className();
    }
    for (QWidget* hidden : std::initializer_list<QWidget*>{
             w->codePageList, w->codePageSetButton, w->printWidthList, w->darknessSetButton, w->fontButton,
             w->networkUpdateButton, w->refreshButton, w->ipSetButton, w->deviceList, w->printerAddress,
             w->connectTestButton}) {
        EXPECT_FALSE(hidden->isVisible()) << hidden->metaObject()->className();
    }
    const auto labels = w->findChildren<QLabel*>();
    QStringList texts;
    for (auto* l : labels) texts << l->text();
    for (const char* t : {"CodePage", "Print Width", "Beep", "dark", "When Updata Do Not Disconnect",
                          "Data Version:2018-7-28", "状态："}) {
        EXPECT_TRUE(texts.contains(QString::fromUtf8(t))) << t;
    }
    EXPECT_EQ(w->codePageList->count(), 25);
    EXPECT_EQ(w->codePageList->itemText(24), QStringLiteral("China"));
    EXPECT_EQ(w->codePageList->currentIndex(), -1);
    EXPECT_EQ(w->printWidthList->currentText(), QStringLiteral("80CM"));
    EXPECT_EQ(w->buzzerList->currentText(), QStringLiteral("1"));
    EXPECT_EQ(w->darknessList->currentText(), QStringLiteral("0"));
    EXPECT_EQ(w->printerAddress->Text(), QStringLiteral("192.168.0.200"));
    EXPECT_TRUE(w->searchTimer.isActive());
    EXPECT_EQ(w->aboutAction->text(), QStringLiteral("关于 Ferrik(&A)..."));
}

TEST_F(PrintSetWindowTest, UsbUpdataBringsThePrinterToChecksumOkWhileThePollerWatches) {
    const Bytes image = Image(40960 + 256 * 3);
    WriteFile(dir / "PRINT_NET80.bin", image);
    auto w = Open();
    // The poller finds the printer, shows it, and never stands in the download's way.
    QTRY_COMPARE_WITH_TIMEOUT(w->statusLine->text(), QStringLiteral("USB Connect"), 5000);
    EXPECT_TRUE(w->devicePathLine->text().contains(QStringLiteral("pid_5011")));

    QTest::mouseClick(w->usbUpdateButton, Qt::LeftButton);
    EXPECT_EQ(messages.Texts(), QStringList{QString::fromUtf8(kUsbDoneText)});
    EXPECT_FALSE(w->usbUpdateButton->isEnabled());
    EXPECT_EQ(w->progressBar->value(), 100);
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    EXPECT_TRUE(SameBytes(UsbFirmwareStream(image), LastStream()));
    EXPECT_TRUE(sim.WaitForLine("firmware received: 163 blocks, checksum ok", 3s)) << Joined(sim.Lines());
    EXPECT_FALSE(endStatus);
}

TEST_F(PrintSetWindowTest, EnterInAListStartsTheUsbDownload) {
    WriteFile(dir / "PRINT_NET80.bin", Image(512));
    auto w = Open({}, false);
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->buzzerList->setFocus();
    QTest::keyClick(w->buzzerList, Qt::Key_Return);
    EXPECT_EQ(messages.Texts(), QStringList{QString::fromUtf8(kUsbDoneText)});
    EXPECT_TRUE(sim.WaitForLine("firmware received: 2 blocks, checksum ok", 3s)) << Joined(sim.Lines());
}

TEST_F(PrintSetWindowTest, SettingButtonsSendTheListPositions) {
    auto w = Open({}, false);
    w->codePageList->setCurrentIndex(24);  // "China"
    w->printWidthList->setCurrentIndex(1);
    w->buzzerList->setCurrentIndex(2);
    w->codePageSetButton->click();
    ASSERT_TRUE(sim.WaitForStreamsClosed(1));
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x05, 0xFF, 0x01, 0x02, 0x00}), LastStream()));

    // Typed text that matches no entry is sent as FF.
    w->codePageList->setEditText(QStringLiteral("PC437"));
    w->printWidthList->setEditText(QStringLiteral("80CM"));
    w->codePageSetButton->click();
    ASSERT_TRUE(sim.WaitForStreamsClosed(2));
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x05, 0xFF, 0x00, 0x02, 0x00}), LastStream()));

    w->darknessList->setCurrentIndex(2);
    w->darknessSetButton->click();
    ASSERT_TRUE(sim.WaitForStreamsClosed(3));
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x01, 0, 0, 0, 2, 0, 0, 0, 0}), LastStream()));
    EXPECT_EQ(messages.Texts(), QStringList{QStringLiteral("finish ")});

    QTest::mouseClick(w->gUsbButton, Qt::LeftButton);
    ASSERT_TRUE(sim.WaitForStreamsClosed(4));
    EXPECT_TRUE(SameBytes(Bytes({0x1F, 0x1B, 0x06, 0x71, 0x04, 0x55, 0x00, 0x00}), LastStream()));
}

TEST_F(PrintSetWindowTest, WithoutPrinterSettingsSayNoConnect) {
    TempDir empty;
    auto w = Open(empty.path().string(), false);
    w->darknessSetButton->click();
    w->codePageSetButton->click();
    QTest::mouseClick(w->xUsbButton, Qt::LeftButton);
    EXPECT_EQ(messages.Texts(), (QStringList{QStringLiteral("set error no connect"),
                                             QStringLiteral("set error no connect")}));
}

TEST_F(PrintSetWindowTest, PrintErrorFreezesTheWindowBeforeTheProgramEnds) {
    WriteFile(dir / "PRINT_NET80.bin", Image(1024));
    TempDir empty;
    auto w = Open(empty.path().string());
    w->refreshButton->click();
    bool closedWhileShown = true;
    messages.SetOnShow([&](const ui::RecordingMessageSink::Box&) {
        // While "Print error" is up: no probes, no closing, no other action.
        EXPECT_TRUE(w->IsEnding());
        EXPECT_FALSE(w->searchTimer.isActive());
        closedWhileShown = w->close();
        w->darknessSetButton->click();
    });
    QTest::mouseClick(w->usbUpdateButton, Qt::LeftButton);
    EXPECT_FALSE(closedWhileShown);
    EXPECT_EQ(messages.Texts(), QStringList{QStringLiteral("Print error")});
    EXPECT_EQ(endStatus, 1);
}

TEST_F(PrintSetWindowTest, PrintErrorEndsTheProgramWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    WriteFile(dir / "PRINT_NET80.bin", Image(1024));
    TempDir empty;
    EXPECT_EXIT(
        {
            platform_linux::LinuxUsbDeviceSource none(empty.path().string());
            PrintSetWindow::Options options;  // the real ending
            PrintSetWindow window(messages, none, none, options);
            window.show();
            QTest::mouseClick(window.usbUpdateButton, Qt::LeftButton);
            std::fprintf(stderr, "still running\n");
            std::exit(0);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST_F(PrintSetWindowTest, NetworkGroupFindsSetsAndUpdatesThePrinter) {
    auto w = Open();
    // Before "refresh " nothing is probed, so nothing is found.
    QTest::qWait(400);
    EXPECT_EQ(w->deviceList->count(), 0);
    w->refreshButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(w->deviceList->count(), 1, 5000);
    EXPECT_EQ(w->deviceList->item(0)->text(), QStringLiteral("(1.0)127.0.0.1."));

    // "IP Set" without a selection, then with one.
    w->ipSetButton->click();
    EXPECT_EQ(messages.Texts(), QStringList{QStringLiteral("ERROR 请选择设备")});
    w->deviceList->item(0)->setSelected(true);
    QStringList boxes;
    OnNextModal(QStringLiteral("对话"), [&](QDialog* d) {
        auto* dialog = static_cast<NetworkSetDialog*>(d);
        for (auto* box : dialog->macBoxes) boxes << box->text();
        EXPECT_EQ(dialog->ipField->Text(), QStringLiteral("127.0.0.1"));
        EXPECT_EQ(dialog->maskField->Text(), QStringLiteral("255.255.255.0"));
        EXPECT_EQ(dialog->gatewayField->Text(), QStringLiteral("192.168.0.1"));
        EXPECT_FALSE(dialog->dhcpBox->isChecked());
        dialog->dhcpBox->setChecked(true);
        dialog->macBoxes[5]->setText(QStringLiteral("zz"));
        dialog->okButton->click();  // refused: not a hex byte
        EXPECT_TRUE(dialog->isVisible());
        dialog->macBoxes[5]->setText(QStringLiteral("c0"));
        dialog->okButton->click();
    });
    w->ipSetButton->click();
    EXPECT_EQ(boxes, (QStringList{"0", "1a", "b", "ff", "7", "c0"}));
    EXPECT_TRUE(sim.WaitForLine("mac 00:1a:0b:ff:07:c0 (DHCP 1)", 3s)) << Joined(sim.Lines());
    EXPECT_EQ(w->deviceList->count(), 0);  // emptied when the dialog closed

    // The printer answers again; "网络升级" sends the image to it.
    QTRY_COMPARE_WITH_TIMEOUT(w->deviceList->count(), 1, 5000);
    const Bytes image = Image(256 * 9);
    WriteFile(dir / "PRINT_NET80.bin", image);
    messages.ClearRecord();
    w->networkUpdateButton->click();
    EXPECT_EQ(messages.Texts(), QStringList{QStringLiteral("ERROR 请选择设备")});
    w->deviceList->item(0)->setSelected(true);
    messages.ClearRecord();
    w->networkUpdateButton->click();
    EXPECT_TRUE(messages.Texts().isEmpty()) << messages.Texts().join('|').toStdString();
    EXPECT_TRUE(sim.WaitForLine("firmware received: 9 blocks, checksum ok", 3s)) << Joined(sim.Lines());
    EXPECT_TRUE(w->networkUpdateButton->isEnabled());
    EXPECT_TRUE(SameBytes(NetworkFirmwareStream(image), LastStream()));
}

TEST_F(PrintSetWindowTest, ConnectionTestAndAboutBox) {
    auto w = Open({}, false);
    w->printerAddress->SetAddress({127, 0, 0, 1});
    w->connectTestButton->click();
    EXPECT_TRUE(messages.Texts().isEmpty());
    w->printerAddress->SetAddress({127, 0, 0, 1});
    qputenv("PRINTER_TCP_PORT", QByteArray::number(simtest::FreeTcpPort()));
    {
        auto refused = Open({}, false);
        refused->printerAddress->SetAddress({127, 0, 0, 1});
        refused->connectTestButton->click();
        EXPECT_EQ(messages.Texts(), QStringList{QStringLiteral("网络连接失败")});
    }
    QString text;
    OnNextModal(QStringLiteral("关于 Ferrik"), [&](QDialog* d) {
        for (auto* l : d->findChildren<QLabel*>()) text += l->text();
        auto buttons = d->findChildren<QPushButton*>();
        ASSERT_EQ(buttons.size(), 1);
        EXPECT_EQ(buttons[0]->text(), QStringLiteral("确定"));
        buttons[0]->click();
    });
    w->aboutAction->trigger();
    EXPECT_EQ(text, QStringLiteral("Ferrik 1.0 版"));
    text.clear();
    OnNextModal(QStringLiteral("关于 Ferrik"), [&](QDialog* d) {
        for (auto* l : d->findChildren<QLabel*>()) text += l->text();
        d->accept();
    });
    QTest::mouseClick(w->aboutButton, Qt::LeftButton);
    EXPECT_EQ(text, QStringLiteral("Ferrik 1.0 版"));

    // "exit" accepts; Escape cancels.
    int result = -1;
    QObject::connect(w.get(), &QDialog::finished, [&](int r) { result = r; });
    QTest::mouseClick(w->exitButton, Qt::LeftButton);
    EXPECT_EQ(result, QDialog::Accepted);
    auto other = Open({}, false);
    QObject::connect(other.get(), &QDialog::finished, [&](int r) { result = r; });
    QTest::keyClick(other.get(), Qt::Key_Escape);
    EXPECT_EQ(result, QDialog::Rejected);
}

}  // namespace
}  // namespace ferrik::testing
