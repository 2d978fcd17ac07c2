#include "settings-tool/LinkTexts.h"

namespace cadmon {

ShownTexts TextsFor(const sender::AttemptReport& report) {
    ShownTexts shown;
    if (report.port == sender::PortChoice::Lpt) {
        shown.box = kNoPortText;
    } else if (report.result.OpenFailed()) {
        shown.status = report.port == sender::PortChoice::Usb ? kUsbOpenFailText : kNetConnectFailText;
    }
    return shown;
}

std::string ConnectionTestText(const printer_link::Result& result) {
    return result.Ok() ? kConnectOkText : kNetConnectFailText;
}

}  // namespace cadmon
