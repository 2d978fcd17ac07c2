#pragma once
// The settings utility's window texts (UTF-8), each as a Chinese/English pair.
// LanguageFlag 0 picks the Chinese one, any other value the English one.
#include <QString>

namespace cadmon::gui {

struct TextPair {
    const char* chinese;
    const char* english;
    QString For(int languageFlag) const {
        return QString::fromUtf8(languageFlag == 0 ? chinese : english);
    }
};

inline QString Utf8(const char* text) { return QString::fromUtf8(text); }

namespace text {
// Main window
inline constexpr const char* kMainTitle = "打印机测试工具1.2";
inline constexpr TextPair kPortGroup{"端口选择", "Port Select"};
inline constexpr TextPair kLpt{"并口", "LPT"};
inline constexpr const char* kUsb = "USB";
inline constexpr TextPair kNet{"网络", "NET"};
inline constexpr TextPair kAddressGroup{"IP地址设置", "IP Addr Set"};
inline constexpr TextPair kPrinterIp{"打印机IP地址", "Printer IP Addr"};
inline constexpr TextPair kMask{"网段", "IP Mask"};
inline constexpr TextPair kGateway{"网关", "IP Gate"};
inline constexpr TextPair kNewIp{"新IP地址", "New IP"};
inline constexpr TextPair kNote{"IP,MAC参数可通过USB或者网口设置", "IP ,MAC can be set using USB or network"};
inline constexpr TextPair kPrintInfo{"打印信息", "Print Info"};
inline constexpr TextPair kAutoSend{"自动发送", "Auto Send"};
inline constexpr TextPair kPrint{"打印", "Print"};
inline constexpr TextPair kCut{"切刀", "Cut"};
inline constexpr TextPair kCash{"弹钱箱", "Cash"};
inline constexpr TextPair kOtherSet{"其他设置", "Other Set"};
inline constexpr TextPair kSetIp{"设置IP", "Set IP"};
inline constexpr TextPair kScanPrinter{"搜索网络打印机", "Scan Printer"};
inline constexpr TextPair kDhcpOn{"DHCP 打开", "DHCP OPEN"};
inline constexpr TextPair kDhcpOff{"DHCP 关闭", "DHCP CLOSE"};
inline constexpr TextPair kConnectTest{"链接测试", "Connect test"};
inline constexpr TextPair kLanguage{"English", "中文"};
inline constexpr TextPair kWifiSetting{"WIFI 设置", "WIFI Setting"};
inline constexpr TextPair kBeepSet{"蜂鸣器设置", "Beep Set"};
inline constexpr TextPair kBlankFeed{"空白走纸", "Black walk"};
inline constexpr const char* kMac = "MAC";
inline constexpr const char* kMs = "ms";
inline constexpr const char* kMacNote = "MAC会随机产生";
inline constexpr const char* kAboutEntry = "关于 Cadmon(&A)...";
inline constexpr const char* kWelcome =
    "Welcome to use the needle printing and thermal series printers produced \r\n"
    "by professional POS invoice printing companies!\r\n";
inline constexpr const char* kSendFinishCount = "send finish count %1 \r\n";
inline constexpr const char* kMessageTitle = "Cadmon";
inline constexpr const char* kErrorNoBroadcast = "Error 0";
inline constexpr const char* kErrorSendFailed = "Error 1";
inline constexpr const char* kFinish = "FINISH";
inline constexpr const char* kNoSelectPrint = "No Select print";
inline constexpr const char* kSetOk = "set ok";
// Texts of this program's own decisions (bilingual, as the failure texts are).
inline constexpr const char* kBadMacBox =
    "MAC地址每格须为一到两位十六进制数,MAC: each box needs one or two hexadecimal digits";
inline constexpr const char* kDiscoveryPortBusy =
    "无法打开网络搜索端口 UDP %1,可能被其他程序占用,程序退出。\n"
    "Cannot open the printer search port UDP %1 (%2). Another program may be using it; "
    "the program ends.";
inline constexpr const char* kWifiTooLong =
    "WIFI名称和密码合计不能超过124字节,WIFI ID and password together must not exceed 124 bytes";

// About box
inline constexpr const char* kAboutTitle = "Tavoro打印机机测试工具";
inline constexpr const char* kAboutVersion = "MavoPrinterTool V1.2";
inline constexpr const char* kAboutOk = "确定";

// Other-settings window
inline constexpr TextPair kPrintMode{"打印模式", "Print Mode"};
inline constexpr TextPair kCodePage{"字符页", "Code Page"};
inline constexpr TextPair kBarPrint{"条码打印", "Bar Print"};
inline constexpr TextPair kDensity{"打印浓度", "Denisty"};
inline constexpr TextPair kReprint{"重打印", "RePrint"};
inline constexpr TextPair kLangSetting{"语言设置", "Lang Setting"};
inline constexpr TextPair kCodeSetting{"编码设置", "Code Setting"};
inline constexpr TextPair kPrintSpeed{"打印速度", "Print Speed"};
inline constexpr TextPair kConfirm{"确认", "Confirm"};
inline constexpr const char* kUsbIdentityX = "USB PID VID  X";
inline constexpr const char* kUsbIdentityG = "USB PID VID G";

// WIFI window and search window
inline constexpr const char* kDialogTitle = "Dialog";
inline constexpr const char* kWifiId = "WIFI ID";
inline constexpr TextPair kWifiPassword{"WIFI密码", "WIFI Password"};
inline constexpr const char* kOk = "OK";
inline constexpr TextPair kWifiStaticIp{"WIFI静态IP", "WIFI Static IP"};
inline constexpr TextPair kWifiMask{"WIFI网段", "WIFI Mask"};
inline constexpr TextPair kWifiGate{"WIFI网关", "WIFI Gate"};
inline constexpr TextPair kSetting{"设置", "Setting"};
inline constexpr const char* kWifiDhcp = "WIFI DHCP";
inline constexpr TextPair kQuit{"退出", "Quit"};
inline constexpr TextPair kDeviceList{"设备列表", "Device list"};
inline constexpr TextPair kSearchIp{"IP地址", "IP Addr"};
inline constexpr TextPair kSearchMask{"网段", "Mask"};
inline constexpr TextPair kSearchGate{"网关", "Gate"};
}  // namespace text

}  // namespace cadmon::gui
