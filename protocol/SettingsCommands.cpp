#include "protocol/SettingsCommands.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>

namespace protocol {
namespace {

// A zeroed message of exactly `length` bytes that starts with `head`.
Bytes Message(std::size_t length, std::initializer_list<std::uint8_t> head) {
    Bytes out(length, 0x00);
    std::copy(head.begin(), head.end(), out.begin());
    return out;
}

// The common shape of the list settings: 1F 1B f v 00 00.
Bytes ListSetting(std::uint8_t function, int position) {
    return Message(6, {0x1F, 0x1B, function, ListValue(position)});
}

void Put(Bytes& out, std::size_t offset, const Ipv4& address) {
    std::copy(address.begin(), address.end(), out.begin() + static_cast<std::ptrdiff_t>(offset));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

Bytes CutTest() { return {0x0A, 0x0A, 0x1D, 0x56, 0x01, 0x01}; }
Bytes CashDrawer() { return {0x1B, 0x70, 0x01, 0x01, 0x00, 0x00}; }
Bytes Dhcp(bool on) { return {0x1F, 0x1B, 0x65, static_cast<std::uint8_t>(on ? 0x01 : 0x00)}; }

Bytes SetIp(const Ipv4& ip, const Ipv4& mask, const Ipv4& gateway) {
    // 1F 1B 64 00, ip, mask, six zero bytes, gateway, 00
    Bytes out = Message(23, {0x1F, 0x1B, 0x64, 0x00});
    Put(out, 4, ip);
    Put(out, 8, mask);
    Put(out, 18, gateway);
    return out;
}

Bytes SetMac(const Mac& mac) {
    Bytes out = Message(10, {0x1F, 0x1B, 0x67});
    std::copy(mac.begin(), mac.end(), out.begin() + 3);
    return out;
}

Bytes Buzzer(int position) { return ListSetting(0x6A, position); }
Bytes BlankFeed(int position) { return ListSetting(0x6B, position); }

Bytes Density(int position) {
    // The density value is the seventh byte, after three zero bytes.
    Bytes out = Message(7, {0x1F, 0x1B, 0x01});
    out[6] = ListValue(position);
    return out;
}

Bytes CodePage(int position) { return ListSetting(0x05, position); }
Bytes Reprint(int position) { return ListSetting(0x66, position); }
Bytes CharacterSet(int position) { return ListSetting(0x6C, position); }
Bytes PrintSpeed(int position) { return ListSetting(0x6D, position); }

// 1F 1B 06, vendor ID low byte first, product ID low byte first, 00.
Bytes UsbIdentityX() { return {0x1F, 0x1B, 0x06, 0xC9, 0x1F, 0x16, 0x20, 0x00}; }
Bytes UsbIdentityG() { return {0x1F, 0x1B, 0x06, 0x71, 0x04, 0x55, 0x00, 0x00}; }

std::optional<Bytes> WifiCredentials(std::string_view nameBytes, std::string_view passwordBytes) {
    if (nameBytes.size() + passwordBytes.size() > kWifiNameAndPasswordMax) return std::nullopt;
    Bytes out = Message(kWifiMessageSize, {0x1F, 0x1B, 0x68});
    std::copy(nameBytes.begin(), nameBytes.end(), out.begin() + 3);
    // The byte after the name stays 00; the password follows it.
    std::copy(passwordBytes.begin(), passwordBytes.end(),
              out.begin() + 4 + static_cast<std::ptrdiff_t>(nameBytes.size()));
    return out;
}

Bytes WifiStaticHeader() { return {0x1F, 0x1B, 0x69}; }

Bytes WifiStaticBody(const Ipv4& ip, const Ipv4& mask, const Ipv4& gateway) {
    // 00, ip, mask, six zero bytes, gateway, 00
    Bytes out(20, 0x00);
    Put(out, 1, ip);
    Put(out, 5, mask);
    Put(out, 15, gateway);
    return out;
}

std::string Ipv4Text(const Ipv4& a) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", int{a[0]}, int{a[1]}, int{a[2]}, int{a[3]});
    return text;
}

std::optional<std::uint8_t> HexBoxToByte(std::string_view text) {
    if (text.empty() || text.size() > 2) return std::nullopt;
    int value = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) return std::nullopt;
        value = value * 16 + digit;
    }
    return static_cast<std::uint8_t>(value);
}

}  // namespace protocol
