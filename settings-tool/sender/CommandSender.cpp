#include "settings-tool/sender/CommandSender.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <utility>

#include "link/ProductIds.h"
#include "link/UsbPrinterPort.h"
#include "settings-tool/sender/TcpDelivery.h"

namespace sender {

namespace {
using Clock = std::chrono::steady_clock;
using printer_link::Outcome;
using printer_link::Result;
constexpr std::size_t kMaxSubmission = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
}  // namespace

CommandSender::CommandSender(PrinterWindow& window, printer_link::UsbDeviceSource& usb, SenderSettings settings)
    : window_(window),
      usb_(usb),
      settings_(std::move(settings)),
      stopEvent_(std::make_unique<printer_link::StopEvent>()) {}

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
        Submission part;
        part.bytes.assign(data + offset, data + offset + size);
        part.remaining = static_cast<std::int32_t>(size);
        parts.push_back(std::move(part));
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
        if (!current->attempted) {
            current->attempted = true;
            current->lastProgress = started;
        }

        // The port choice is read afresh for every attempt.
        const PortChoice choice = window_.ReadPortChoice();
        if (StopRequested()) break;
        Result result;
        switch (choice) {
            case PortChoice::Usb:
                result = DeliverOverUsb(*current);
                break;
            case PortChoice::Net:
                result = DeliverOverNet(*current);
                break;
            case PortChoice::Lpt:
                // The parallel port has no transport here.
                result.outcome = Outcome::Unsupported;
                result.error = ENOTSUP;
                break;
        }
        if (StopRequested()) break;
        if (current->remaining < before) current->lastProgress = Clock::now();
        if (!result.Ok()) {
            // A device that cannot be reached drops the submission; what a
            // failed write leaves is tried again unless the settings say no.
            AttemptReport report;
            report.port = choice;
            report.size = current->bytes.size();
            report.taken = report.size - static_cast<std::size_t>(std::max<std::int32_t>(current->remaining, 0));
            report.dropped = result.OpenFailed() || !KeepsRest(choice, result, *current);
            if (report.dropped) current->remaining = 0;
            report.remaining = static_cast<std::size_t>(std::max<std::int32_t>(current->remaining, 0));
            report.result = std::move(result);
            window_.AttemptFailed(report);
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

bool CommandSender::KeepsRest(PortChoice choice, const Result& result, const Submission& s) const {
    if (settings_.retryUnfinished) return true;
    if (settings_.resumeStalledMs < 0 || choice != PortChoice::Usb || result.outcome != Outcome::TimedOut)
        return false;
    return Clock::now() - s.lastProgress < std::chrono::milliseconds(settings_.resumeStalledMs);
}

Result CommandSender::DeliverOverUsb(Submission& s) {
    printer_link::CUsbPrinterPort port(usb_, printer_link::ReceiptPrinterProductIds());
    port.SetStopEvent(stopEvent_.get());
    if (!port.Open()) return port.LastOpen();
    const std::size_t offset = s.bytes.size() - static_cast<std::size_t>(s.remaining);
    const Result result = port.WriteInPieces(s.bytes.data() + offset, static_cast<std::size_t>(s.remaining),
                                             settings_.usbChunk, settings_.usbTimeoutMs);
    // Pieces taken before a failure stay delivered; the rest stays pending.
    s.remaining -= static_cast<std::int32_t>(std::min(result.sent, static_cast<std::size_t>(s.remaining)));
    return result;
}

Result CommandSender::DeliverOverNet(Submission& s) {
    const std::size_t offset = s.bytes.size() - static_cast<std::size_t>(s.remaining);
    return DeliverOverTcp(window_.ReadPrinterIp(), s.bytes.data() + offset, s.remaining, settings_.tcp,
                          stopEvent_.get());
}

}  // namespace sender
