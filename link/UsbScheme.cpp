// The usb scheme, and which USB printer a program opens: one rule for the
// link, the presence poller and the command lines.
#include <sys/stat.h>
#include <termios.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>

#include "base/Text.h"
#include "link/FdTransport.h"
#include "link/Schemes.h"
#include "link/UriText.h"
#include "link/UsbDeviceSource.h"

namespace printer_link {
namespace {


// usblp allows one open at a time, so reads and writes share one O_RDWR
// descriptor. A fake tree stands a FIFO or a pty in for the node. A FIFO has
// no transfer to complete, so its bytes are taken as write() returns, and no
// way back: reading it would return our own bytes. A pty is read like the
// node, in raw mode so that no byte is translated or echoed.
OpenedTransport OpenUsblp(const UsbDeviceInfo& device) {
    return OpenFd(device.node, O_RDWR, [](int fd, std::string node) -> std::unique_ptr<Transport> {
        struct stat info {};
        const bool fifo = ::fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode);
        termios tty{};
        if (!fifo && ::tcgetattr(fd, &tty) == 0) {
            ::cfmakeraw(&tty);
            ::tcsetattr(fd, TCSANOW, &tty);
        }
        return std::make_unique<FdTransport>(
            fd, std::move(node), fifo ? FdTransport::Completion::OnWrite : FdTransport::Completion::OnWritable,
            !fifo, fifo ? FdTransport::Way::Out : FdTransport::Way::Both);
    });
}

}  // namespace

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
    const std::string vendor = base::Lower(path.substr(0, slash));
    const std::string product = slash == std::string_view::npos ? std::string() : base::Lower(path.substr(slash + 1));
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


// The usb scheme: the first candidate that opens, at its usblp node where
// usblp serves it, else at its bulk OUT endpoint through the device source.
OpenedTransport OpenUsb(std::string_view rest, const OpenOptions& options) {
    OpenedTransport opened = OpenFailure(Outcome::NotFound, ENODEV, "");
    if (!options.usb || !options.productIds) return opened;
    FirstUsbCandidate(*options.usb, *options.productIds, UsbUriSelector(rest), [&](const UsbDeviceInfo& device) {
        OpenedTransport attempt = device.node.empty() ? options.usb->OpenBulk(device) : OpenUsblp(device);
        if (attempt.transport) {
            opened = std::move(attempt);
            opened.identity = device.path;
            return true;
        }
        // A device that passes the probe but refuses the open (busy, no
        // permission, gone meanwhile) is passed over; the first refusal
        // is what the caller hears about when none opens.
        if (opened.failure.outcome == Outcome::NotFound) opened.failure = std::move(attempt.failure);
        return false;
    });
    return opened;
}

bool UsbDeviceSource::WaitForChange(std::chrono::milliseconds limit, const StopEvent* stop) {
    const auto ms = limit.count() > 0x7fffffff ? 0x7fffffff : static_cast<int>(limit.count());
    WaitFor(-1, 0, Deadline::After(ms), stop);
    return false;
}

}  // namespace printer_link
