#include "link/CommandSender.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

#include "link/UsbPrinterPort.h"

namespace printer_link {

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxSubmission = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
}  // namespace

CommandSender::CommandSender(PrinterWindow& window, UsbDeviceSource& usb, SenderSettings settings)
    : window_(window), usb_(usb), settings_(std::move(settings)), stopEvent_(std::make_unique<StopEvent>()) {}

CommandSender::~CommandSender() { Stop(); }

void CommandSender::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable() || stopping_) return;
    running_ = true;
    thread_ = std::thread(&CommandSender::SenderThread, this);
}

void CommandSender::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stopEvent_->Set();
    changed_.notify_all();
}

void CommandSender::Stop() {
    RequestStop();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();  // stopped from a window call made by the sender itself
    else
        thread_.join();
}

bool CommandSender::WaitStopped(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !running_; });
}

bool CommandSender::StopRequested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

bool CommandSender::SubmitCommand(const std::uint8_t* data, std::size_t length) {
    if (length == 0) return true;
    // The copy is made before the lock is taken; the lock only guards the
    // append. A submission beyond the 32-bit remaining count is queued as
    // several consecutive ones.
    std::deque<Submission> parts;
    for (std::size_t offset = 0; offset < length; offset += kMaxSubmission) {
        const std::size_t size = std::min(kMaxSubmission, length - offset);
        parts.push_back(Submission{std::vector<std::uint8_t>(data + offset, data + offset + size),
                                   static_cast<std::int32_t>(size)});
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& part : parts) queue_.push_back(std::move(part));
    }
    changed_.notify_all();
    return true;
}

bool CommandSender::IsSendPending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !queue_.empty();
}

bool CommandSender::WaitUntilIdle(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [this] { return queue_.empty() || !running_; });
    return queue_.empty();
}

void CommandSender::SenderThread() {
    for (;;) {
        Submission* current = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) break;
            // Only this thread removes elements, and appending to a deque
            // leaves references to the others valid: the front can be used
            // without the lock while SubmitCommand appends.
            current = &queue_.front();
        }
        const auto started = Clock::now();
        const std::int32_t before = current->remaining;

        // The port choice is read afresh for every attempt.
        const PortChoice choice = window_.ReadPortChoice();
        if (StopRequested()) break;
        switch (choice) {
            case PortChoice::Usb:
                DeliverOverUsb(*current);
                break;
            case PortChoice::Net: {
                const std::size_t offset = current->bytes.size() - static_cast<std::size_t>(current->remaining);
                DeliverOverTcp(window_, current->bytes.data() + offset, current->remaining, settings_.tcp,
                               stopEvent_.get());
                break;
            }
            case PortChoice::Lpt:
                window_.ShowMessageBox(kNoPortText);
                current->remaining = 0;
                break;
        }

        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_) break;
        if (current->remaining <= 0) {
            queue_.pop_front();
            lock.unlock();
            changed_.notify_all();
            continue;
        }
        // The rest stays pending and is tried again at once, unless the
        // attempt failed outright within a moment (see minRetryIntervalMs).
        if (current->remaining == before) {
            const auto until = started + std::chrono::milliseconds(settings_.minRetryIntervalMs);
            changed_.wait_until(lock, until, [this] { return stopping_; });
            if (stopping_) break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
    changed_.notify_all();
}

void CommandSender::DeliverOverUsb(Submission& s) {
    CUsbPrinterPort port(usb_, SettingsToolProductIds());
    port.SetStopEvent(stopEvent_.get());
    if (!port.Open()) {
        if (StopRequested()) return;
        window_.ShowStatus(kUsbOpenFailText);
        s.remaining = 0;
        return;
    }
    const std::size_t chunkLimit = std::max<std::size_t>(settings_.usbChunk, 1);
    while (s.remaining > 0) {
        const std::size_t offset = s.bytes.size() - static_cast<std::size_t>(s.remaining);
        const std::size_t chunk = std::min(static_cast<std::size_t>(s.remaining), chunkLimit);
        std::size_t written = 0;
        port.Write(s.bytes.data() + offset, chunk, &written, settings_.usbTimeoutMs);
        if (written == 0) break;  // the rest stays pending for the next attempt
        s.remaining -= static_cast<std::int32_t>(std::min(written, chunk));
    }
    port.Close();
}

}  // namespace printer_link
