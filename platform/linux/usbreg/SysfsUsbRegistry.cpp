#include "platform/linux/usbreg/SysfsUsbRegistry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "installer/payload/TextCodec.h"

namespace linuxplat {
namespace fs = std::filesystem;
namespace {

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::string UsbPortName(int index) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "USB%03d", index + 1);
    return buf;
}

fs::path UsbRootFromEnvironment() {
    const char* r = std::getenv("USB_PRINTER_ROOT");
    return (r && *r) ? fs::path(r) : fs::path("/");
}

std::vector<UsbPrinterNode> ListUsbPrinters(const fs::path& root) {
    std::vector<UsbPrinterNode> out;
    std::error_code ec;
    const fs::path cls = root / "sys/class/usbmisc";
    for (fs::directory_iterator it(cls, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("lp", 0) != 0 || name.size() < 3 ||
            !std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        std::error_code lec;
        const fs::path target = fs::read_symlink(it->path() / "device", lec);
        if (lec) continue;
        std::string dev = target.filename().string();
        dev = dev.substr(0, dev.find(':'));
        const fs::path devDir = root / "sys/bus/usb/devices" / dev;
        const std::string vid = Lower(ReadLine(devDir / "idVendor"));
        const std::string pid = Lower(ReadLine(devDir / "idProduct"));
        if (vid.empty() || pid.empty()) continue;
        UsbPrinterNode node;
        node.vidPid = "vid_" + vid + "&pid_" + pid;
        const std::string serial = ReadLine(devDir / "serial");
        node.instance = Lower(serial.empty() ? dev : serial);
        node.device = dev;
        node.index = std::atoi(name.c_str() + 2);
        node.identity = "\\\\?\\usb#" + node.vidPid + "#" + node.instance +
                        "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
        node.node = root / "dev/usb" / name;
        out.push_back(std::move(node));
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
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
        if (payload::EqualsIgnoreCase(p.vidPid, vidPid) && payload::EqualsIgnoreCase(p.instance, instance)) {
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

}  // namespace linuxplat
