#pragma once
// The device layer: every printer transport behind one interface. A device
// is named by a URI-like description, opened by the scheme that description
// names, written in pieces with a deadline per piece and a stop event, and
// closed again; every call says what became of the bytes.
//
//                                                              reads back (Read, CanRead)
//   usb:                          the first USB printer of the listed product IDs
//   usb://0418/5011[?serial=SN]   a USB printer by vendor and     usblp node, pty: yes;
//                                 product ID (and serial)         bulk IN where the interface
//                                                                 has one; fake-tree FIFO: no
//   socket://HOST[:PORT]          a printer's raw TCP port        yes
//                                 (9100 unless given)
//   serial:/dev/ttyS0[?baud=N]    a serial port (9600 baud        yes
//                                 unless given)
//   parallel:/dev/lp0             a parallel port                 no
//   file:PATH                     a file or a FIFO (tests)        no
//
// A small program without Qt:
//
//   printer_link::OpenOptions options;          // usb: also options.usb = the device source
//   printer_link::Opened opened = printer_link::OpenDevice("socket://127.0.0.1:9100", options);
//   if (!opened.device) return Report(opened.failure);   // an open failure's kind, errno and node
//   printer_link::Result r = opened.device->Write(data, size, printer_link::Pacing{256, 5000, nullptr});
//   if (r.Ok()) r = opened.device->Close();      // TCP: the printer confirms by closing
//
// The layer shows nothing and keeps no text: callers turn a Result into what
// their window or command line says. Sockets are written without SIGPIPE; a
// FIFO or tty whose reader has gone raises it, so programs ignore SIGPIPE.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/StopEvent.h"
#include "protocol/Port.h"

namespace printer_link {

// What became of a call. The open failures come first; callers tell them
// apart by kind, and `error` adds the error number behind one as detail.
enum class Outcome {
    Sent,          // the printer took every byte of the call
    OpenFailed,    // the device could not be opened or reached
    BadUri,        // the URI names no device: no or an unknown scheme, a bad port or baud
                   // rate, an address that is no printer's (0.0.0.0, broadcast)
    NotFound,      // usb: no present printer matches (no node)
    NoPermission,  // the device refused the open for lack of rights
    Busy,          // the device is held by another program
    Unsupported,   // the port has no transport here (the settings tool's "LPT")
    TimedOut,      // a piece was not taken within its deadline
    Reset,         // the printer dropped the connection or the device went away (error holds errno)
    Stopped,       // the stop event was set
};

// True for every kind of failed open (OpenFailed up to Unsupported).
constexpr bool IsOpenFailure(Outcome outcome) {
    return outcome >= Outcome::OpenFailed && outcome <= Outcome::Unsupported;
}

struct Result {
    Outcome outcome = Outcome::Sent;
    int error = 0;          // errno behind an open failure or Reset (detail); 0 where none applies
    std::size_t sent = 0;   // bytes of this call the printer is known to have taken
    std::size_t received = 0;  // Read: bytes the printer sent back
    // What was opened or tried ("/dev/usb/lp0", "127.0.0.1:9100"), on
    // failures and on Close; empty when no device was found.
    std::string node;
    bool Ok() const { return outcome == Outcome::Sent; }
    bool OpenFailed() const { return IsOpenFailure(outcome); }
};

// How a write is cut and paced: pieces of at most pieceSize bytes, each taken
// within pieceTimeoutMs (< 0: no limit), given up when `stop` is set.
struct Pacing {
    std::size_t pieceSize = 64;
    int pieceTimeoutMs = 1000;
    const StopEvent* stop = nullptr;
};

// What a device reports about itself where its transport can ask (a usblp or
// parallel port's status byte).
struct DeviceStatus {
    bool known = false;
    bool paperOut = false;
    bool offline = false;
    bool error = false;
};

class Transport;
class UsbDeviceSource;

inline constexpr std::uint16_t kPrinterTcpPort = protocol::kRawTcpPort;
inline constexpr int kConnectTimeoutMs = 5000;
inline constexpr int kFinishTimeoutMs = 2000;
// A printer that has taken nothing for this long is "not taking data": the
// port monitor reports it, the command lines give up on it.
inline constexpr int kNotTakingDataMs = 10000;

struct OpenOptions {
    UsbDeviceSource* usb = nullptr;     // where usb URIs find their devices
    // usb: the product IDs a printer's identity must name (link/ProductIds.h);
    // null: none is accepted.
    const std::vector<std::string>* productIds = nullptr;
    int connectTimeoutMs = kConnectTimeoutMs;
    const StopEvent* stop = nullptr;    // abandons a connection wait
};

// One open device. Not thread-safe: one thread uses it at a time, except
// Status(), which another thread may call while Write, Flush or Read runs
// (a port monitor's watch thread asks the port while a job is written).
class Device {
public:
    Device(std::unique_ptr<Transport> transport, std::string identity);
    ~Device();  // Abandon()
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Writes `length` bytes in pieces. The result counts the bytes the printer
    // is known to have taken: each piece once it is taken where the transport
    // confirms pieces (USB, files), nothing before Close where it confirms at
    // the end only (TCP, serial).
    Result Write(const std::uint8_t* data, std::size_t length, const Pacing& pacing);
    // Waits up to timeoutMs (< 0: no limit) until the printer has confirmed
    // what was written so far, and keeps the device open: a long job can wait
    // for a slow printer without the time limit that ends a delivery. `sent`
    // holds the bytes confirmed here; TimedOut leaves them unconfirmed.
    Result Flush(int timeoutMs, const StopEvent* stop = nullptr);
    // Ends the delivery: waits up to timeoutMs until the printer has confirmed
    // what was written (TCP: half-close, then the printer's close; a reset is a
    // failure), then releases the device. `sent` holds the bytes confirmed here.
    Result Close(int timeoutMs = kFinishTimeoutMs, const StopEvent* stop = nullptr);
    // Releases the device at once; what is unconfirmed stays unconfirmed.
    void Abandon();
    // Reads what the printer sent back: waits up to timeoutMs (< 0: no limit)
    // for the first byte, then hands over what has arrived, at most `capacity`
    // bytes, in `received`. TimedOut when nothing came in time; Unsupported
    // where the transport has no way back (a FIFO, a plain file).
    Result Read(std::uint8_t* data, std::size_t capacity, int timeoutMs, const StopEvent* stop = nullptr);
    // False where Read can only answer Unsupported.
    bool CanRead() const;

    bool IsOpen() const { return transport_ != nullptr; }
    const std::string& Node() const { return node_; }
    // The USB identity string for a device opened by a usb URI, else empty.
    const std::string& Identity() const { return identity_; }
    // The port's own status (a usblp or parallel port's status ioctl); not
    // known elsewhere. Safe beside a Write, Flush or Read on another thread;
    // not beside Close, Abandon or the destructor.
    DeviceStatus Status() const;

private:
    // The status query's requests are not the caller's data: they stay out of
    // what Flush and Close confirm.
    friend class StatusRequests;
    std::unique_ptr<Transport> transport_;
    std::string node_;
    std::string identity_;
    std::size_t unconfirmed_ = 0;  // taken by the transport, not yet confirmed by the printer
};

struct Opened {
    std::unique_ptr<Device> device;  // null when the open failed
    Result failure;                  // an open failure (kind, errno, node), when device is null
};

Opened OpenDevice(std::string_view uri, const OpenOptions& options);

// Open, write, close: the whole delivery of one message.
Result Deliver(std::string_view uri, const std::uint8_t* data, std::size_t length, const OpenOptions& options,
               const Pacing& pacing, int finishTimeoutMs = kFinishTimeoutMs);

}  // namespace printer_link
