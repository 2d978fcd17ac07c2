#pragma once
// What the settings utility shows for the printer link's outcomes, in the
// window and on the terminal alike.
#include <string>

#include "settings-tool/sender/PrinterWindow.h"

namespace cadmon {

inline constexpr const char* kUsbOpenFailText = "USB OPEN FAIL";
inline constexpr const char* kNoPortText = "NOT Selet USB OR NET";
inline constexpr const char* kNetConnectFailText = "网络连接失败,请确定IP地址是否与电脑同一网段,Fail to connect";
inline constexpr const char* kConnectOkText = "connect ok";

struct ShownTexts {
    std::string status;  // for the status line (empty: unchanged)
    std::string box;     // for a message box (empty: none)
};

// A failed delivery attempt: "USB OPEN FAIL" when no USB printer opens, the
// connection failure text when no network connection comes about, "NOT Selet
// USB OR NET" for the "LPT" choice. A write that fails after the open shows
// nothing: what is left is tried again.
ShownTexts TextsFor(const sender::AttemptReport& report);

// The connection test's message box.
std::string ConnectionTestText(const printer_link::Result& result);

}  // namespace cadmon
