#include "platform/fake/usb/FakeUsbDeviceSource.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace printer_link::fake {

namespace {
constexpr const char* kNodePrefix = "fake:";
}

FakeUsbDeviceSource::FakeUsbDeviceSource() : shutdownFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (shutdownFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    ::signal(SIGPIPE, SIG_IGN);
}

FakeUsbDeviceSource::~FakeUsbDeviceSource() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        releaseStalls_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(shutdownFd_, &one, sizeof one);
    changed_.notify_all();
    for (auto& t : printers_) t.join();
    ::close(shutdownFd_);
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

void FakeUsbDeviceSource::RefuseOpen(std::size_t device, bool refuse) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device).refuseOpen = refuse;
}

void FakeUsbDeviceSource::ScriptOpen(std::size_t device, std::size_t open, OpenScript script) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device).scripts[open] = script;
}

void FakeUsbDeviceSource::SetDefaultScript(std::size_t device, OpenScript script) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device).fallback = script;
}

void FakeUsbDeviceSource::ReleaseStalls() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        releaseStalls_ = true;
    }
    changed_.notify_all();
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

std::vector<UsbDeviceInfo> FakeUsbDeviceSource::Enumerate() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++enumerations_;
    std::vector<UsbDeviceInfo> list;
    for (std::size_t i = 0; i < devices_.size(); ++i)
        list.push_back(UsbDeviceInfo{devices_[i].path, kNodePrefix + std::to_string(i)});
    return list;
}

FakeUsbDeviceSource::Device* FakeUsbDeviceSource::Find(const UsbDeviceInfo& info) {
    if (info.node.rfind(kNodePrefix, 0) != 0) return nullptr;
    const std::size_t index = std::stoul(info.node.substr(std::char_traits<char>::length(kNodePrefix)));
    return index < devices_.size() ? &devices_[index] : nullptr;
}

bool FakeUsbDeviceSource::Probe(const UsbDeviceInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++probes_;
    const Device* device = Find(info);
    return device && !device->refuseProbe;
}

int FakeUsbDeviceSource::OpenReadWrite(const UsbDeviceInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device* device = Find(info);
    if (!device) {
        errno = ENOENT;
        return -1;
    }
    if (device->refuseOpen) {
        errno = EBUSY;
        return -1;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
    // One page: a piece stays "in flight" until the printer has read it.
    ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const std::size_t open = device->opens++;
    const auto scripted = device->scripts.find(open);
    const OpenScript script = scripted != device->scripts.end() ? scripted->second : device->fallback;
    const std::size_t index = static_cast<std::size_t>(device - devices_.data());
    printers_.emplace_back(&FakeUsbDeviceSource::Printer, this, ends[0], index, open, opensSoFar_++, script);
    return ends[1];
}

void FakeUsbDeviceSource::Printer(int readEnd, std::size_t device, std::size_t open, std::size_t order,
                                  OpenScript script) {
    std::size_t taken = 0;
    std::uint8_t buffer[4096];
    for (;;) {
        if (script.kind != OpenScript::Kind::Accept && taken >= script.pieces) {
            if (script.kind == OpenScript::Kind::StallAfter) {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return releaseStalls_; });
            }
            break;  // FailAfter: closing our end makes the next write fail
        }
        pollfd fds[2] = {{readEnd, POLLIN, 0}, {shutdownFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLIN) break;
        const ssize_t n = ::read(readEnd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n == 0) {  // the port closed its end
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++closed_;
            }
            changed_.notify_all();
            break;
        }
        if (n < 0) break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // After every piece of an earlier open, before any of a later one.
            std::size_t at = pieces_.size();
            while (at > 0 && pieceOrder_[at - 1] > order) --at;
            pieces_.insert(pieces_.begin() + static_cast<std::ptrdiff_t>(at),
                           ReceivedPiece{device, open, std::vector<std::uint8_t>(buffer, buffer + n)});
            pieceOrder_.insert(pieceOrder_.begin() + static_cast<std::ptrdiff_t>(at), order);
        }
        changed_.notify_all();
        ++taken;
    }
    ::close(readEnd);
}

}  // namespace printer_link::fake
