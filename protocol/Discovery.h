#pragma once
// Network discovery and the address-setting broadcast.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/SettingsCommands.h"

namespace protocol {

struct DiscoverySettings {
    std::string broadcastAddress = "255.255.255.255";
    std::uint16_t probePort = 9000;   // printers listen here
    std::uint16_t replyPort = 8999;   // replies arrive here
    // The programs move these defaults from their environment
    // (cli::DiscoverySettingsFromEnvironment); the library reads none.
};

inline constexpr std::size_t kRecordSize = 18;
inline constexpr std::size_t kAddressSettingSize = 32;

struct DeviceRecord {
    std::array<std::uint8_t, kRecordSize> bytes{};
    Mac mac() const;        // bytes 2..7
    Ipv4 ip() const;        // bytes 14..17
    // "(%x.%x)%d.%d.%d.%u." e.g. "(1.0)192.168.0.199."
    std::string ListLine() const;
    bool operator==(const DeviceRecord&) const = default;
};

// Accepts a datagram as a record: cut to 18 bytes; empty, or a first byte
// outside 1..127 (as a signed byte), gives nothing.
std::optional<DeviceRecord> ParseReply(const std::uint8_t* data, std::size_t length);

std::array<std::uint8_t, kRecordSize> DiscoveryProbe();  // 58 then 17 x 00
// 5A, ip, mask, mac, gateway, bytes 2..13 of the record, lastByte (00; DHCP flag in the update tool)
std::array<std::uint8_t, kAddressSettingSize> AddressSettingMessage(
    const Ipv4& ip, const Ipv4& mask, const Mac& mac, const Ipv4& gateway,
    const DeviceRecord& chosen, std::uint8_t lastByte = 0);

// 16 slots in order of first arrival. Thread-safe: the listener and the window
// thread never see a half-written record or a count that disagrees with the slots.
class DeviceTable {
public:
    static constexpr int kSlots = 16;
    enum class AddResult { Added, Duplicate, Full };
    AddResult Add(const DeviceRecord& record);
    void Clear();                          // all slots zero, count 0
    int Count() const;
    DeviceRecord Slot(int index) const;    // an empty slot reads as all zero
    std::vector<DeviceRecord> Filled() const;  // slots 0..count-1
private:
    mutable std::mutex mutex_;
    std::array<DeviceRecord, kSlots> slots_{};
    int count_ = 0;
};

// The two UDP sockets: the receive socket bound to the reply port, and the
// broadcast socket. Both stay open for the owner's life.
class DiscoverySockets {
public:
    explicit DiscoverySockets(DiscoverySettings settings);
    ~DiscoverySockets();
    DiscoverySockets(const DiscoverySockets&) = delete;
    DiscoverySockets& operator=(const DiscoverySockets&) = delete;

    bool OpenReceive(std::string* error = nullptr);    // false when the port cannot be bound
    bool OpenBroadcast(std::string* error = nullptr);
    void CloseReceive();
    bool HasBroadcast() const { return broadcastFd_ >= 0; }
    int ReceiveFd() const { return receiveFd_; }
    std::uint16_t ReceivePort() const;  // the bound reply port (useful when bound to port 0)

    void SendDiscoveryProbe();  // result not checked
    bool SendAddressSetting(const Ipv4& ip, const Ipv4& mask, const Mac& mac, const Ipv4& gateway,
                            const DeviceRecord& chosen, std::uint8_t lastByte = 0);
    const DiscoverySettings& settings() const { return settings_; }

private:
    bool SendBroadcast(const std::uint8_t* data, std::size_t length);
    DiscoverySettings settings_;
    int receiveFd_ = -1;
    int broadcastFd_ = -1;
};

// Receives replies on a socket, fills the table and reports each new record
// (with the table's filled slots) to `onChange`. Stop() ends the thread
// promptly; after it returns, `onChange` is never called again.
// Callbacks run on the listener thread without the table's lock held. Stop()
// waits for a running callback, so a callback must not block on the thread
// that calls Stop() (post to the window thread instead of a blocking call).
// `receiveFd` may be -1: the listener then only waits to be stopped. The
// socket must stay open until Stop() has returned. A record that finds the
// table full is dropped and reported to `onFull`. Start, Stop and the
// destructor belong to one owning thread; Stop() from inside a callback only
// asks the thread to end (the owner's later Stop or destructor joins it), and
// the listener must not be destroyed from inside its own callback.
class DiscoveryListener {
public:
    using OnChange = std::function<void(const std::vector<DeviceRecord>& filled)>;
    using OnFull = std::function<void(const DeviceRecord& dropped)>;
    DiscoveryListener(int receiveFd, DeviceTable& table, OnChange onChange, OnFull onFull = {});
    ~DiscoveryListener();  // Stop()
    void Start();
    void Stop();

private:
    void Run();
    int fd_;
    DeviceTable& table_;
    OnChange onChange_;
    OnFull onFull_;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// One search of a list of printers: a probe at the start and a second one
// halfway through (for a printer that missed the first), and the distinct
// replies that arrive within `listen`, in order of arrival (at most
// DeviceTable::kSlots). Nullopt, with `error` set, when the sockets cannot be
// opened.
std::optional<std::vector<DeviceRecord>> SearchPrinters(const DiscoverySettings& settings,
                                                        std::chrono::milliseconds listen, std::string* error = nullptr);

}  // namespace protocol
