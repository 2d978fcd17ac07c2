// Discovery replies: any datagram is accepted or ignored as the listener does,
// and the device table stays consistent with a plain model of it.
//
// Input: a sequence of items. Each item starts with a length byte L:
//   L == FF  the table is cleared (as after an address setting);
//   else     a datagram of the next L bytes (fewer at the end of the input).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/Discovery.h"

namespace {

using protocol::DeviceRecord;
using protocol::DeviceTable;
using protocol::kRecordSize;

void Check(bool condition) {
    if (!condition) std::abort();
}

// The list line, formatted independently of DeviceRecord::ListLine.
std::string ExpectedLine(const DeviceRecord& r) {
    static const char* const kHex = "0123456789abcdef";
    auto hex = [](unsigned v) {
        std::string s;
        if (v >= 16) s += kHex[v / 16];
        s += kHex[v % 16];
        return s;
    };
    const auto& b = r.bytes;
    return "(" + hex(b[0]) + "." + hex(b[1]) + ")" + std::to_string(b[14]) + "." + std::to_string(b[15]) + "." +
           std::to_string(b[16]) + "." + std::to_string(b[17]) + ".";
}

void CheckRecord(const DeviceRecord& r) {
    Check(r.bytes[0] >= 1 && r.bytes[0] <= 127);
    const std::string line = r.ListLine();
    Check(line == ExpectedLine(r));
    Check(line.size() <= std::string("(7f.ff)255.255.255.255.").size());
    const protocol::Mac mac = r.mac();
    const protocol::Ipv4 ip = r.ip();
    Check(std::equal(mac.begin(), mac.end(), r.bytes.begin() + 2));
    Check(std::equal(ip.begin(), ip.end(), r.bytes.begin() + 14));
    // The address setting names the printer by bytes 2..13 of its record.
    const auto message = protocol::AddressSettingMessage({1, 2, 3, 4}, {255, 255, 255, 0}, {1, 2, 3, 4, 5, 6},
                                                         {1, 2, 3, 254}, r);
    Check(message[0] == 0x5A && message[31] == 0x00);
    Check(std::equal(r.bytes.begin() + 2, r.bytes.begin() + 14, message.begin() + 19));
}

void CheckTable(const DeviceTable& table, const std::vector<DeviceRecord>& model) {
    const int count = table.Count();
    Check(count >= 0 && count <= DeviceTable::kSlots);
    Check(static_cast<std::size_t>(count) == model.size());
    const std::vector<DeviceRecord> filled = table.Filled();
    Check(filled == model);
    for (int i = 0; i < DeviceTable::kSlots; ++i) {
        const DeviceRecord slot = table.Slot(i);
        if (i < count) {
            Check(slot == model[static_cast<std::size_t>(i)]);
            CheckRecord(slot);
            for (int j = 0; j < i; ++j) Check(!(filled[static_cast<std::size_t>(j)] == slot));
        } else {
            Check(slot == DeviceRecord{});
        }
    }
    Check(table.Slot(-1) == DeviceRecord{});
    Check(table.Slot(DeviceTable::kSlots) == DeviceRecord{});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DeviceTable table;
    std::vector<DeviceRecord> model;
    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t length = data[pos++];
        if (length == 0xFF) {
            table.Clear();
            model.clear();
            CheckTable(table, model);
            continue;
        }
        const std::size_t n = std::min<std::size_t>(length, size - pos);
        // A copy of exactly the datagram, so that reading past it is caught.
        const std::vector<std::uint8_t> datagram(data + pos, data + pos + n);
        pos += n;

        const auto record = protocol::ParseReply(datagram.empty() ? nullptr : datagram.data(), datagram.size());
        const bool acceptable = !datagram.empty() && datagram[0] >= 1 && datagram[0] <= 127;
        Check(record.has_value() == acceptable);
        if (!record) continue;
        // The record is the datagram's first 18 bytes; a short datagram leaves the rest zero.
        const std::size_t kept = std::min(n, kRecordSize);
        Check(std::equal(datagram.begin(), datagram.begin() + static_cast<std::ptrdiff_t>(kept), record->bytes.begin()));
        Check(std::all_of(record->bytes.begin() + static_cast<std::ptrdiff_t>(kept), record->bytes.end(),
                          [](std::uint8_t b) { return b == 0; }));
        CheckRecord(*record);

        const bool known = std::find(model.begin(), model.end(), *record) != model.end();
        const DeviceTable::AddResult result = table.Add(*record);
        if (known) {
            Check(result == DeviceTable::AddResult::Duplicate);
        } else if (model.size() < static_cast<std::size_t>(DeviceTable::kSlots)) {
            Check(result == DeviceTable::AddResult::Added);
            model.push_back(*record);
        } else {
            Check(result == DeviceTable::AddResult::Full);
        }
        CheckTable(table, model);
    }
    return 0;
}
