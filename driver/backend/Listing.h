#pragma once
// The receipt printers this port monitor can print to, as CUPS lists devices
// (`lpinfo -v`, the add-printer dialogs): the USB printers of the listed
// product IDs, and the network printers that answer the discovery probe
// within `listen`. One line per printer:
//
//   direct SCHEME:/usb?VidAndPid=vid_0418%26pid_5011&serial=SN42 "Receipt printer" "Receipt printer USB 0418:5011 SN42" "" ""
//   network SCHEME://192.168.0.199:9100 "Receipt printer" "Receipt printer 192.168.0.199 (00:1a:0b:ff:07:c0)" "" ""
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "driver/backend/JobWatch.h"
#include "protocol/Discovery.h"

namespace printer_link {
class UsbDeviceSource;
}

namespace portmon {

// `productIds`: the USB printers listed.
std::vector<std::string> ListPrinters(std::string_view scheme, printer_link::UsbDeviceSource* usb,
                                      const std::vector<std::string>& productIds,
                                      const protocol::DiscoverySettings& discovery, std::chrono::milliseconds listen,
                                      const LogLine& log);

}  // namespace portmon
