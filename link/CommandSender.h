#pragma once
// The command queue and the sender thread: every action hands its bytes to
// SubmitCommand, which returns at once; one sender thread delivers the
// submissions in order over the port chosen at that moment.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "link/PrinterWindow.h"
#include "link/TcpLink.h"
#include "link/UsbDeviceSource.h"

namespace link {

inline constexpr const char* kUsbOpenFailText = "USB OPEN FAIL";
inline constexpr const char* kNoPortText = "NOT Selet USB OR NET";

struct SenderSettings {
    std::size_t usbChunk = 64;
    int usbTimeoutMs = 1000;
    TcpSettings tcp;
};

class CommandSender {
public:
    CommandSender(PrinterWindow& window, UsbDeviceSource& usb, SenderSettings settings = {});
    ~CommandSender();  // stops the sender thread (a delivery waiting on the printer is aborted)
    CommandSender(const CommandSender&) = delete;
    CommandSender& operator=(const CommandSender&) = delete;

    // Starts SenderThread. Called once.
    void Start();
    // Aborts a waiting write, ends the thread and joins it. Idempotent.
    void Stop();

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
        std::int32_t remaining;
    };
    void SenderThread();
    void DeliverOverUsb(Submission& s);

    PrinterWindow& window_;
    UsbDeviceSource& usb_;
    SenderSettings settings_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Submission> queue_;
    bool stopping_ = false;
    std::thread thread_;
    class StopEvent* stopEvent_ = nullptr;
};

}  // namespace link
