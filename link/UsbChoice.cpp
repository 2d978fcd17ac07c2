// Which USB printer a program opens: one rule for the link, the presence
// poller and the command lines.
#include <cctype>
#include <cerrno>

#include "link/UriText.h"
#include "link/UsbDeviceSource.h"

namespace printer_link {

const std::vector<std::string>& SettingsToolProductIds() {
    static const std::vector<std::string> ids = {"pid_5011", "pid_0055", "pid_0200", "pid_2016",
                                                 "pid_5743", "pid_0500", "pid_0600"};
    return ids;
}

const std::vector<std::string>& UpdateToolProductIds() {
    static const std::vector<std::string> ids(SettingsToolProductIds().begin(),
                                              SettingsToolProductIds().begin() + 6);
    return ids;
}

bool MatchesProductId(std::string_view identity, const std::vector<std::string>& productIds) {
    for (const auto& id : productIds)
        if (!id.empty() && identity.find(id) != std::string_view::npos) return true;
    return false;
}

std::optional<UsbDeviceInfo> FirstUsbCandidate(UsbDeviceSource& source, const std::vector<std::string>& productIds,
                                               const std::function<bool(const UsbDeviceInfo&)>& wanted,
                                               const std::function<bool(const UsbDeviceInfo&)>& take) {
    for (const UsbDeviceInfo& device : source.Enumerate()) {
        // The identity and its terminating zero must fit the path buffer.
        if (device.path.size() >= kDevicePathBufferSize) continue;
        if (!MatchesProductId(device.path, productIds)) continue;
        if (wanted && !wanted(device)) continue;
        if (!source.Probe(device)) continue;
        if (take(device)) return device;
    }
    return std::nullopt;
}

std::string UsbDeviceUri(const UsbDeviceInfo& device) {
    std::string uri = "usb://" + device.vendor + "/" + device.product;
    if (device.serial.empty()) return uri;
    uri += "?serial=" + PercentEncoded(device.serial);
    return uri;
}

bool UsbDeviceSource::WaitForChange(std::chrono::milliseconds limit, const StopEvent* stop) {
    const auto ms = limit.count() > 0x7fffffff ? 0x7fffffff : static_cast<int>(limit.count());
    WaitFor(-1, 0, Deadline::After(ms), stop);
    return false;
}

}  // namespace printer_link
