#pragma once
// An in-memory USB device source for tests: a scripted list of printers,
// probe and open refusals, and for every open a transport that records each
// piece it takes, with the device and open it came through. Scripts make an
// open fail after some pieces (the printer drops the connection: the next
// write fails at once) or stall (the printer stops taking data: the next
// write waits for its deadline or the stop event).
//
// A device given an answer script has a way back (a bulk IN endpoint): each
// piece it takes is passed to the script, and what the script returns is
// what reads of that open get. Without one, reads are Unsupported.
//
// The printers have no usblp node, so the device layer opens them through
// OpenBulk, the path of printers that usblp does not serve.
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/UsbDeviceSource.h"

namespace platform_fake {

struct OpenScript {
    enum class Kind { Accept, FailAfter, StallAfter };
    Kind kind = Kind::Accept;
    std::size_t pieces = 0;  // pieces taken before failing or stalling

    static OpenScript Accept() { return {}; }
    static OpenScript FailAfter(std::size_t n) { return {Kind::FailAfter, n}; }
    static OpenScript StallAfter(std::size_t n) { return {Kind::StallAfter, n}; }
};

// What a printer sends back after taking `piece` (may be nothing).
using AnswerScript = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>& piece)>;

struct ReceivedPiece {
    std::size_t device;
    std::size_t open;  // which open of that device, from 0
    std::vector<std::uint8_t> bytes;
};

class FakeUsbDeviceSource : public printer_link::UsbDeviceSource {
public:
    FakeUsbDeviceSource();
    ~FakeUsbDeviceSource() override;  // stalled writes end
    FakeUsbDeviceSource(const FakeUsbDeviceSource&) = delete;
    FakeUsbDeviceSource& operator=(const FakeUsbDeviceSource&) = delete;

    // Appends a device (enumerated in the order added); returns its index.
    std::size_t AddDevice(std::string path);
    void RefuseProbe(std::size_t device, bool refuse = true);
    // Opens of the device fail with `error` (0: they succeed again).
    void RefuseOpen(std::size_t device, bool refuse = true, int error = EBUSY);
    // How the open with index `open` of `device` behaves; unscripted opens
    // use the device's default (Accept unless SetDefaultScript says otherwise).
    void ScriptOpen(std::size_t device, std::size_t open, OpenScript script);
    void SetDefaultScript(std::size_t device, OpenScript script);
    // Gives the device a way back; opens made after this answer through `answer`.
    void SetAnswers(std::size_t device, AnswerScript answer);
    // Stalled printers drop their connections: waiting writes fail at once.
    void ReleaseStalls();

    std::vector<ReceivedPiece> Pieces() const;
    std::vector<std::uint8_t> Received(std::size_t device) const;  // all pieces of a device, in order
    bool WaitForPieces(std::size_t count, int timeoutMs) const;
    // Opens that the port has closed again.
    bool WaitForClosed(std::size_t count, int timeoutMs) const;
    std::size_t ClosedCount() const;
    std::size_t EnumerateCount() const;
    std::size_t ProbeCount() const;
    std::size_t OpenCount(std::size_t device) const;
    std::size_t TotalOpenCount() const;

    std::vector<printer_link::UsbDeviceInfo> Enumerate() override;
    bool Probe(const printer_link::UsbDeviceInfo& device) override;
    printer_link::OpenedTransport OpenBulk(const printer_link::UsbDeviceInfo& device) override;

private:
    class Printer;
    struct Device {
        std::string path;
        bool refuseProbe = false;
        int refuseOpen = 0;
        std::size_t opens = 0;
        OpenScript fallback;
        std::map<std::size_t, OpenScript> scripts;
        AnswerScript answer;
    };
    Device* Find(const printer_link::UsbDeviceInfo& info);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Device> devices_;
    std::vector<ReceivedPiece> pieces_;
    std::size_t enumerations_ = 0;
    std::size_t probes_ = 0;
    std::size_t closed_ = 0;
    bool releaseStalls_ = false;
    int wakeFd_ = -1;  // eventfd: set when stalls are released or the source goes away
};

}  // namespace platform_fake
