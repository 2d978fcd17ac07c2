#include "platform/linux/usb/SysfsUsbDeviceSource.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace printer_link {

namespace fs = std::filesystem;

namespace {

constexpr const char* kInterfaceClass = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// First line of a sysfs attribute without surrounding blanks; empty when unreadable.
std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    const auto first = line.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = line.find_last_not_of(" \t\r\n");
    return line.substr(first, last - first + 1);
}

bool IsHexId(const std::string& text) {
    return text.size() == 4 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

struct Found {
    std::string deviceName;
    std::string nodeName;
    UsbDeviceInfo info;
};

}  // namespace

SysfsUsbDeviceSource::SysfsUsbDeviceSource(std::string root) : root_(root.empty() ? "/" : std::move(root)) {}

std::string SysfsUsbDeviceSource::RootFromEnvironment() {
    const char* value = std::getenv("USB_PRINTER_ROOT");
    return value && *value ? value : "/";
}

std::vector<UsbDeviceInfo> SysfsUsbDeviceSource::Enumerate() {
    const fs::path root(root_);
    const fs::path classDir = root / "sys/class/usbmisc";
    std::vector<Found> found;
    std::error_code ec;
    for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string nodeName = it->path().filename().string();
        if (nodeName.rfind("lp", 0) != 0) continue;
        // lp<N>/device points at the printer interface <dev>:<config>.<interface>.
        const fs::path link = fs::read_symlink(it->path() / "device", ec);
        if (ec) {
            ec.clear();
            continue;
        }
        const std::string interfaceName = link.filename().string();
        const std::string deviceName = interfaceName.substr(0, interfaceName.find(':'));
        if (deviceName.empty()) continue;
        const fs::path deviceDir = root / "sys/bus/usb/devices" / deviceName;
        const std::string vendor = Lower(ReadAttribute(deviceDir / "idVendor"));
        const std::string product = Lower(ReadAttribute(deviceDir / "idProduct"));
        if (!IsHexId(vendor) || !IsHexId(product)) continue;
        std::string instance = ReadAttribute(deviceDir / "serial");
        if (instance.empty()) instance = deviceName;
        Found f;
        f.deviceName = deviceName;
        f.nodeName = nodeName;
        f.info.path = Lower("\\\\?\\usb#vid_" + vendor + "&pid_" + product + "#" + instance + "#" + kInterfaceClass);
        f.info.node = (root / "dev/usb" / nodeName).string();
        found.push_back(std::move(f));
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.deviceName != b.deviceName ? a.deviceName < b.deviceName : a.nodeName < b.nodeName;
    });
    std::vector<UsbDeviceInfo> devices;
    devices.reserve(found.size());
    for (auto& f : found) devices.push_back(std::move(f.info));
    return devices;
}

bool SysfsUsbDeviceSource::Probe(const UsbDeviceInfo& device) {
    const int fd = ::open(device.node.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

int SysfsUsbDeviceSource::OpenReadWrite(const UsbDeviceInfo& device) {
    return ::open(device.node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

bool SysfsUsbDeviceSource::CompletesOnWrite(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode);
}

std::unique_ptr<UsbDeviceSource> MakeSystemUsbDeviceSource() {
    return std::make_unique<SysfsUsbDeviceSource>(SysfsUsbDeviceSource::RootFromEnvironment());
}

}  // namespace printer_link
