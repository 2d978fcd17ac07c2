// ferrik: with a subcommand, the action runs on the terminal; without one,
// PrintSetWindow opens and its closing ends the program.
#include <unistd.h>

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
    auto usb = platform_linux::MakeSystemUsbDeviceSource(platform_linux::UsbRootFromEnvironment());
    const ferrik::Terminal terminal{std::cin, std::cout, std::cerr, ::isatty(0) == 1, ::isatty(2) == 1};
    return ferrik::RunCli(std::vector<std::string>(argv + 1, argv + argc), *usb, terminal, [&] {
        QApplication app(argc, argv);
        auto pollerUsb = platform_linux::MakeSystemUsbDeviceSource(platform_linux::UsbRootFromEnvironment());
        ui::QtMessageSink messages;
        ferrik::PrintSetWindow window(messages, *usb, *pollerUsb, {});
        QObject::connect(&window, &QDialog::finished, &app, [&app] { app.quit(); });
        window.show();
        return app.exec();
    });
}
