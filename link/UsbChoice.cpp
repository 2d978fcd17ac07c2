// Which USB printer a program opens: one rule for the link, the presence
// poller and the command lines.
#include <algorithm>
#include <cctype>
#include <cerrno>

#include "link/UriText.h"
#include "link/UsbDeviceSource.h"

namespace printer_link {
namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

}  // namespace

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

std::function<bool(const UsbDeviceInfo&)> UsbUriSelector(std::string_view rest) {
    if (rest.rfind("//", 0) == 0) rest.remove_prefix(2);
    const std::string_view path = rest.substr(0, rest.find('?'));
    if (path.empty()) return {};
    const auto slash = path.find('/');
    const std::string vendor = Lower(path.substr(0, slash));
    const std::string product = slash == std::string_view::npos ? std::string() : Lower(path.substr(slash + 1));
    std::string serial;
    if (const auto at = rest.find("?serial="); at != std::string_view::npos)
        // A serial that is not validly encoded is compared as it stands.
        serial = PercentDecoded(rest.substr(at + 8)).value_or(std::string(rest.substr(at + 8)));
    return [vendor, product, serial](const UsbDeviceInfo& device) {
        return device.vendor == vendor && (product.empty() || device.product == product) &&
               (serial.empty() || device.serial == serial);
    };
}

std::optional<UsbDeviceInfo> FindUsbPrinter(UsbDeviceSource& source, std::string_view uri,
                                            const std::vector<std::string>& productIds) {
    if (uri.rfind("usb:", 0) != 0) return std::nullopt;
    return FirstUsbCandidate(source, productIds, UsbUriSelector(uri.substr(4)),
                             [](const UsbDeviceInfo&) { return true; });
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
