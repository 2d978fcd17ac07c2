#include "protocol/Discovery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace protocol {
namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

Mac DeviceRecord::mac() const {
    Mac mac{};
    std::copy_n(bytes.begin() + 2, 6, mac.begin());
    return mac;
}

Ipv4 DeviceRecord::ip() const {
    Ipv4 ip{};
    std::copy_n(bytes.begin() + 14, 4, ip.begin());
    return ip;
}

std::string DeviceRecord::ListLine() const {
    char line[64];
    std::snprintf(line, sizeof line, "(%x.%x)%d.%d.%d.%u.", unsigned{bytes[0]}, unsigned{bytes[1]},
                  int{bytes[14]}, int{bytes[15]}, int{bytes[16]}, unsigned{bytes[17]});
    return line;
}

std::optional<DeviceRecord> ParseReply(const std::uint8_t* data, std::size_t length) {
    if (data == nullptr || length == 0) return std::nullopt;
    const auto first = static_cast<std::int8_t>(data[0]);
    if (first < 1) return std::nullopt;  // 0, or 80..FF as a signed byte
    DeviceRecord record;
    // A short reply leaves the rest of the record zero; a long one is cut.
    std::copy_n(data, std::min(length, kRecordSize), record.bytes.begin());
    return record;
}

std::array<std::uint8_t, kRecordSize> DiscoveryProbe() {
    std::array<std::uint8_t, kRecordSize> probe{};
    probe[0] = 0x58;
    return probe;
}

std::array<std::uint8_t, kAddressSettingSize> AddressSettingMessage(
    const Ipv4& ip, const Ipv4& mask, const Mac& mac, const Ipv4& gateway,
    const DeviceRecord& chosen, std::uint8_t lastByte) {
    std::array<std::uint8_t, kAddressSettingSize> out{};
    out[0] = 0x5A;
    std::copy(ip.begin(), ip.end(), out.begin() + 1);
    std::copy(mask.begin(), mask.end(), out.begin() + 5);
    std::copy(mac.begin(), mac.end(), out.begin() + 9);
    std::copy(gateway.begin(), gateway.end(), out.begin() + 15);
    // The printer recognises itself by its current MAC and the six bytes after it.
    std::copy_n(chosen.bytes.begin() + 2, 12, out.begin() + 19);
    out[31] = lastByte;
    return out;
}

// ---- DeviceTable ----

DeviceTable::AddResult DeviceTable::Add(const DeviceRecord& record) {
    std::lock_guard lock(mutex_);
    // Every slot is compared, filled or not, so a record is never listed twice.
    if (std::find(slots_.begin(), slots_.end(), record) != slots_.end()) return AddResult::Duplicate;
    // When all slots are taken the first sixteen stay; later records are dropped.
    if (count_ >= kSlots) return AddResult::Full;
    slots_[static_cast<std::size_t>(count_)] = record;
    ++count_;
    return AddResult::Added;
}

void DeviceTable::Clear() {
    std::lock_guard lock(mutex_);
    slots_.fill(DeviceRecord{});
    count_ = 0;
}

int DeviceTable::Count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

DeviceRecord DeviceTable::Slot(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= kSlots) return DeviceRecord{};
    return slots_[static_cast<std::size_t>(index)];
}

std::vector<DeviceRecord> DeviceTable::Filled() const {
    std::lock_guard lock(mutex_);
    return {slots_.begin(), slots_.begin() + count_};
}

// ---- DiscoverySockets ----

DiscoverySockets::DiscoverySockets(DiscoverySettings settings) : settings_(std::move(settings)) {}

DiscoverySockets::~DiscoverySockets() {
    CloseReceive();
    CloseFd(broadcastFd_);
}

bool DiscoverySockets::OpenReceive(std::string* error) {
    if (receiveFd_ >= 0) return true;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        if (error) *error = "cannot create the UDP socket for printer replies: " + ErrnoText(errno);
        return false;
    }
    // Several tools on one computer may listen for the (broadcast) replies at once.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(settings_.replyPort);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int saved = errno;
        ::close(fd);
        if (error) {
            *error = "cannot receive printer replies: UDP port " + std::to_string(settings_.replyPort) +
                     " cannot be bound (" + ErrnoText(saved) + ")";
        }
        return false;
    }
    receiveFd_ = fd;
    return true;
}

bool DiscoverySockets::OpenBroadcast(std::string* error) {
    if (broadcastFd_ >= 0) return true;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        if (error) *error = "cannot create the UDP broadcast socket: " + ErrnoText(errno);
        return false;
    }
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        const int saved = errno;
        ::close(fd);
        if (error) *error = "cannot switch on broadcasts: " + ErrnoText(saved);
        return false;
    }
    broadcastFd_ = fd;
    return true;
}

void DiscoverySockets::CloseReceive() { CloseFd(receiveFd_); }

std::uint16_t DiscoverySockets::ReceivePort() const {
    if (receiveFd_ < 0) return 0;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(receiveFd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
}

bool DiscoverySockets::SendBroadcast(const std::uint8_t* data, std::size_t length) {
    if (broadcastFd_ < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(settings_.probePort);
    if (::inet_pton(AF_INET, settings_.broadcastAddress.c_str(), &to.sin_addr) != 1) return false;
    const ssize_t sent = ::sendto(broadcastFd_, data, length, MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent == static_cast<ssize_t>(length);
}

void DiscoverySockets::SendDiscoveryProbe() {
    const auto probe = DiscoveryProbe();
    SendBroadcast(probe.data(), probe.size());
}

bool DiscoverySockets::SendAddressSetting(const Ipv4& ip, const Ipv4& mask, const Mac& mac,
                                          const Ipv4& gateway, const DeviceRecord& chosen,
                                          std::uint8_t lastByte) {
    const auto message = AddressSettingMessage(ip, mask, mac, gateway, chosen, lastByte);
    return SendBroadcast(message.data(), message.size());
}

// ---- DiscoveryListener ----

DiscoveryListener::DiscoveryListener(int receiveFd, DeviceTable& table, OnChange onChange, OnFull onFull)
    : fd_(receiveFd), table_(table), onChange_(std::move(onChange)), onFull_(std::move(onFull)) {}

DiscoveryListener::~DiscoveryListener() {
    Stop();
    CloseFd(wakeFd_);
}

void DiscoveryListener::Start() {
    if (thread_.joinable()) return;
    if (wakeFd_ < 0) wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
}

void DiscoveryListener::Stop() {
    stopping_ = true;
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        // Called from a callback: the thread ends when the callback returns;
        // the owner's destructor, on another thread, joins it.
        return;
    }
    thread_.join();
    if (wakeFd_ >= 0) {
        std::uint64_t drained = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &drained, sizeof drained);
    }
}

void DiscoveryListener::Run() {
    while (!stopping_) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        // Without a receive socket the listener only waits to be stopped.
        const nfds_t count = fd_ >= 0 ? 2 : 1;
        const int ready = ::poll(fds, count, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            ::poll(fds, 1, 50);  // unexpected failure: do not spin
            continue;
        }
        if (stopping_ || (fds[0].revents & POLLIN)) break;
        if (count < 2) continue;
        if (fds[1].revents & POLLNVAL) {
            ::poll(fds, 1, 50);  // socket closed under us: wait for Stop without spinning
            continue;
        }
        if (!(fds[1].revents & (POLLIN | POLLERR))) continue;

        std::uint8_t buffer[kRecordSize];
        // A longer datagram is cut to its first 18 bytes by the receive itself.
        const ssize_t received = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received <= 0) continue;  // empty or failed receive: ignored
        const auto record = ParseReply(buffer, static_cast<std::size_t>(received));
        if (!record) continue;

        const auto result = table_.Add(*record);
        // Callbacks run outside the table's lock so that they may read the table.
        if (result == DeviceTable::AddResult::Added) {
            const auto filled = table_.Filled();
            if (!stopping_ && onChange_) onChange_(filled);
        } else if (result == DeviceTable::AddResult::Full) {
            if (!stopping_ && onFull_) onFull_(*record);
        }
    }
}

std::optional<std::vector<DeviceRecord>> SearchPrinters(const DiscoverySettings& settings,
                                                        std::chrono::milliseconds listen, std::string* error) {
    using Clock = std::chrono::steady_clock;
    DiscoverySockets sockets(settings);
    if (!sockets.OpenReceive(error) || !sockets.OpenBroadcast(error)) return std::nullopt;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + listen;
    Clock::time_point nextProbe = start;
    int probes = 0;
    DeviceTable table;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) break;
        if (probes < 2 && now >= nextProbe) {
            sockets.SendDiscoveryProbe();
            ++probes;
            nextProbe = start + listen / 2;
        }
        const Clock::time_point wake = probes < 2 ? std::min(nextProbe, deadline) : deadline;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        pollfd p{sockets.ReceiveFd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait)) <= 0) continue;
        std::uint8_t reply[64];
        const ssize_t n = ::recv(sockets.ReceiveFd(), reply, sizeof reply, MSG_DONTWAIT);
        if (n <= 0) continue;
        if (const auto record = ParseReply(reply, static_cast<std::size_t>(n))) table.Add(*record);
    }
    return table.Filled();
}

}  // namespace protocol
