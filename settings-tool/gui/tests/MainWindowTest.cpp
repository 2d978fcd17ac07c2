// The main window, the other-settings window and the WIFI window driven like
// a user drives them (clicks, list choices, typing, Enter), against
// printer-sim over its fake USB tree and over TCP: every button must put
// exactly its bytes on the wire, in order.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "settings-tool/LinkTexts.h"
#include "platform/linux/usb/LinuxUsbDeviceSource.h"
#include "settings-tool/gui/OtherSetDlg.h"
#include "settings-tool/gui/WifiDlg.h"
#include "settings-tool/gui/tests/GuiTestSupport.h"
#include "sim/testing/SimProcess.h"
#include "ui-common/IpAddressEdit.h"

namespace cadmon::gui::testing {
namespace {

const std::string kWelcome =
    "Welcome to use the needle printing and thermal series printers produced \r\n"
    "by professional POS invoice printing companies!\r\n";

void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

void SetMacBoxes(const MacBoxArray& boxes, std::initializer_list<const char*> texts) {
    std::size_t i = 0;
    for (const char* t : texts) boxes[i++]->setText(QString::fromLatin1(t));
}

QStringList MacBoxTexts(const MacBoxArray& boxes) {
    QStringList out;
    for (QLineEdit* box : boxes) out << box->text();
    return out;
}

class MainWindowWithSim : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        simtest::SimOptions options;
        options.usb = true;
        sim_ = std::make_unique<simtest::SimProcess>(options);
        ASSERT_TRUE(sim_->ok()) << sim_->error();
        sim_->ExportEnvironment();
        usb_ = std::make_unique<platform_linux::LinuxUsbDeviceSource>(sim_->UsbRoot());
        harness_ = std::make_unique<WindowHarness>(*usb_);
    }
    void TearDown() override {
        harness_.reset();
        usb_.reset();
        sim_.reset();
    }

    // Waits until printer-sim holds `expected` in all and compares.
    ::testing::AssertionResult Received(const Bytes& expected) {
        const bool arrived = SpinUntil([&] { return sim_->RawBytes().size() >= expected.size(); }, 8000);
        Spin(100);  // anything beyond it would show up as a difference
        auto result = SameBytes(expected, sim_->RawBytes());
        if (!arrived) result << "\n  (timed out waiting; status: " << harness_->window->StatusText().toStdString() << ")";
        return result;
    }

    std::unique_ptr<simtest::SimProcess> sim_;
    std::unique_ptr<platform_linux::LinuxUsbDeviceSource> usb_;
    std::unique_ptr<WindowHarness> harness_;
};

TEST_F(MainWindowWithSim, EveryButtonSendsItsBytesOverUsbAndNetwork) {
    CCadmonDlg& w = harness_->Start();
    const auto& c = w.controls();

    // Start-up values.
    EXPECT_EQ(c.printerIp->Text(), QStringLiteral("192.168.0.199"));
    EXPECT_EQ(c.mask->Text(), QStringLiteral("255.255.255.0"));
    EXPECT_EQ(c.gateway->Text(), QStringLiteral("192.168.0.1"));
    EXPECT_EQ(c.newIp->Text(), QStringLiteral("192.168.1.199"));
    EXPECT_TRUE(c.usb->isChecked());
    EXPECT_EQ(c.period->text(), QStringLiteral("500"));
    EXPECT_EQ(c.buzzer->currentText(), QStringLiteral("0"));
    EXPECT_EQ(c.blankFeed->currentIndex(), -1);
    // Seeded with 1, the generator's first draws are 41, 18467, 6334: 29 00 23 48 be 18,
    // each shown without leading zero.
    EXPECT_EQ(MacBoxTexts(c.macBoxes), (QStringList{"29", "0", "23", "48", "be", "18"}));
    c.printerIp->SetAddress({127, 0, 0, 1});

    Bytes expected;
    auto pressEveryButton = [&](int printNumber) {
        Click(c.print);
        EXPECT_EQ(w.StatusText(), QStringLiteral("send finish count %1 \r\n").arg(printNumber));
        Click(c.cut);
        Click(c.cash);
        Click(c.dhcpOn);
        Click(c.dhcpOff);
        Click(c.setIp);
        SetMacBoxes(c.macBoxes, {"0", "1a", "b", "FF", "7", "c0"});
        Click(c.mac);
        c.buzzer->setCurrentIndex(3);
        Click(c.buzzerButton);
        c.blankFeed->setCurrentIndex(-1);
        Click(c.blankFeedButton);
        c.blankFeed->setCurrentIndex(c.blankFeed->findText(QStringLiteral("1行")));
        Click(c.blankFeedButton);
        expected = Concat({expected, FromText(kWelcome),
                           {0x0A, 0x0A, 0x1D, 0x56, 0x01, 0x01},
                           {0x1B, 0x70, 0x01, 0x01, 0x00, 0x00},
                           {0x1F, 0x1B, 0x65, 0x01},
                           {0x1F, 0x1B, 0x65, 0x00},
                           {0x1F, 0x1B, 0x64, 0x00, 0xC0, 0xA8, 0x01, 0xC7, 0xFF, 0xFF, 0xFF, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0x00},
                           {0x1F, 0x1B, 0x67, 0x00, 0x1A, 0x0B, 0xFF, 0x07, 0xC0, 0x00},
                           {0x1F, 0x1B, 0x6A, 0x03, 0x00, 0x00},
                           {0x1F, 0x1B, 0x6B, 0xFF, 0x00, 0x00},
                           {0x1F, 0x1B, 0x6B, 0x00, 0x00, 0x00}});
    };

    pressEveryButton(1);
    ASSERT_TRUE(Received(expected));
    EXPECT_TRUE(sim_->WaitForLine("usb"));
    EXPECT_EQ(harness_->messages.Count(), 0);
    // After sending, the boxes offer the next random MAC; within the same second it is the same one.
    EXPECT_EQ(MacBoxTexts(c.macBoxes), (QStringList{"29", "0", "23", "48", "be", "18"}));

    // The port choice is read at every delivery: the same buttons now go over TCP.
    Click(c.net);
    pressEveryButton(2);
    ASSERT_TRUE(Received(expected));
    EXPECT_TRUE(sim_->WaitForLine("tcp"));
    EXPECT_EQ(w.SendCount(), 2);
    EXPECT_EQ(harness_->messages.Count(), 0) << harness_->messages.Texts().join(" | ").toStdString();
}

TEST_F(MainWindowWithSim, OtherSettingsAndWifiWindowsSendTheirMessages) {
    CCadmonDlg& w = harness_->Start();
    const auto& c = w.controls();
    c.printerIp->SetAddress({127, 0, 0, 1});
    Bytes expected;

    for (bool overNetwork : {false, true}) {
        SCOPED_TRACE(overNetwork ? "network" : "USB");
        if (overNetwork) {
            Click(c.net);
            Click(c.language);  // and the windows speak English now
        }
        const int flag = w.LanguageFlag();

        bool ranOther = false;
        harness_->onModal = [&](QDialog& dialog) {
            auto* other = dynamic_cast<COtherSetDlg*>(&dialog);
            ASSERT_NE(other, nullptr);
            ranOther = true;
            const auto& o = other->controls();
            EXPECT_EQ(o.codePage.label->text(), flag == 0 ? QStringLiteral("字符页") : QStringLiteral("Code Page"));
            EXPECT_EQ(o.density.label->text(), flag == 0 ? QStringLiteral("打印浓度") : QStringLiteral("Denisty"));
            EXPECT_EQ(o.speed.button->text(), flag == 0 ? QStringLiteral("确认") : QStringLiteral("Confirm"));
            // Preselections, fresh at every opening.
            EXPECT_EQ(o.codePage.list->currentText(), QStringLiteral("PC437(Std.Europe)"));
            EXPECT_EQ(o.codePage.list->count(), 24);
            EXPECT_EQ(o.density.list->currentText(), QStringLiteral("1"));
            EXPECT_EQ(o.language.list->currentText(), QStringLiteral("简体中文"));
            EXPECT_EQ(o.reprint.list->currentIndex(), -1);
            EXPECT_EQ(o.speed.list->currentIndex(), -1);
            EXPECT_EQ(o.encoding.list->currentIndex(), -1);
            EXPECT_FALSE(o.usbIdentityX->isVisible());
            EXPECT_FALSE(o.usbIdentityX->isEnabled());
            EXPECT_FALSE(o.usbIdentityG->isVisible());
            EXPECT_FALSE(o.usbIdentityG->isEnabled());

            Click(o.speed.button);  // nothing chosen: FF
            Click(o.density.button);  // the preselected "1"
            o.codePage.list->setCurrentIndex(o.codePage.list->findText(QStringLiteral("pc1001")));
            Click(o.codePage.button);
            o.density.list->setCurrentIndex(o.density.list->findText(QStringLiteral("12")));
            Click(o.density.button);
            o.reprint.list->setCurrentIndex(o.reprint.list->findText(QStringLiteral("开启重打")));
            Click(o.reprint.button);
            o.language.list->setCurrentIndex(o.language.list->findText(QStringLiteral("ASCII")));
            Click(o.language.button);
            o.speed.list->setCurrentIndex(o.speed.list->findText(QStringLiteral("MODE 3")));
            Click(o.speed.button);
            // Rows without a message.
            Click(o.printMode.button);
            Click(o.barPrint.button);
            o.encoding.list->setCurrentIndex(o.encoding.list->findText(QStringLiteral("UTF-8")));
        };
        Click(c.otherSet);
        EXPECT_TRUE(ranOther);
        expected = Concat({expected,
                           {0x1F, 0x1B, 0x6D, 0xFF, 0x00, 0x00},
                           {0x1F, 0x1B, 0x01, 0x00, 0x00, 0x00, 0x01},
                           {0x1F, 0x1B, 0x05, 0x17, 0x00, 0x00},
                           {0x1F, 0x1B, 0x01, 0x00, 0x00, 0x00, 0x0C},
                           {0x1F, 0x1B, 0x66, 0x01, 0x00, 0x00},
                           {0x1F, 0x1B, 0x6C, 0x02, 0x00, 0x00},
                           {0x1F, 0x1B, 0x6D, 0x03, 0x00, 0x00}});
        ASSERT_TRUE(Received(expected));

        bool ranWifi = false;
        harness_->onModal = [&](QDialog& dialog) {
            auto* wifi = dynamic_cast<CWifiDlg*>(&dialog);
            ASSERT_NE(wifi, nullptr);
            ranWifi = true;
            const auto& f = wifi->controls();
            EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Dialog"));
            EXPECT_EQ(f.passwordLabel->text(), flag == 0 ? QStringLiteral("WIFI密码") : QStringLiteral("WIFI Password"));
            EXPECT_EQ(f.set->text(), flag == 0 ? QStringLiteral("设置") : QStringLiteral("Setting"));
            // This computer (192.168.1.23) with the last octet 199.
            EXPECT_EQ(f.staticIp->Text(), QStringLiteral("192.168.1.199"));
            EXPECT_EQ(f.mask->Text(), QStringLiteral("255.255.255.0"));
            EXPECT_EQ(f.gateway->Text(), QStringLiteral("192.168.0.1"));
            EXPECT_TRUE(f.name->text().isEmpty());

            QTest::keyClicks(f.name, QStringLiteral("ab"));
            QTest::keyClicks(f.password, QStringLiteral("xyz"));
            QTest::keyClick(f.password, Qt::Key_Return);  // Enter is the OK button
            EXPECT_TRUE(dialog.isVisible());
            Click(f.set);
            EXPECT_EQ(harness_->messages.Texts().value(0), QStringLiteral("set ok"));
            Click(f.wifiDhcp);  // nothing
            // Name and password that do not fit the 128-byte message are refused.
            f.name->setText(QString(100, QLatin1Char('n')));
            f.password->setText(QString(25, QLatin1Char('p')));
            Click(f.ok);
            EXPECT_EQ(harness_->messages.Count(), 2);
            EXPECT_TRUE(dialog.isVisible());
        };
        harness_->messages.ClearRecord();
        Click(c.wifi);
        EXPECT_TRUE(ranWifi);
        Bytes credentials(128, 0x00);
        const Bytes head = {0x1F, 0x1B, 0x68, 'a', 'b', 0x00, 'x', 'y', 'z'};
        std::copy(head.begin(), head.end(), credentials.begin());
        expected = Concat({expected, credentials, {0x1F, 0x1B, 0x69},
                           {0x00, 0xC0, 0xA8, 0x01, 0xC7, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0x00}});
        ASSERT_TRUE(Received(expected));
    }
    // The header and the body of the static address arrive as two separate messages.
    EXPECT_TRUE(sim_->WaitForLine("tcp"));
}

TEST_F(MainWindowWithSim, ConnectionTestAndNetworkFailure) {
    CCadmonDlg& w = harness_->Start();
    const auto& c = w.controls();
    c.printerIp->SetAddress({127, 0, 0, 1});

    // A printer that answers: "connect ok", and not a byte sent.
    Click(c.connectTest);
    ASSERT_EQ(harness_->messages.Texts(), QStringList{QStringLiteral("connect ok")});
    EXPECT_TRUE(sim_->WaitForLine("closed (0 bytes)")) << ::testing::PrintToString(sim_->Lines());
    EXPECT_TRUE(sim_->RawBytes().empty());
}

// Failures without printer-sim: nothing listens on the port, no USB printer.
TEST(MainWindowFailures, TextsAppearInTheStatusLineAndMessageBoxes) {
    App();
    QTemporaryDir emptyTree;
    platform_linux::LinuxUsbDeviceSource noPrinters(emptyTree.path().toStdString());
    WindowHarness h(noPrinters);
    h.services.sender.tcp.port = simtest::FreeTcpPort();  // nobody listens there
    CCadmonDlg& w = h.Start();
    const auto& c = w.controls();
    c.printerIp->SetAddress({127, 0, 0, 1});

    Click(c.cut);
    EXPECT_TRUE(SpinUntil([&] { return w.StatusText() == QStringLiteral("USB OPEN FAIL"); }))
        << w.StatusText().toStdString();
    EXPECT_TRUE(SpinUntil([&] { return !w.IsSendPending(); }));

    Click(c.net);
    Click(c.cut);
    const QString netFail = QString::fromUtf8(cadmon::kNetConnectFailText);
    EXPECT_TRUE(SpinUntil([&] { return w.StatusText() == netFail; })) << w.StatusText().toStdString();
    EXPECT_TRUE(SpinUntil([&] { return !w.IsSendPending(); }));
    Click(c.connectTest);
    EXPECT_EQ(h.messages.Texts(), QStringList{netFail});

    // "LPT": one box per submission, nothing sent.
    h.messages.ClearRecord();
    Click(c.lpt);
    Click(c.cut);
    Click(c.cash);
    EXPECT_TRUE(h.messages.WaitForCount(2, 5000));
    EXPECT_TRUE(SpinUntil([&] { return !w.IsSendPending(); }));
    Spin(100);
    EXPECT_EQ(h.messages.Texts(), (QStringList{"NOT Selet USB OR NET", "NOT Selet USB OR NET"}));
    EXPECT_EQ(h.messages.Boxes().value(0).title, QStringLiteral("Cadmon"));

    // A MAC box that is not one or two hexadecimal digits: refused, the boxes stay as typed.
    Click(c.usb);
    SetMacBoxes(c.macBoxes, {"1", "", "3", "4", "5", "6"});
    const QString before = w.StatusText();
    Click(c.mac);
    EXPECT_TRUE(w.StatusText().contains(QStringLiteral("MAC")));
    EXPECT_NE(w.StatusText(), before);
    EXPECT_FALSE(w.IsSendPending());
    EXPECT_EQ(c.macBoxes[1]->text(), QString());
}

}  // namespace
}  // namespace cadmon::gui::testing
