#pragma once
// The command queue and the sender thread: every action hands its bytes to
// SubmitCommand, which returns at once; one sender thread delivers the
// submissions in order over the port chosen at that moment.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "link/Device.h"
#include "link/StopEvent.h"
#include "link/TcpLink.h"
#include "link/UsbDeviceSource.h"
#include "settings-tool/sender/PrinterWindow.h"

namespace sender {

struct SenderSettings {
    std::size_t usbChunk = 64;
    int usbTimeoutMs = 1000;
    printer_link::TcpSettings tcp;
    // An attempt that delivered nothing, left the submission pending and took
    // less than this is followed by a pause for the rest of it, so that a
    // printer that refuses every write (or resets every connection) at once
    // is not retried in a busy loop. Slower failures are retried at once.
    int minRetryIntervalMs = 100;
    // What a failed write leaves pending is tried again (the window's rule).
    // Off: the rest is dropped and the failure reported once (command lines,
    // which must end), but see resumeStalledMs.
    bool retryUnfinished = true;
    // With retryUnfinished off: a USB printer that stops taking data for a
    // while (a piece timed out; USB knows which bytes it took) is still given
    // the rest, from the first byte it did not take, until it has taken
    // nothing for this long; only then is the rest dropped. < 0: dropped at
    // the first failure. Over the network the first byte not taken is not
    // known, so a failed delivery there is not resumed.
    int resumeStalledMs = -1;
};

// Shutting down: the sender calls the window (port choice, IP field, failed
// attempts, which the window shows), and those calls may block until the window's thread
// answers. The owner must therefore stop the sender before the window goes:
// call RequestStop(), keep the window's event loop answering (or let its calls
// return at once) until WaitStopped() is true, then Stop() and destroy the
// window. Stop() joins the thread; called on the window's thread while the
// sender waits in a blocking window call, it would wait for ever.
class CommandSender {
public:
    CommandSender(PrinterWindow& window, printer_link::UsbDeviceSource& usb, SenderSettings settings = {});
    ~CommandSender();  // stops the sender thread (a delivery waiting on the printer is aborted)
    CommandSender(const CommandSender&) = delete;
    CommandSender& operator=(const CommandSender&) = delete;

    // Starts SenderThread. Called once.
    void Start();
    // Aborts a waiting write, ends the thread and joins it. Idempotent.
    void Stop();
    // Asks the thread to end (sets the stop event) without waiting for it.
    void RequestStop();
    // True once the thread has ended (or was never started), waiting up to timeoutMs.
    bool WaitStopped(int timeoutMs) const;

    // Copies the bytes to the end of the queue; never blocks on the printer.
    // A length of 0 queues nothing. Always true.
    bool SubmitCommand(const std::uint8_t* data, std::size_t length);
    bool SubmitCommand(const std::vector<std::uint8_t>& bytes) {
        return SubmitCommand(bytes.data(), bytes.size());
    }
    // True while anything is queued, including the submission being delivered.
    bool IsSendPending() const;
    // Blocks until nothing is pending (subcommands and tests). False on time-out.
    bool WaitUntilIdle(int timeoutMs) const;

private:
    struct Submission {
        std::vector<std::uint8_t> bytes;
        std::int32_t remaining = 0;
        bool attempted = false;
        std::chrono::steady_clock::time_point lastProgress{};  // first attempt, or the last that delivered bytes
    };
    bool KeepsRest(PortChoice choice, const printer_link::Result& result, const Submission& s) const;
    void SenderThread();
    printer_link::Result DeliverOverUsb(Submission& s);
    printer_link::Result DeliverOverNet(Submission& s);
    bool StopRequested() const;

    PrinterWindow& window_;
    printer_link::UsbDeviceSource& usb_;
    SenderSettings settings_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Submission> queue_;
    bool stopping_ = false;
    bool running_ = false;  // the thread is between Start and its end
    std::thread thread_;
    std::unique_ptr<printer_link::StopEvent> stopEvent_;
};

}  // namespace sender
