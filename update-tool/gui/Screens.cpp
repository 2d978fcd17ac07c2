// Renders PrintSetWindow, NetworkSetDialog and the about box to PNG files in
// the folder given as the argument (offscreen platform).
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <cstdio>

#include "platform/linux/usb/SystemUsbDeviceSource.h"
#include "ui-common/MessageSink.h"
#include "ui-common/WindowShot.h"
#include "update-tool/gui/AboutBox.h"
#include "update-tool/gui/NetworkSetDialog.h"
#include "update-tool/gui/PrintSetWindow.h"

namespace {

bool Save(QWidget& widget, const QString& folder, const QString& name) {
    widget.show();
    QApplication::processEvents();
    const QString path = QDir(folder).filePath(name);
    if (!ui::GrabWithTitleBar(widget).save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screens");
    QDir().mkpath(folder);

    auto usb = platform_linux::MakeSystemUsbDeviceSource(platform_linux::UsbRootFromEnvironment());
    ui::RecordingMessageSink messages;
    ferrik::PrintSetWindow::Options options;
    options.startThreads = false;
    ferrik::PrintSetWindow window(messages, *usb, *usb, options);
    // A printer as the presence poller would show it, half-way through a download.
    window.ShowStatus(ferrik::kUsbConnectText);
    window.ShowDevicePath("\\\\?\\usb#vid_0418&pid_5011#1-1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    window.SetProgress(45, 18432);
    bool ok = Save(window, folder, QStringLiteral("print-set.png"));

    protocol::DeviceRecord record;
    record.bytes = {0x01, 0x00, 0x00, 0x1A, 0x0B, 0xFF, 0x07, 0xC0, 0, 0, 0, 0, 0, 0, 192, 168, 0, 199};
    ferrik::NetworkSetDialog dialog(messages, window.Tool(), record, 0, &window);
    ok = Save(dialog, folder, QStringLiteral("network-set.png")) && ok;

    ferrik::AboutBox about(&window);
    ok = Save(about, folder, QStringLiteral("about.png")) && ok;
    return ok ? 0 : 1;
}
