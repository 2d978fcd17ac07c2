#pragma once
// The update tool's own texts, shown by the window and the subcommands alike.
namespace ferrik {

inline constexpr const char* kImageFileName = "PRINT_NET80.bin";
inline constexpr const char* kFontFileName = "gb2312";

inline constexpr const char* kPrintErrorText = "Print error";
inline constexpr const char* kUsbDoneText =
    "下载程序完成，打印机自动重启（请勿关闭电源）\n";
inline constexpr const char* kDuplicateIpText = "IP 地址重复 请先设IP 地址";
inline constexpr const char* kNetConnectFailText =
    "网络连接失败,请确定IP地址是否与电脑同一网段";
inline constexpr const char* kConnectFailShortText = "网络连接失败";
inline constexpr const char* kFinishText = "FINISH";
inline constexpr const char* kSetErrorText = "set error no connect";
inline constexpr const char* kDarknessDoneText = "finish ";
inline constexpr const char* kSelectDeviceText = "ERROR 请选择设备";
inline constexpr const char* kSocketErrorText = "Error 0";
inline constexpr const char* kSendErrorText = "Error 1";
inline constexpr const char* kUsbConnectText = "USB Connect";
inline constexpr const char* kUsbNotConnectText = "USB not Connect";
// "Cannot read file %s"; the file name follows.
inline constexpr const char* kFileErrorPrefix = "文件读取失败 Cannot read file: ";

}  // namespace ferrik
