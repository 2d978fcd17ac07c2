#pragma once
// Raw delivery to a printer's TCP port 9100, and the connection test.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "link/PrinterWindow.h"

namespace printer_link {

inline constexpr const char* kNetConnectFailText =
    "网络连接失败,请确定IP地址是否与电脑同一网段,Fail to connect";
inline constexpr const char* kPrintErrorText = "Print error";
inline constexpr const char* kConnectOkText = "connect ok";

struct TcpSettings {
    std::uint16_t port = 9100;       // printer's raw port
    int connectTimeoutMs = 5000;     // bound on the connection wait
    std::size_t sendChunk = 256;     // at most this many bytes per send call
    // Stands in for send() on the connected socket when set (tests observe or
    // script the sends); returns what send() would, with errno set on -1.
    std::function<long(int fd, const std::uint8_t* data, std::size_t length)> sendHook;
    // PRINTER_TCP_PORT overrides the port (tests and demos against printer-sim).
    static TcpSettings FromEnvironment();
};

class StopEvent;

// Connects to the window's printer IP, sends `data` from its start in chunks,
// lowering `remaining` by what each send reports, and closes. A failed
// connection shows the failure text and sets `remaining` to 0; a send of 0
// bytes shows "Print error" and ends the program with status 1; a send error
// ends the delivery with `remaining` unchanged by it.
void DeliverOverTcp(PrinterWindow& window, const std::uint8_t* data, std::int32_t& remaining,
                    const TcpSettings& settings);
// The same; a set `stop` event (may be null) abandons the connection wait or a
// send waiting for room, leaving `remaining` at what is still unsent.
void DeliverOverTcp(PrinterWindow& window, const std::uint8_t* data, std::int32_t& remaining,
                    const TcpSettings& settings, const StopEvent* stop);

// Connects to the printer IP and reports "connect ok" or the failure text in a
// message box. Sends nothing.
void TestPrinterConnection(PrinterWindow& window, const TcpSettings& settings);

}  // namespace printer_link
