#pragma once
// A USB device registry described by hand: present interfaces, device instances
// with their parent-id prefixes, and printer-class instances with sub-keys.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "installer/engine/Seams.h"

namespace platform_fake {

class FakeUsbRegistry : public engine::UsbDeviceRegistry {
public:
    std::vector<std::string> interfaces;
    // "vid_0418&pid_5011\\<instance>" -> prefix ("" entry present without value: key only)
    std::map<std::string, std::optional<std::string>> usbInstances;
    std::set<std::string> unopenableUsbInstances;
    // hardware ID -> instance -> sub-keys
    std::map<std::string, std::map<std::string, std::vector<std::string>>> printInstances;
    std::set<std::string> unopenablePrintInstances;

    // A present printer: interface path, device instance, print instance "<prefix>&<port>".
    void AddPrinter(const std::string& vidPid, const std::string& instance, const std::string& prefix,
                    const std::string& hardwareId, const std::string& port, bool active = true) {
        interfaces.push_back("\\\\?\\usb#" + vidPid + "#" + instance +
                             "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
        usbInstances[vidPid + "\\" + instance] = prefix;
        printInstances[hardwareId][prefix + "&" + port] =
            active ? std::vector<std::string>{"Device Parameters", "Control"}
                   : std::vector<std::string>{"Device Parameters"};
    }

    std::vector<std::string> PresentPrinterInterfaces() override { return interfaces; }
    bool ReadParentIdPrefix(const std::string& vidPid, const std::string& instance,
                            std::optional<std::string>& prefix) override {
        const std::string key = vidPid + "\\" + instance;
        if (unopenableUsbInstances.count(key)) return false;
        auto it = usbInstances.find(key);
        prefix = it == usbInstances.end() ? std::nullopt : it->second;
        return true;  // opened with create semantics: a missing key is created empty
    }
    std::optional<std::vector<std::string>> PrintInstances(const std::string& hardwareId) override {
        auto it = printInstances.find(hardwareId);
        if (it == printInstances.end()) return std::nullopt;
        std::vector<std::string> out;
        for (const auto& [name, subs] : it->second) out.push_back(name);
        return out;
    }
    std::optional<std::vector<std::string>> PrintInstanceSubKeys(const std::string& hardwareId,
                                                                 const std::string& instance) override {
        if (unopenablePrintInstances.count(instance)) return std::nullopt;
        auto it = printInstances.find(hardwareId);
        if (it == printInstances.end()) return std::nullopt;
        auto sub = it->second.find(instance);
        if (sub == it->second.end()) return std::nullopt;
        return sub->second;
    }
};

}  // namespace platform_fake
