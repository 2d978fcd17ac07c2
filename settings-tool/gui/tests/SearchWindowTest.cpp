// The search window against printer-sim's simulated network printers: the
// probe timer, the list built by the listener through the window thread,
// choosing a line, the address-setting broadcast and its messages, closing
// (the listener stops) and reopening (a fresh list).
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/fake/usb/FakeUsbDeviceSource.h"
#include "settings-tool/gui/SearchDlg.h"
#include "settings-tool/gui/tests/GuiTestSupport.h"
#include "sim/testing/SimProcess.h"
#include "ui-common/IpAddressEdit.h"

namespace cadmon::gui::testing {
namespace {

QStringList Lines(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
    return out;
}

QStringList MacTexts(const MacBoxArray& boxes) {
    QStringList out;
    for (QLineEdit* box : boxes) out << box->text();
    return out;
}

void SendDatagram(std::uint16_t port, const Bytes& bytes) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
}

TEST(SearchWindow, ListsPrintersSetsAnAddressAndStartsFreshWhenReopened) {
    App();
    simtest::SimOptions options;
    options.args = {"--printer", "mac=00:1a:0b:ff:07:c0,ip=192.168.0.199,id=1.0",
                    "--printer", "mac=02:11:22:33:44:55,ip=192.168.1.87,id=1.9c"};
    simtest::SimProcess sim(options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    sim.ExportEnvironment();
    platform_fake::FakeUsbDeviceSource usb;
    WindowHarness h(usb);
    CCadmonDlg& w = h.Start();
    const std::uint16_t replyPort = static_cast<std::uint16_t>(w.DiscoveryReplyPort());
    ASSERT_EQ(replyPort, sim.ReplyPort());

    int openings = 0;
    h.onModal = [&](QDialog& dialog) {
        auto* search = dynamic_cast<CSearchDlg*>(&dialog);
        ASSERT_NE(search, nullptr);
        ++openings;
        const auto& s = search->controls();
        EXPECT_EQ(s.list->count(), 0);
        EXPECT_EQ(search->table().Count(), 0);
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Dialog"));
        EXPECT_EQ(s.listLabel->text(), QStringLiteral("设备列表"));
        if (openings == 2) {
            // Reopened: fresh, and it fills again from the next probe.
            EXPECT_TRUE(SpinUntil([&] { return s.list->count() == 2; }, 4000));
            return;
        }

        // Both printers answer every probe; each shows once, in order of first answer.
        ASSERT_TRUE(SpinUntil([&] { return s.list->count() == 2; }, 4000)) << Lines(s.list).join(" ").toStdString();
        const QStringList first = Lines(s.list);
        EXPECT_TRUE(first == (QStringList{"(1.0)192.168.0.199.", "(1.9c)192.168.1.87."}) ||
                    first == (QStringList{"(1.9c)192.168.1.87.", "(1.0)192.168.0.199."}))
            << first.join(" ").toStdString();
        // Replies the window must ignore: first byte 00 or 80; a 20-byte reply counts by its first 18.
        SendDatagram(replyPort, Bytes{0x00, 0, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0, 10, 0, 0, 1});
        SendDatagram(replyPort, Bytes{0x80, 0, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0, 10, 0, 0, 2});
        SendDatagram(replyPort, Bytes{0x02, 0x7f, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0, 10, 0, 0, 3, 0xEE, 0xEE});
        ASSERT_TRUE(SpinUntil([&] { return s.list->count() == 3; }, 3000));
        Spin(1300);  // at least one more probe round: no duplicates
        EXPECT_EQ(Lines(s.list), first + QStringList{"(2.7f)10.0.0.3."});
        EXPECT_GE(search->ProbesSent(), 2);
        EXPECT_TRUE(sim.WaitForLine("probe from"));

        // Set without a chosen line.
        QTest::mouseClick(s.set, Qt::LeftButton);
        EXPECT_EQ(h.messages.Texts(), QStringList{"No Select print"});

        // Choosing a line fills the fields from its record; mask and gateway are fixed.
        const int row = static_cast<int>(first.indexOf(QStringLiteral("(1.0)192.168.0.199.")));
        s.list->setCurrentRow(row);
        EXPECT_EQ(s.ip->Text(), QStringLiteral("192.168.0.199"));
        EXPECT_EQ(s.mask->Text(), QStringLiteral("255.255.255.0"));
        EXPECT_EQ(s.gateway->Text(), QStringLiteral("192.168.0.1"));
        EXPECT_EQ(MacTexts(s.macBoxes), (QStringList{"0", "1a", "b", "ff", "7", "c0"}));

        // A new address for it: broadcast, "FINISH", the table cleared, the old lines kept.
        s.ip->SetAddress({192, 168, 0, 50});
        s.macBoxes[5]->setText(QStringLiteral("c1"));
        QTest::mouseClick(s.set, Qt::LeftButton);
        EXPECT_EQ(h.messages.Texts().value(1), QStringLiteral("FINISH"));
        EXPECT_EQ(s.list->count(), 3);
        if (search->table().Count() == 0) {
            // An old line now reads an empty slot.
            s.list->setCurrentRow(2);
            EXPECT_EQ(s.ip->Text(), QStringLiteral("0.0.0.0"));
            EXPECT_EQ(MacTexts(s.macBoxes), (QStringList{"0", "0", "0", "0", "0", "0"}));
        }
        EXPECT_TRUE(sim.WaitForLine(
            "address setting for 00:1a:0b:ff:07:c0: ip 192.168.0.50 mask 255.255.255.0 gateway 192.168.0.1 "
            "mac 00:1a:0b:ff:07:c1 (DHCP 0)"))
            << ::testing::PrintToString(sim.Lines());
        // The printer answers with its new record, which shows as a new line.
        EXPECT_TRUE(SpinUntil([&] { return Lines(s.list).contains(QStringLiteral("(1.0)192.168.0.50.")); }, 4000))
            << Lines(s.list).join(" ").toStdString();
    };
    QTest::mouseClick(w.controls().scanPrinter, Qt::LeftButton);
    ASSERT_EQ(openings, 1);

    // The window is gone: replies arriving now reach nobody, nothing breaks.
    SendDatagram(replyPort, Bytes{0x03, 0, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0, 10, 0, 0, 9});
    Spin(100);

    QTest::mouseClick(w.controls().scanPrinter, Qt::LeftButton);
    EXPECT_EQ(openings, 2);
}

}  // namespace
}  // namespace cadmon::gui::testing

namespace cadmon::gui::testing {
namespace {

// Without printer-sim: replies fed straight to the reply port, and a broadcast
// that cannot be sent.
TEST(SearchWindow, FailedBroadcastKeepsTheTableAndBadMacBoxesAreRefused) {
    App();
    platform_fake::FakeUsbDeviceSource usb;
    WindowHarness h(usb);
    h.services.discovery.broadcastAddress = "no such address";  // every send fails
    CCadmonDlg& w = h.Start();
    const auto port = static_cast<std::uint16_t>(w.DiscoveryReplyPort());
    ASSERT_NE(port, 0);

    h.onModal = [&](QDialog& dialog) {
        auto& search = dynamic_cast<CSearchDlg&>(dialog);
        const auto& s = search.controls();
        EXPECT_EQ(s.listLabel->text(), QStringLiteral("Device list"));
        EXPECT_EQ(s.set->text(), QStringLiteral("Setting"));
        SendDatagram(port, Bytes{0x01, 0x00, 0x00, 0x1A, 0x0B, 0xFF, 0x07, 0xC0, 0, 0, 0, 0, 0, 0, 192, 168, 0, 199});
        ASSERT_TRUE(SpinUntil([&] { return s.list->count() == 1; }, 3000));
        s.list->setCurrentRow(0);
        s.macBoxes[2]->clear();
        QTest::mouseClick(s.set, Qt::LeftButton);
        ASSERT_EQ(h.messages.Count(), 1);
        EXPECT_TRUE(h.messages.Texts()[0].contains(QStringLiteral("MAC")));
        s.macBoxes[2]->setText(QStringLiteral("b"));
        QTest::mouseClick(s.set, Qt::LeftButton);
        EXPECT_EQ(h.messages.Texts().value(1), QStringLiteral("Error 1"));
        EXPECT_EQ(search.table().Count(), 1);  // kept
    };
    QTest::mouseClick(w.controls().language, Qt::LeftButton);  // English
    QTest::mouseClick(w.controls().scanPrinter, Qt::LeftButton);
}

}  // namespace
}  // namespace cadmon::gui::testing
