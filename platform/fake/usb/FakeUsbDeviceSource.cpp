#include "platform/fake/usb/FakeUsbDeviceSource.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <system_error>

namespace platform_fake {

namespace {
// "...vid_0418&pid_5011#instance#..." -> the four digits after `key`.
std::string Field(const std::string& path, const std::string& key, std::size_t length) {
    const auto at = path.find(key);
    return at == std::string::npos ? std::string() : path.substr(at + key.size(), length);
}
}  // namespace

// One open of a device: takes pieces as its script says.
class FakeUsbDeviceSource::Printer : public printer_link::Transport {
public:
    Printer(FakeUsbDeviceSource& source, std::size_t device, std::size_t open, OpenScript script,
            AnswerScript answer)
        : printer_link::Transport("fake:" + std::to_string(device)), source_(source), device_(device), open_(open),
          script_(script), answer_(std::move(answer)) {}
    ~Printer() override {
        {
            std::lock_guard<std::mutex> lock(source_.mutex_);
            ++source_.closed_;
        }
        source_.changed_.notify_all();
    }

    printer_link::PieceResult Write(const std::uint8_t* data, std::size_t length, const printer_link::Deadline& deadline,
                      const printer_link::StopEvent* stop) override {
        if (stop && stop->IsSet()) return {printer_link::Outcome::Stopped, 0, 0};
        const bool limited = script_.kind != OpenScript::Kind::Accept && taken_ >= script_.pieces;
        if (limited && script_.kind == OpenScript::Kind::StallAfter) {
            // The printer takes nothing: wait for the deadline, the stop event
            // or the release of stalls (then the printer has gone).
            const printer_link::Ready ready = printer_link::WaitFor(source_.wakeFd_, POLLIN, deadline, stop);
            if (ready == printer_link::Ready::TimedOut) return {printer_link::Outcome::TimedOut, 0, 0};
            if (ready == printer_link::Ready::Stopped) return {printer_link::Outcome::Stopped, 0, 0};
            return printer_link::Dropped(EPIPE);
        }
        if (limited) return printer_link::Dropped(EPIPE);
        {
            std::lock_guard<std::mutex> lock(source_.mutex_);
            source_.pieces_.push_back(ReceivedPiece{device_, open_, std::vector<std::uint8_t>(data, data + length)});
        }
        source_.changed_.notify_all();
        ++taken_;
        if (answer_) {
            const std::vector<std::uint8_t> back = answer_(std::vector<std::uint8_t>(data, data + length));
            input_.insert(input_.end(), back.begin(), back.end());
        }
        return {printer_link::Outcome::Sent, 0, length};
    }

    bool CanRead() const override { return static_cast<bool>(answer_); }

    // Hands over what the script answered; a printer that has failed is gone,
    // one with nothing to say keeps the reader waiting for the deadline.
    printer_link::PieceResult Read(std::uint8_t* data, std::size_t capacity, const printer_link::Deadline& deadline,
                                   const printer_link::StopEvent* stop) override {
        if (!answer_) return {printer_link::Outcome::Unsupported, 0, 0};
        if (stop && stop->IsSet()) return {printer_link::Outcome::Stopped, 0, 0};
        if (!input_.empty()) {
            const std::size_t n = std::min(capacity, input_.size());
            std::copy_n(input_.begin(), n, data);
            input_.erase(input_.begin(), input_.begin() + static_cast<long>(n));
            return {printer_link::Outcome::Sent, 0, n};
        }
        if (script_.kind == OpenScript::Kind::FailAfter && taken_ >= script_.pieces) return printer_link::Dropped(ENODEV);
        const printer_link::Ready ready = printer_link::WaitFor(source_.wakeFd_, POLLIN, deadline, stop);
        if (ready == printer_link::Ready::TimedOut) return {printer_link::Outcome::TimedOut, 0, 0};
        if (ready == printer_link::Ready::Stopped) return {printer_link::Outcome::Stopped, 0, 0};
        return printer_link::Dropped(ENODEV);
    }

private:
    FakeUsbDeviceSource& source_;
    std::size_t device_;
    std::size_t open_;
    OpenScript script_;
    std::size_t taken_ = 0;
    AnswerScript answer_;
    std::vector<std::uint8_t> input_;  // answered, not yet read
};

FakeUsbDeviceSource::FakeUsbDeviceSource() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

FakeUsbDeviceSource::~FakeUsbDeviceSource() {
    ReleaseStalls();
    ::close(wakeFd_);
}

std::size_t FakeUsbDeviceSource::AddDevice(std::string path) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device device;
    device.path = std::move(path);
    devices_.push_back(std::move(device));
    return devices_.size() - 1;
}

void FakeUsbDeviceSource::RefuseProbe(std::size_t device, bool refuse) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device).refuseProbe = refuse;
}

void FakeUsbDeviceSource::RefuseOpen(std::size_t device, bool refuse, int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device).refuseOpen = refuse ? error : 0;
}

void FakeUsbDeviceSource::ScriptOpen(std::size_t device, std::size_t open, OpenScript script) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device).scripts[open] = script;
}

void FakeUsbDeviceSource::SetDefaultScript(std::size_t device, OpenScript script) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device).fallback = script;
}

void FakeUsbDeviceSource::SetAnswers(std::size_t device, AnswerScript answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device).answer = std::move(answer);
}

void FakeUsbDeviceSource::ReleaseStalls() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        releaseStalls_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(wakeFd_, &one, sizeof one);
}

std::vector<ReceivedPiece> FakeUsbDeviceSource::Pieces() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pieces_;
}

std::vector<std::uint8_t> FakeUsbDeviceSource::Received(std::size_t device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::uint8_t> all;
    for (const auto& p : pieces_)
        if (p.device == device) all.insert(all.end(), p.bytes.begin(), p.bytes.end());
    return all;
}

bool FakeUsbDeviceSource::WaitForPieces(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return pieces_.size() >= count; });
}

bool FakeUsbDeviceSource::WaitForClosed(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return closed_ >= count; });
}

std::size_t FakeUsbDeviceSource::ClosedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

std::size_t FakeUsbDeviceSource::EnumerateCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enumerations_;
}

std::size_t FakeUsbDeviceSource::ProbeCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return probes_;
}

std::size_t FakeUsbDeviceSource::OpenCount(std::size_t device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_.at(device).opens;
}

std::size_t FakeUsbDeviceSource::TotalOpenCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t total = 0;
    for (const auto& d : devices_) total += d.opens;
    return total;
}

std::vector<printer_link::UsbDeviceInfo> FakeUsbDeviceSource::Enumerate() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++enumerations_;
    std::vector<printer_link::UsbDeviceInfo> list;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        printer_link::UsbDeviceInfo info;
        info.path = devices_[i].path;
        info.vendor = Field(info.path, "vid_", 4);
        info.product = Field(info.path, "pid_", 4);
        info.bus = 1;
        info.address = static_cast<int>(i) + 1;  // finds the device again
        list.push_back(std::move(info));
    }
    return list;
}

FakeUsbDeviceSource::Device* FakeUsbDeviceSource::Find(const printer_link::UsbDeviceInfo& info) {
    const auto index = static_cast<std::size_t>(info.address - 1);
    return info.bus == 1 && info.address > 0 && index < devices_.size() ? &devices_[index] : nullptr;
}

bool FakeUsbDeviceSource::Probe(const printer_link::UsbDeviceInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++probes_;
    const Device* device = Find(info);
    return device && !device->refuseProbe;
}

printer_link::OpenedTransport FakeUsbDeviceSource::OpenBulk(const printer_link::UsbDeviceInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device* device = Find(info);
    const std::string node = "fake:" + std::to_string(info.address - 1);
    if (!device) return printer_link::OpenFailure(ENODEV, node);
    if (device->refuseOpen) return printer_link::OpenFailure(device->refuseOpen, node);
    const std::size_t open = device->opens++;
    const auto scripted = device->scripts.find(open);
    const OpenScript script = scripted != device->scripts.end() ? scripted->second : device->fallback;
    printer_link::OpenedTransport opened;
    opened.transport = std::make_unique<Printer>(*this, static_cast<std::size_t>(device - devices_.data()), open,
                                                 releaseStalls_ && script.kind == OpenScript::Kind::StallAfter
                                                     ? OpenScript::FailAfter(script.pieces)
                                                     : script,
                                                 device->answer);
    return opened;
}

}  // namespace platform_fake
