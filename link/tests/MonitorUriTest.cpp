// The device URI of a monitor port: what the spooler writes from the printer
// data, what the port monitor reads back, and which device that opens.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "link/MonitorUri.h"

namespace {

using printer_link::MonitorTarget;

struct Case {
    const char* name;
    printer_link::PrinterData data;
    const char* port;
    const char* uri;                     // as written
    const char* device;                  // the device layer's URI ("" for none)
    std::vector<std::string> productIds;
};

TEST(MonitorUri, PrinterDataBecomeTheUriAndTheUriTheDevice) {
    const std::string usbPath = "\\\\?\\USB#VID_0418&PID_5011#SN1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    const Case cases[] = {
        {"network", {1, "127.0.0.1 9101", "vid_0418&pid_5011", ""}, "POS80-Port:",
         "m://127.0.0.1:9101/POS80-Port", "socket://127.0.0.1:9101", {}},
        {"network before PortType is set", {std::nullopt, "192.168.0.7 9100", "", ""}, "POS80-Port:",
         "m://192.168.0.7:9100/POS80-Port", "socket://192.168.0.7:9100", {}},
        {"no port number, or none that is one", {1, "10.0.0.5  0", "", ""}, "P:", "m://10.0.0.5:9100/P",
         "socket://10.0.0.5:9100", {}},
        {"IPv6 address, in brackets", {1, "::1 9102", "", ""}, "P:", "m://[::1]:9102/P", "socket://[::1]:9102", {}},
        {"network port without an address", {1, "  ", "", ""}, "P:", "m:/P?PortType=1", "", {}},
        {"USB by vid&pid", {0, "", "vid_0418&pid_5011", ""}, "POS80-Port:",
         "m:/POS80-Port?VidAndPid=vid_0418%26pid_5011", "usb:", {"vid_0418&pid_5011"}},
        {"USB by device path, any case", {0, "127.0.0.1 9100", "vid_0418&pid_5011", usbPath}, "P:",
         "m:/P?VidAndPid=vid_0418%26pid_5011&DevicePath=%5C%5C%3F%5CUSB%23VID_0418%26PID_5011%23SN1%23%7Ba5dcbf10-"
         "6530-11d2-901f-00c04fb951ed%7D",
         "usb:", {"\\\\?\\usb#vid_0418&pid_5011#sn1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"}},
        {"no printer data yet: any listed USB printer", {}, "Kitchen Bon/1:", "m:/Kitchen%20Bon%2F1", "usb:", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MonitorTarget target = printer_link::TargetFromPrinterData(c.port, c.data);
        const std::string uri = printer_link::FormatMonitorUri("m", target);
        EXPECT_EQ(uri, c.uri);
        std::string why;
        const auto back = printer_link::ParseMonitorUri(uri, &why);
        ASSERT_TRUE(back) << why;
        EXPECT_EQ(printer_link::FormatMonitorUri("m", *back), uri);
        EXPECT_EQ(back->portName, target.portName);
        const printer_link::DeviceChoice device = printer_link::DeviceFor(*back);
        EXPECT_EQ(device.uri, c.device);
        EXPECT_EQ(device.productIds, c.productIds);
    }
}

TEST(MonitorUri, ListedUsbPrinterWithSerialAndRefusedUris) {
    MonitorTarget listed;
    listed.portName = "usb";
    listed.vidAndPid = "vid_0418&pid_5011";
    listed.serial = "SN 42/7";
    const std::string uri = printer_link::FormatMonitorUri("m", listed);
    EXPECT_EQ(uri, "m:/usb?VidAndPid=vid_0418%26pid_5011&serial=SN%2042%2F7");
    const auto back = printer_link::ParseMonitorUri(uri);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->serial, "SN 42/7");
    EXPECT_EQ(printer_link::DeviceFor(*back).uri, "usb://0418/5011?serial=SN%2042%2F7");

    // Decoded, and as the spooler once wrote them, IPv6 addresses get brackets in the device's URI.
    for (const auto& [uri, device] : {std::pair{"m://%3A%3A1:9102/P", "socket://[::1]:9102"},
                                      std::pair{"m://%5B::1%5D:9102/P", "socket://[::1]:9102"},
                                      std::pair{"m://[fe80::1]/P", "socket://[fe80::1]:9100"}}) {
        const auto target = printer_link::ParseMonitorUri(uri);
        ASSERT_TRUE(target) << uri;
        EXPECT_EQ(printer_link::DeviceFor(*target).uri, device);
    }
    // No decoded delimiter may name another host or port.
    for (const char* bad : {"no-scheme", "m://:9100/P", "m://h:0/P", "m://h:99999/P", "m://h:x/P",
                            "m:/P?VidAndPid=%zz", "m:/P%00", "m://127.0.0.1%2F:9102/P", "m://127.0.0.1%3A9100:9102/P",
                            "m://x%40127.0.0.1:9102/P", "m://x@127.0.0.1:9102/P", "m://h%3F:9102/P", "m://h%25:9102/P",
                            "m://h%20:9102/P", "m://::1:9102/P", "m://[127.0.0.1]:9102/P", "m://[::1/P",
                            "m://[::1]x/P", "m://[]:9102/P"}) {
        std::string why;
        EXPECT_FALSE(printer_link::ParseMonitorUri(bad, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

}  // namespace
