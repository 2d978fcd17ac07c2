#include "settings-tool/gui/CadmonWindow.h"

#include <QApplication>
#include <csignal>

#include "cli-common/Environment.h"
#include "platform/linux/usb/SystemUsbDeviceSource.h"
#include "settings-tool/gui/CadmonDlg.h"
#include "ui-common/MessageSink.h"

int RunCadmonWindow(int argc, char** argv) {
    // A printer whose node has no reader any more (a FIFO of a fake tree)
    // must give an error, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("cadmon"));

    ui::QtMessageSink messages;
    const std::unique_ptr<printer_link::UsbDeviceSource> usb = platform_linux::MakeSystemUsbDeviceSource(platform_linux::UsbRootFromEnvironment());
    cadmon::gui::CadmonServices services;
    services.messages = &messages;
    services.usb = usb.get();
    services.sender.tcp.port = cli::TcpPortFromEnvironment();
    services.discovery = cli::DiscoverySettingsFromEnvironment();

    cadmon::gui::CCadmonDlg window(std::move(services));
    if (window.Start() != cadmon::gui::CCadmonDlg::StartResult::Ok)
        return cadmon::gui::CCadmonDlg::kExitDiscoveryPortBusy;
    window.show();
    return app.exec();
}
