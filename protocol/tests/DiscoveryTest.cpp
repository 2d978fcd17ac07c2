// Discovery records, the table, the two sockets and the listener thread, over
// loopback UDP with ports chosen by the system.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Discovery.h"
#include "tests/support/HexMatch.h"

using namespace protocol;
using namespace std::chrono_literals;
using testhex::SameBytes;

namespace {

DeviceRecord Record(std::uint8_t first, std::uint8_t second, Mac mac, Ipv4 ip, std::uint8_t extra = 0) {
    DeviceRecord r;
    r.bytes[0] = first;
    r.bytes[1] = second;
    std::copy(mac.begin(), mac.end(), r.bytes.begin() + 2);
    for (int i = 8; i < 14; ++i) r.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(extra + i);
    std::copy(ip.begin(), ip.end(), r.bytes.begin() + 14);
    return r;
}

// A UDP socket on 127.0.0.1 with a system-chosen port.
struct UdpSocket {
    int fd = -1;
    std::uint16_t port = 0;
    UdpSocket() {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        timeval tv{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~UdpSocket() { ::close(fd); }
    void SendTo(std::uint16_t to, const std::vector<std::uint8_t>& data) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(to);
        ASSERT_EQ(::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
                  static_cast<ssize_t>(data.size()));
    }
    std::vector<std::uint8_t> Receive() const {
        std::vector<std::uint8_t> buffer(256);
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buffer;
    }
};

std::vector<std::uint8_t> RecordBytes(const DeviceRecord& r) { return {r.bytes.begin(), r.bytes.end()}; }

// Collects what the listener reports, for waiting on from the test thread.
struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<DeviceRecord>> lists;
    std::vector<DeviceRecord> dropped;
    bool WaitForLists(std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return lists.size() >= n; });
    }
    bool WaitForDropped(std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return dropped.size() >= n; });
    }
    std::size_t ListCount() {
        std::lock_guard lock(mutex);
        return lists.size();
    }
};

}  // namespace

TEST(DeviceRecord, ListLinesAndFields) {
    EXPECT_EQ(Record(1, 0, {}, {192, 168, 0, 199}).ListLine(), "(1.0)192.168.0.199.");
    EXPECT_EQ(Record(0x7F, 0x9C, {}, {10, 0, 0, 255}).ListLine(), "(7f.9c)10.0.0.255.");
    EXPECT_EQ(DeviceRecord{}.ListLine(), "(0.0)0.0.0.0.");
    const auto r = Record(1, 2, {0x00, 0x1A, 0x0B, 0xFF, 0x07, 0xC0}, {192, 168, 1, 5});
    EXPECT_TRUE(SameBytes(Mac{0x00, 0x1A, 0x0B, 0xFF, 0x07, 0xC0}, r.mac()));
    EXPECT_TRUE(SameBytes(Ipv4{192, 168, 1, 5}, r.ip()));
}

TEST(DeviceRecord, ParseReplyAcceptsOnlyFirstBytesOneTo127) {
    auto reply = RecordBytes(Record(1, 0, {1, 2, 3, 4, 5, 6}, {192, 168, 0, 199}));
    ASSERT_TRUE(ParseReply(reply.data(), reply.size()).has_value());
    for (std::uint8_t bad : {0x00, 0x80, 0xFF}) {
        reply[0] = bad;
        EXPECT_FALSE(ParseReply(reply.data(), reply.size()).has_value()) << int{bad};
    }
    reply[0] = 0x7F;
    EXPECT_TRUE(ParseReply(reply.data(), reply.size()).has_value());
    EXPECT_FALSE(ParseReply(reply.data(), 0).has_value());

    // A 20-byte reply is taken from its first 18 bytes.
    auto longer = RecordBytes(Record(3, 4, {9, 9, 9, 9, 9, 9}, {10, 1, 2, 3}));
    const auto expected = longer;
    longer.push_back(0xAA);
    longer.push_back(0xBB);
    const auto cut = ParseReply(longer.data(), longer.size());
    ASSERT_TRUE(cut.has_value());
    EXPECT_TRUE(SameBytes(expected, cut->bytes));
}

TEST(DiscoveryMessages, ProbeAndAddressSetting) {
    std::vector<std::uint8_t> probe(18, 0x00);
    probe[0] = 0x58;
    EXPECT_TRUE(SameBytes(probe, DiscoveryProbe()));

    const auto chosen = Record(1, 0, {0x00, 0x1A, 0x0B, 0xFF, 0x07, 0xC0}, {192, 168, 0, 199}, 0x30);
    const auto message = AddressSettingMessage({192, 168, 0, 50}, {255, 255, 255, 0},
                                               {0x02, 0x03, 0x04, 0x05, 0x06, 0x07}, {192, 168, 0, 1}, chosen, 1);
    const std::vector<std::uint8_t> expected = {
        0x5A, 0xC0, 0xA8, 0x00, 0x32, 0xFF, 0xFF, 0xFF, 0x00, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xC0,
        0xA8, 0x00, 0x01, 0x00, 0x1A, 0x0B, 0xFF, 0x07, 0xC0, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x01};
    EXPECT_TRUE(SameBytes(expected, message));
}

TEST(DeviceTable, KeepsFirstArrivalOrderSkipsDuplicatesAndKeepsTheFirstSixteen) {
    DeviceTable table;
    const auto a = Record(1, 0, {1}, {192, 168, 0, 10});
    const auto b = Record(2, 0, {2}, {192, 168, 0, 11});
    EXPECT_EQ(table.Add(a), DeviceTable::AddResult::Added);
    EXPECT_EQ(table.Add(b), DeviceTable::AddResult::Added);
    EXPECT_EQ(table.Add(a), DeviceTable::AddResult::Duplicate);
    // A record that changed (new address) is a new line.
    auto moved = a;
    moved.bytes[17] = 77;
    EXPECT_EQ(table.Add(moved), DeviceTable::AddResult::Added);
    ASSERT_EQ(table.Count(), 3);
    EXPECT_EQ(table.Slot(0), a);
    EXPECT_EQ(table.Slot(1), b);
    EXPECT_EQ(table.Slot(2), moved);
    EXPECT_EQ(table.Slot(3), DeviceRecord{});
    EXPECT_EQ(table.Slot(-1), DeviceRecord{});
    EXPECT_EQ(table.Slot(16), DeviceRecord{});

    table.Clear();
    EXPECT_EQ(table.Count(), 0);
    EXPECT_TRUE(table.Filled().empty());
    std::vector<DeviceRecord> sixteen;
    for (std::uint8_t i = 0; i < 16; ++i) {
        sixteen.push_back(Record(1, 0, {i}, {10, 0, 0, i}));
        ASSERT_EQ(table.Add(sixteen.back()), DeviceTable::AddResult::Added);
    }
    EXPECT_EQ(table.Add(Record(1, 0, {99}, {10, 0, 0, 99})), DeviceTable::AddResult::Full);
    EXPECT_EQ(table.Add(sixteen[5]), DeviceTable::AddResult::Duplicate);
    EXPECT_EQ(table.Filled(), sixteen);
}

TEST(DiscoverySockets, ProbeAndAddressSettingReachTheProbePort) {
    UdpSocket printer;
    DiscoverySettings settings;
    settings.broadcastAddress = "127.0.0.1";
    settings.probePort = printer.port;
    DiscoverySockets sockets(settings);
    EXPECT_FALSE(sockets.HasBroadcast());
    EXPECT_FALSE(sockets.SendAddressSetting({}, {}, {}, {}, DeviceRecord{}));  // no socket yet
    std::string error;
    ASSERT_TRUE(sockets.OpenBroadcast(&error)) << error;

    sockets.SendDiscoveryProbe();
    EXPECT_TRUE(SameBytes(DiscoveryProbe(), printer.Receive()));

    const auto chosen = Record(1, 0, {0x00, 0x1A, 0x0B, 0xFF, 0x07, 0xC0}, {192, 168, 0, 199});
    ASSERT_TRUE(sockets.SendAddressSetting({192, 168, 0, 199}, {255, 255, 255, 0}, chosen.mac(),
                                           {192, 168, 0, 1}, chosen));
    const auto message = printer.Receive();
    ASSERT_EQ(message.size(), kAddressSettingSize);
    EXPECT_EQ(message[0], 0x5A);
    EXPECT_TRUE(SameBytes(chosen.mac(), std::vector<std::uint8_t>(message.begin() + 19, message.begin() + 25)));
}

TEST(DiscoverySockets, BindFailureIsExplained) {
    // A socket that holds the port exclusively (no SO_REUSEADDR) makes the bind fail.
    UdpSocket holder;
    DiscoverySettings settings;
    settings.replyPort = holder.port;
    DiscoverySockets sockets(settings);
    std::string error;
    EXPECT_FALSE(sockets.OpenReceive(&error));
    EXPECT_NE(error.find("UDP port " + std::to_string(holder.port)), std::string::npos) << error;
    EXPECT_EQ(sockets.ReceiveFd(), -1);
}

TEST(DiscoveryListener, FillsTheTableOverLoopback) {
    DiscoverySettings settings;
    settings.replyPort = 0;  // any free port
    DiscoverySockets sockets(settings);
    std::string error;
    ASSERT_TRUE(sockets.OpenReceive(&error)) << error;
    const std::uint16_t port = sockets.ReceivePort();
    ASSERT_NE(port, 0);

    DeviceTable table;
    Reports reports;
    DiscoveryListener listener(
        sockets.ReceiveFd(), table,
        [&](const std::vector<DeviceRecord>& filled) {
            // The table is readable from the callback: its lock is not held here.
            EXPECT_EQ(table.Count(), static_cast<int>(filled.size()));
            std::lock_guard lock(reports.mutex);
            reports.lists.push_back(filled);
            reports.changed.notify_all();
        },
        [&](const DeviceRecord& dropped) {
            std::lock_guard lock(reports.mutex);
            reports.dropped.push_back(dropped);
            reports.changed.notify_all();
        });
    listener.Start();

    UdpSocket printers;
    const auto a = Record(1, 0, {0, 0x1A, 0x0B, 0xFF, 7, 0xC0}, {192, 168, 0, 199});
    const auto b = Record(1, 0x9C, {2, 2, 2, 2, 2, 2}, {192, 168, 0, 200});
    auto zero = RecordBytes(a);
    zero[0] = 0x00;
    auto high = RecordBytes(b);
    high[0] = 0x80;
    auto longB = RecordBytes(b);
    longB.insert(longB.end(), {0xEE, 0xEE});
    printers.SendTo(port, {});     // empty: ignored
    printers.SendTo(port, zero);   // first byte 00: ignored
    printers.SendTo(port, high);   // first byte 80: ignored
    printers.SendTo(port, RecordBytes(a));
    printers.SendTo(port, RecordBytes(a));  // duplicate
    printers.SendTo(port, longB);     // 20 bytes, cut to b
    printers.SendTo(port, RecordBytes(a));
    ASSERT_TRUE(reports.WaitForLists(2));

    // Sixteen records fill the table; the seventeenth is dropped and reported.
    for (std::uint8_t i = 0; i < 15; ++i) printers.SendTo(port, RecordBytes(Record(5, 0, {i}, {10, 0, 0, i})));
    ASSERT_TRUE(reports.WaitForDropped(1));
    {
        std::lock_guard lock(reports.mutex);
        ASSERT_EQ(reports.lists.size(), 16u);
        EXPECT_EQ(reports.lists[0], std::vector<DeviceRecord>{a});
        EXPECT_EQ(reports.lists[1], (std::vector<DeviceRecord>{a, b}));
        EXPECT_EQ(reports.lists[1][1].ListLine(), "(1.9c)192.168.0.200.");
        EXPECT_EQ(reports.dropped[0], Record(5, 0, {14}, {10, 0, 0, 14}));
    }
    EXPECT_EQ(table.Slot(15), Record(5, 0, {13}, {10, 0, 0, 13}));

    // Stop returns promptly and nothing is reported afterwards.
    table.Clear();
    const auto before = std::chrono::steady_clock::now();
    listener.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    const std::size_t reported = reports.ListCount();
    printers.SendTo(port, RecordBytes(Record(9, 9, {9}, {9, 9, 9, 9})));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(reports.ListCount(), reported);
    EXPECT_EQ(table.Count(), 0);
}

TEST(DiscoveryListener, StopWaitsForARunningCallback) {
    UdpSocket receiver, printer;
    DeviceTable table;
    std::atomic<bool> inCallback{false}, callbackDone{false};
    DiscoveryListener listener(receiver.fd, table, [&](const std::vector<DeviceRecord>&) {
        inCallback = true;
        std::this_thread::sleep_for(200ms);
        callbackDone = true;
    });
    listener.Start();
    printer.SendTo(receiver.port, RecordBytes(Record(1, 0, {1}, {1, 2, 3, 4})));
    for (int i = 0; i < 500 && !inCallback; ++i) std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(inCallback);
    listener.Stop();
    EXPECT_TRUE(callbackDone);
}

TEST(DiscoveryListener, WithoutSocketOnlyWaitsForStop) {
    DeviceTable table;
    DiscoveryListener listener(-1, table, [](const std::vector<DeviceRecord>&) { ADD_FAILURE(); });
    listener.Start();
    std::this_thread::sleep_for(20ms);
    const auto before = std::chrono::steady_clock::now();
    listener.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    listener.Start();  // a stopped listener can run again
}
