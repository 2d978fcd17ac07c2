#include "platform/linux/usb/UsbEnumerator.h"

#include <libudev.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <system_error>

#include "base/Text.h"
#include "link/ProductIds.h"
#include "link/UsbDeviceSource.h"

namespace platform_linux {

namespace fs = std::filesystem;

namespace {

constexpr const char* kInterfaceClass = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr int kPrinterClass = 0x07;
constexpr int kVendorClass = 0xff;

// What either source reads: USB devices with their interface classes, and
// the usblp nodes with the device each belongs to.
struct Gathered {
    struct Device {
        std::string vendor, product, serial, busnum, devnum;
        std::vector<int> classes;
    };
    std::map<std::string, Device> devices;  // by sysfs name
    struct Lp {
        std::string lp;      // "lp0"
        std::string device;  // sysfs name of its USB device
        std::string node;
    };
    std::vector<Lp> lps;
};

std::string Trimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

bool IsHexId(const std::string& text) {
    return text.size() == 4 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

int Number(const std::string& text, int base = 10) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, base);
    return end != text.c_str() && value >= 0 && value < 0x10000 ? static_cast<int>(value) : -1;
}

// "<dev>:<config>.<interface>" -> "<dev>"
std::string DeviceOfInterface(const std::string& interface) { return interface.substr(0, interface.find(':')); }

// ---- the live system, through libudev ----

std::string Attribute(udev_device* device, const char* name) {
    const char* value = udev_device_get_sysattr_value(device, name);
    return value ? Trimmed(value) : std::string();
}

template <typename Each>
void ForEachDevice(udev* u, const char* subsystem, Each each) {
    std::unique_ptr<udev_enumerate, decltype(&udev_enumerate_unref)> e(udev_enumerate_new(u), udev_enumerate_unref);
    if (!e) return;
    udev_enumerate_add_match_subsystem(e.get(), subsystem);
    udev_enumerate_scan_devices(e.get());
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(e.get()); entry;
         entry = udev_list_entry_get_next(entry)) {
        std::unique_ptr<udev_device, decltype(&udev_device_unref)> device(
            udev_device_new_from_syspath(u, udev_list_entry_get_name(entry)), udev_device_unref);
        if (device) each(device.get());
    }
}

Gathered GatherFromUdev() {
    Gathered g;
    std::unique_ptr<udev, decltype(&udev_unref)> u(udev_new(), udev_unref);
    if (!u) return g;
    ForEachDevice(u.get(), "usb", [&](udev_device* d) {
        const char* type = udev_device_get_devtype(d);
        const std::string name = udev_device_get_sysname(d);
        if (type && std::string(type) == "usb_device") {
            auto& device = g.devices[name];
            device.vendor = Attribute(d, "idVendor");
            device.product = Attribute(d, "idProduct");
            device.serial = Attribute(d, "serial");
            device.busnum = Attribute(d, "busnum");
            device.devnum = Attribute(d, "devnum");
        } else if (type && std::string(type) == "usb_interface") {
            const int cls = Number(Attribute(d, "bInterfaceClass"), 16);
            if (cls >= 0) g.devices[DeviceOfInterface(name)].classes.push_back(cls);
        }
    });
    ForEachDevice(u.get(), "usbmisc", [&](udev_device* d) {
        const std::string name = udev_device_get_sysname(d);
        if (name.rfind("lp", 0) != 0) return;
        udev_device* parent = udev_device_get_parent_with_subsystem_devtype(d, "usb", "usb_device");
        const char* node = udev_device_get_devnode(d);
        if (!parent || !node) return;
        g.lps.push_back({name, udev_device_get_sysname(parent), node});
    });
    return g;
}

// ---- a moved root, from the files ----

std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    return Trimmed(line);
}

Gathered GatherFromTree(const std::string& root) {
    Gathered g;
    std::error_code ec;
    const fs::path devices = fs::path(root) / "sys/bus/usb/devices";
    for (fs::directory_iterator it(devices, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find(':') == std::string::npos) {
            auto& device = g.devices[name];
            device.vendor = ReadAttribute(it->path() / "idVendor");
            device.product = ReadAttribute(it->path() / "idProduct");
            device.serial = ReadAttribute(it->path() / "serial");
            device.busnum = ReadAttribute(it->path() / "busnum");
            device.devnum = ReadAttribute(it->path() / "devnum");
        } else {
            const int cls = Number(ReadAttribute(it->path() / "bInterfaceClass"), 16);
            if (cls >= 0) g.devices[DeviceOfInterface(name)].classes.push_back(cls);
        }
    }
    const fs::path lps = fs::path(root) / "sys/class/usbmisc";
    for (fs::directory_iterator it(lps, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("lp", 0) != 0) continue;
        std::error_code link;
        const fs::path target = fs::read_symlink(it->path() / "device", link);
        if (link) continue;
        g.lps.push_back({name, DeviceOfInterface(target.filename().string()), (fs::path(root) / "dev/usb" / name).string()});
    }
    return g;
}

// ---- one rule for both ----

// Natural order: runs of digits compare as numbers ("1-2" before "1-10").
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            const long na = std::strtol(a.substr(i, ei - i).c_str(), nullptr, 10);
            const long nb = std::strtol(b.substr(j, ej - j).c_str(), nullptr, 10);
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::vector<UsbPrinterRecord> Assemble(const Gathered& g) {
    std::vector<UsbPrinterRecord> records;
    auto record = [&](const std::string& name, const Gathered::Device& d) {
        UsbPrinterRecord r;
        r.name = name;
        r.vendor = base::Lower(d.vendor);
        r.product = base::Lower(d.product);
        r.serial = d.serial;
        r.bus = std::max(Number(d.busnum), 0);
        r.address = std::max(Number(d.devnum), 0);
        r.instance = base::Lower(r.serial.empty() ? name : r.serial);
        r.identity = base::Lower("\\\\?\\usb#vid_" + r.vendor + "&pid_" + r.product + "#" + r.instance + "#" +
                           kInterfaceClass);
        return r;
    };
    for (const auto& lp : g.lps) {
        const auto found = g.devices.find(lp.device);
        if (found == g.devices.end() || !IsHexId(found->second.vendor) || !IsHexId(found->second.product)) continue;
        UsbPrinterRecord r = record(lp.device, found->second);
        r.lpNumber = Number(lp.lp.substr(2));
        r.node = lp.node;
        records.push_back(std::move(r));
    }
    // Printers that usblp does not serve: reached at their bulk endpoint.
    for (const auto& entry : g.devices) {
        const std::string& name = entry.first;
        const auto& d = entry.second;
        if (!IsHexId(d.vendor) || !IsHexId(d.product)) continue;
        if (std::any_of(g.lps.begin(), g.lps.end(), [&](const auto& lp) { return lp.device == name; })) continue;
        const bool printerClass = std::count(d.classes.begin(), d.classes.end(), kPrinterClass) > 0;
        const bool vendorClass = std::count(d.classes.begin(), d.classes.end(), kVendorClass) > 0;
        UsbPrinterRecord r = record(name, d);
        if (printerClass || (vendorClass && printer_link::MatchesProductId(r.identity, printer_link::ReceiptPrinterProductIds())))
            records.push_back(std::move(r));
    }
    std::stable_sort(records.begin(), records.end(), [](const UsbPrinterRecord& a, const UsbPrinterRecord& b) {
        if (a.name != b.name) return NaturalLess(a.name, b.name);
        return a.lpNumber < b.lpNumber;
    });
    return records;
}

}  // namespace

std::string UsbRootFromEnvironment() {
    const char* value = std::getenv("USB_PRINTER_ROOT");
    return value && *value ? value : "/";
}

std::string UsbfsNode(const std::string& root, int bus, int address) {
    if (bus <= 0 || address <= 0) return {};
    char tail[48];
    std::snprintf(tail, sizeof tail, "dev/bus/usb/%03d/%03d", bus, address);
    return (fs::path(root) / tail).string();
}

std::vector<UsbPrinterRecord> ListUsbPrinterRecords(const std::string& root) {
    const bool live = root.empty() || fs::path(root).lexically_normal() == fs::path("/");
    return Assemble(live ? GatherFromUdev() : GatherFromTree(root));
}

}  // namespace platform_linux
