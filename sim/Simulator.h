#pragma once
// The simulated printer: one poll() loop serving the TCP raw port, the UDP
// discovery port, the nodes of the fake USB printers and the control channel.
// Every stream goes through a StatusRequestFinder (status requests are
// answered, in order with the print data) and a ByteStream (StreamDecoder.h);
// print data waits in the stream's receive buffer while the printer cannot
// print. Output lines go to stdout and the log.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim/Condition.h"
#include "sim/Receipt.h"
#include "sim/SimConfig.h"
#include "sim/StreamDecoder.h"
#include "sim/UsbTree.h"

namespace sim {

class Simulator {
public:
    explicit Simulator(SimConfig config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the sockets and creates the USB devices; false with `error` set when any fails.
    bool Start(std::string* error);
    // "printer-sim ready tcp=.. probe=.. reply=..:.. printers=N usb=.." (after Start)
    std::string ReadyLine() const;
    // Serves until `stopFd` becomes readable (a signalfd or a pipe), then ends
    // every open stream (decoding what is left) and removes the USB devices.
    void Run(int stopFd);

    // Output: one line on stdout (flushed) and in the log file.
    void Emit(const std::string& line);

private:
    using Clock = std::chrono::steady_clock;
    struct Stream;
    struct UsbPort;

    void AcceptTcp();
    void ReadStream(Stream& stream);
    void EndStream(Stream& stream, const std::string& why);
    std::unique_ptr<Stream> NewStream(StreamKind kind, int fd, const std::string& name, const std::string& from);
    void ServiceUsb(UsbPort& port, short revents);
    void ServicePty(UsbPort& port, short revents);
    bool ReopenUsb(UsbPort& port);
    // Bytes that came on a stream: recorded, split into print data and status requests, printed.
    void Take(Stream& stream, const std::uint8_t* data, std::size_t length);
    // Prints held data and answers requests in order while the printer can print;
    // when it cannot, answers the requests that wait behind held data.
    void Pump(Stream& stream);
    void PumpAll();
    void Answer(Stream& stream, int request);
    // The peer is gone (or the printer ends the stream): it ends once its held data is printed.
    void Finish(Stream& stream, const std::string& why);
    void EndDrained();
    std::size_t Room(const Stream& stream) const;
    void AcceptControl();
    void ServiceControl(std::size_t client);
    void EmitAll(const std::vector<std::string>& lines);
    void HandleDatagram();
    void AnswerProbe(const std::string& from, std::size_t length);
    void ApplyAddressSetting(const std::uint8_t* message, const std::string& from);
    void WriteRaw(Stream& stream, const std::uint8_t* data, std::size_t length);
    void Shutdown();

    struct ControlClient {
        int fd = -1;
        std::string pending;
    };

    SimConfig config_;
    PrinterState state_;
    Condition condition_;
    int controlFd_ = -1;
    std::vector<ControlClient> controlClients_;
    int tcpFd_ = -1;
    int udpFd_ = -1;
    std::uint16_t tcpPort_ = 0;
    std::uint16_t probePort_ = 0;
    int rawFd_ = -1;
    std::FILE* log_ = nullptr;
    std::unique_ptr<ReceiptBook> receipts_;  // with --receipts
    std::vector<std::string> receiptNotes_;  // what Start did to the receipt folder, said once running
    std::vector<std::unique_ptr<Stream>> tcp_;
    std::vector<std::unique_ptr<UsbPort>> usb_;
    std::uint64_t streamCount_ = 0;
    std::uint64_t tcpCount_ = 0;
};

}  // namespace sim
