#pragma once
// An in-memory USB device source for tests: a scripted list of devices, probe
// and open refusals, and for every open a pipe whose far end a small "printer"
// thread reads. The pipe holds one page and a write counts as complete when
// that printer has read it (as a USB printer takes a transfer), so every
// piece a port writes is recorded whole, with the device and open it came
// through. Scripts make an open fail after some pieces (the printer closes
// its end: the next write fails at once) or stall (the printer stops reading:
// the next write waits for its time-out or a stop).
//
// Writing into a pipe whose reader has gone raises SIGPIPE; the fake ignores
// SIGPIPE process-wide so that such a write fails with EPIPE instead.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/UsbDeviceSource.h"

namespace printer_link::fake {

struct OpenScript {
    enum class Kind { Accept, FailAfter, StallAfter };
    Kind kind = Kind::Accept;
    std::size_t pieces = 0;  // pieces taken before failing or stalling

    static OpenScript Accept() { return {}; }
    static OpenScript FailAfter(std::size_t n) { return {Kind::FailAfter, n}; }
    static OpenScript StallAfter(std::size_t n) { return {Kind::StallAfter, n}; }
};

struct ReceivedPiece {
    std::size_t device;
    std::size_t open;  // which open of that device, from 0
    std::vector<std::uint8_t> bytes;
};

class FakeUsbDeviceSource : public UsbDeviceSource {
public:
    FakeUsbDeviceSource();
    ~FakeUsbDeviceSource() override;  // releases stalled printers and joins every reader
    FakeUsbDeviceSource(const FakeUsbDeviceSource&) = delete;
    FakeUsbDeviceSource& operator=(const FakeUsbDeviceSource&) = delete;

    // Appends a device (enumerated in the order added); returns its index.
    std::size_t AddDevice(std::string path);
    void RefuseProbe(std::size_t device, bool refuse = true);
    void RefuseOpen(std::size_t device, bool refuse = true);
    // How the open with index `open` of `device` behaves; unscripted opens
    // use the device's default (Accept unless SetDefaultScript says otherwise).
    void ScriptOpen(std::size_t device, std::size_t open, OpenScript script);
    void SetDefaultScript(std::size_t device, OpenScript script);
    // Stalled printers close their ends (what they held is dropped) and end.
    void ReleaseStalls();

    std::vector<ReceivedPiece> Pieces() const;
    std::vector<std::uint8_t> Received(std::size_t device) const;  // all pieces of a device, in order
    bool WaitForPieces(std::size_t count, int timeoutMs) const;
    // Opens whose descriptor the port has closed again (seen as end of file).
    bool WaitForClosed(std::size_t count, int timeoutMs) const;
    std::size_t ClosedCount() const;
    std::size_t EnumerateCount() const;
    std::size_t ProbeCount() const;
    std::size_t OpenCount(std::size_t device) const;
    std::size_t TotalOpenCount() const;

    std::vector<UsbDeviceInfo> Enumerate() override;
    bool Probe(const UsbDeviceInfo& device) override;
    int OpenReadWrite(const UsbDeviceInfo& device) override;

private:
    struct Device {
        std::string path;
        bool refuseProbe = false;
        bool refuseOpen = false;
        std::size_t opens = 0;
        OpenScript fallback;
        std::map<std::size_t, OpenScript> scripts;
    };
    void Printer(int readEnd, std::size_t device, std::size_t open, std::size_t order, OpenScript script);
    Device* Find(const UsbDeviceInfo& info);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Device> devices_;
    // Pieces in the order they were written: each open has its own printer
    // thread, so a later open's thread may read before an earlier one has
    // recorded its last piece. Opens are made one after another, so sorting
    // by open order (and by arrival within an open) is the order of the writes.
    std::vector<ReceivedPiece> pieces_;
    std::vector<std::size_t> pieceOrder_;  // open order of each entry of pieces_
    std::size_t opensSoFar_ = 0;
    std::vector<std::thread> printers_;
    std::size_t enumerations_ = 0;
    std::size_t probes_ = 0;
    std::size_t closed_ = 0;
    bool releaseStalls_ = false;
    int shutdownFd_ = -1;  // eventfd: set when the source goes away
};

}  // namespace printer_link::fake
