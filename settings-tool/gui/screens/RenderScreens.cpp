// Renders every window of cadmon, in Chinese and in English, to PNG files:
//   cadmon_screens <output folder>
// Runs on the offscreen platform. Nothing leaves this computer: discovery
// goes to 127.0.0.1 and the search list is filled by replies sent over loopback.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <unistd.h>
#include <functional>

#include "settings-tool/gui/AboutDlg.h"
#include "settings-tool/gui/CadmonDlg.h"
#include "settings-tool/gui/OtherSetDlg.h"
#include "settings-tool/gui/Parameters.h"
#include "settings-tool/gui/SearchDlg.h"
#include "settings-tool/gui/WifiDlg.h"
#include "ui-common/MessageSink.h"
#include "ui-common/WindowShot.h"

namespace {

class NoUsbPrinters : public printer_link::UsbDeviceSource {
public:
    std::vector<printer_link::UsbDeviceInfo> Enumerate() override { return {}; }
    bool Probe(const printer_link::UsbDeviceInfo&) override { return false; }
    printer_link::OpenedTransport OpenBulk(const printer_link::UsbDeviceInfo&) override {
        return printer_link::OpenFailure(ENODEV, "");
    }
};

void Settle(int ms = 50) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

bool Save(QWidget& window, const QString& path) {
    window.show();
    window.adjustSize();
    Settle();
    const QImage shot = ui::GrabWithTitleBar(window);
    const bool ok = shot.save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

void SendReply(std::uint16_t port, std::array<std::uint8_t, 18> record) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, record.data(), record.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screens");
    QDir().mkpath(out);
    QTemporaryDir work;
    bool ok = true;

    for (int flag : {0, 1}) {
        const QString lang = flag == 0 ? QStringLiteral("zh") : QStringLiteral("en");
        ui::RecordingMessageSink messages;
        NoUsbPrinters usb;
        cadmon::gui::CadmonServices services;
        services.messages = &messages;
        services.usb = &usb;
        services.discovery.broadcastAddress = "127.0.0.1";
        services.discovery.replyPort = 0;
        services.discovery.probePort = 9;
        services.parametersFile = (work.path() + QStringLiteral("/init_params.txt")).toStdString();
        services.localAddress = [] { return protocol::Ipv4{192, 168, 1, 23}; };
        services.probePauseMs = 0;
        cadmon::gui::WriteParameters(flag, services.parametersFile);

        // The main window is rendered from inside each modal window's run, so
        // that the modal windows have their real parent.
        std::function<void(QDialog&)> shoot;
        services.runModal = [&](QDialog& dialog) { shoot(dialog); };
        cadmon::gui::CCadmonDlg main(std::move(services));
        if (main.Start() != cadmon::gui::CCadmonDlg::StartResult::Ok) return 1;
        main.ShowStatus("send finish count 3 \r\n");
        ok &= Save(main, out + QStringLiteral("/cadmon-main-%1.png").arg(lang));

        shoot = [&](QDialog& dialog) { ok &= Save(dialog, out + QStringLiteral("/cadmon-other-settings-%1.png").arg(lang)); };
        main.controls().otherSet->click();
        shoot = [&](QDialog& dialog) { ok &= Save(dialog, out + QStringLiteral("/cadmon-wifi-%1.png").arg(lang)); };
        main.controls().wifi->click();
        shoot = [&](QDialog& dialog) {
            auto& search = static_cast<cadmon::gui::CSearchDlg&>(dialog);
            // Two printers answer over loopback.
            const int port = main.DiscoveryReplyPort();
            SendReply(static_cast<std::uint16_t>(port), {1, 0, 0x00, 0x1a, 0x0b, 0xff, 0x07, 0xc0, 0, 0, 0, 0, 0, 0, 192, 168, 0, 199});
            SendReply(static_cast<std::uint16_t>(port), {1, 0x9c, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0, 0, 0, 0, 0, 0, 192, 168, 1, 87});
            QDeadlineTimer deadline(3000);
            while (search.controls().list->count() < 2 && !deadline.hasExpired()) Settle(20);
            search.controls().list->setCurrentRow(1);
            ok &= Save(dialog, out + QStringLiteral("/cadmon-search-%1.png").arg(lang));
            dialog.close();
        };
        main.controls().scanPrinter->click();
        if (flag == 0) {
            shoot = [&](QDialog& dialog) { ok &= Save(dialog, out + QStringLiteral("/cadmon-about.png")); };
            main.ShowAbout();
        }
        main.close();
    }
    return ok ? 0 : 1;
}
