#pragma once
// The OS seam of USB printers: which are present (one enumerator, so that the
// first matching printer is the same for every program), an access-free
// probe, and opening a printer that has no usblp node at its bulk OUT
// endpoint. Printers with a usblp node are opened by the device layer itself.
// Linux: platform/linux/usb (libudev, libusb); tests: platform/fake/usb.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/Transport.h"

namespace printer_link {

struct UsbDeviceInfo {
    // Identity string in the device-interface path form, lower case:
    // \\?\usb#vid_0418&pid_5011#<instance>#{a5dcbf10-6530-11d2-901f-00c04fb951ed}
    std::string path;
    // The usblp node (/dev/usb/lpN); empty when no usblp driver serves the device.
    std::string node;
    std::string vendor;   // four lower-case hex digits
    std::string product;  // four lower-case hex digits
    std::string serial;   // as the device reports it; may be empty
    int bus = 0;          // where the bulk endpoint is reached (0: unknown)
    int address = 0;
};

class UsbDeviceSource {
public:
    virtual ~UsbDeviceSource() = default;
    // Present USB printers, in enumeration order.
    virtual std::vector<UsbDeviceInfo> Enumerate() = 0;
    // Access-free probe (no read or write rights): true when the device can be
    // reached. Never holds the device open afterwards.
    virtual bool Probe(const UsbDeviceInfo& device) = 0;
    // Opens a device without a usblp node at its bulk OUT endpoint.
    virtual OpenedTransport OpenBulk(const UsbDeviceInfo& device) = 0;
    // Waits until the set of devices may have changed, `limit` has passed or
    // `stop` is set. True when a change was seen; false after the limit (a
    // source without hot-plug events always waits for the limit).
    virtual bool WaitForChange(std::chrono::milliseconds limit, const StopEvent* stop);
    // True when WaitForChange wakes on hot-plug events.
    virtual bool HasChangeEvents() const { return false; }
};

// The product-ID rule of the USB link: a plain, case-sensitive substring of the identity.
bool MatchesProductId(std::string_view identity, const std::vector<std::string>& productIds);

// The identity's path buffer holds 260 bytes including the terminating zero;
// a longer identity is passed over.
inline constexpr std::size_t kDevicePathBufferSize = 260;

// Walks the printers a usb URI may open, in the order they are tried:
// enumeration order, identity within the path buffer, a listed product ID,
// accepted by `wanted` (may be empty), reachable by the access-free probe.
// `take` is called with each until it returns true; that printer is returned.
// Every program chooses its printer through this.
std::optional<UsbDeviceInfo> FirstUsbCandidate(UsbDeviceSource& source, const std::vector<std::string>& productIds,
                                               const std::function<bool(const UsbDeviceInfo&)>& wanted,
                                               const std::function<bool(const UsbDeviceInfo&)>& take);

// Which printers the part of a usb URI after "usb:" accepts: "//0418/5011?serial=SN"
// the one of that vendor and product (and serial); "" every one (an empty function).
std::function<bool(const UsbDeviceInfo&)> UsbUriSelector(std::string_view rest);

// The printer a usb URI ("usb:", "usb://0418/5011?serial=SN") names, chosen as
// OpenDevice chooses but with the access-free probe only, so that a check for
// its presence never competes with a job's open. Nullopt when none is present.
std::optional<UsbDeviceInfo> FindUsbPrinter(UsbDeviceSource& source, std::string_view uri,
                                            const std::vector<std::string>& productIds);

// "usb://0418/5011?serial=SN" (without serial when the device has none).
std::string UsbDeviceUri(const UsbDeviceInfo& device);

}  // namespace printer_link
