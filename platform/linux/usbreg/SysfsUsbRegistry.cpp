#include "platform/linux/usbreg/SysfsUsbRegistry.h"

#include <cstdio>
#include <system_error>

#include "base/TextCodec.h"
#include "platform/linux/usb/UsbEnumerator.h"

namespace platform_linux {
namespace fs = std::filesystem;

std::string UsbPortName(int index) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "USB%03d", index + 1);
    return buf;
}

std::vector<UsbPrinterNode> ListUsbPrinters(const fs::path& root) {
    std::vector<UsbPrinterNode> out;
    for (const platform_linux::UsbPrinterRecord& r : platform_linux::ListUsbPrinterRecords(root.string())) {
        if (r.lpNumber < 0) continue;  // a port needs a usblp node
        UsbPrinterNode node;
        node.vidPid = "vid_" + r.vendor + "&pid_" + r.product;
        node.instance = r.instance;
        node.device = r.name;
        node.index = r.lpNumber;
        node.identity = r.identity;
        node.node = r.node;
        out.push_back(std::move(node));
    }
    return out;
}

std::vector<std::string> SysfsUsbRegistry::PresentPrinterInterfaces() {
    std::vector<std::string> paths;
    for (const auto& p : ListUsbPrinters(root_)) paths.push_back(p.identity);
    return paths;
}

bool SysfsUsbRegistry::ReadParentIdPrefix(const std::string& vidPid, const std::string& instance,
                                          std::optional<std::string>& prefix) {
    prefix.reset();
    for (const auto& p : ListUsbPrinters(root_)) {
        if (base::EqualsIgnoreCase(p.vidPid, vidPid) && base::EqualsIgnoreCase(p.instance, instance)) {
            prefix = p.device;
            break;
        }
    }
    return true;
}

std::optional<std::vector<std::string>> SysfsUsbRegistry::PrintInstances(const std::string&) {
    std::vector<std::string> names;
    for (const auto& p : ListUsbPrinters(root_)) names.push_back(p.device + "&" + UsbPortName(p.index));
    if (names.empty()) return std::nullopt;
    return names;
}

std::optional<std::vector<std::string>> SysfsUsbRegistry::PrintInstanceSubKeys(const std::string&,
                                                                               const std::string& instance) {
    for (const auto& p : ListUsbPrinters(root_)) {
        if (p.device + "&" + UsbPortName(p.index) != instance) continue;
        std::error_code ec;
        std::vector<std::string> keys{"Device Parameters"};
        if (fs::exists(fs::symlink_status(p.node, ec))) keys.push_back("Control");
        return keys;
    }
    return std::nullopt;
}

}  // namespace platform_linux
