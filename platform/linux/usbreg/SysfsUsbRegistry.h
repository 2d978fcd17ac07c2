#pragma once
// The device records of USB port discovery, from the USB printer enumerator
// (platform/linux/usb/UsbEnumerator.h: libudev on the live system, the files
// below $USB_PRINTER_ROOT otherwise), in its order.
//
// Each usblp printer (lp<N>) is one present printer interface with the identity
// \\?\usb#vid_<v>&pid_<p>#<serial or dev>#{a5dcbf10-6530-11d2-901f-00c04fb951ed};
// its device instance has the parent-id prefix "<dev>", and its print instance
// is "<dev>&USB<NNN>" with NNN = N + 1 (three digits), for whatever hardware ID
// is asked (sysfs does not carry the Windows hardware ID). The instance has a
// "Control" sub-key while the node exists.
#include <filesystem>
#include <string>
#include <vector>

#include "installer/engine/Seams.h"
#include "platform/linux/usb/UsbEnumerator.h"

namespace platform_linux {

struct UsbPrinterNode {
    std::string identity;   // device path as above, lower case
    std::string vidPid;     // "vid_0418&pid_5011"
    std::string instance;   // serial, or the device name
    std::string device;     // sysfs device name, e.g. "1-1"
    int index = 0;          // N of lp<N>
    std::filesystem::path node;  // <root>/dev/usb/lp<N>
};

// The usblp printers below `root`, in the enumerator's order.
std::vector<UsbPrinterNode> ListUsbPrinters(const std::filesystem::path& root);
// "USB001" for lp0.
std::string UsbPortName(int index);
// "/" unless USB_PRINTER_ROOT names another root: the enumerator's one reading.
using platform_linux::UsbRootFromEnvironment;

class SysfsUsbRegistry : public engine::UsbDeviceRegistry {
public:
    explicit SysfsUsbRegistry(std::filesystem::path root) : root_(std::move(root)) {}

    std::vector<std::string> PresentPrinterInterfaces() override;
    bool ReadParentIdPrefix(const std::string& vidPid, const std::string& instance,
                            std::optional<std::string>& prefix) override;
    std::optional<std::vector<std::string>> PrintInstances(const std::string& hardwareId) override;
    std::optional<std::vector<std::string>> PrintInstanceSubKeys(const std::string& hardwareId,
                                                                 const std::string& instance) override;

private:
    std::filesystem::path root_;
};

}  // namespace platform_linux
