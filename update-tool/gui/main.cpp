// ferrik: with a subcommand, the action runs on the terminal; without one,
// PrintSetWindow opens and its closing ends the program.
#include <QApplication>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "platform/linux/usb/SystemUsbDeviceSource.h"
#include "ui-common/MessageSink.h"
#include "update-tool/cli/FerrikCommand.h"
#include "update-tool/gui/PrintSetWindow.h"

int main(int argc, char** argv) {
    // A printer whose node has no reader any more (a FIFO of a fake tree)
    // must give an error, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (ferrik::IsSubcommand(args)) {
        auto usb = printer_link::MakeSystemUsbDeviceSource();
        return ferrik::RunSubcommand(args, *usb, std::cout, std::cerr);
    }
    QApplication app(argc, argv);
    auto usb = printer_link::MakeSystemUsbDeviceSource();
    auto pollerUsb = printer_link::MakeSystemUsbDeviceSource();
    ui::QtMessageSink messages;
    ferrik::PrintSetWindow window(messages, *usb, *pollerUsb, {});
    QObject::connect(&window, &QDialog::finished, &app, [&app] { app.quit(); });
    window.show();
    return app.exec();
}
