#pragma once
// The settings and test messages of the settings utility, byte for byte.
// List values are the zero-based position of the chosen entry; -1 (nothing
// chosen) is sent as FF.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace protocol {

using Bytes = std::vector<std::uint8_t>;
using Ipv4 = std::array<std::uint8_t, 4>;  // most significant octet first
using Mac = std::array<std::uint8_t, 6>;

inline std::uint8_t ListValue(int position) {
    return position < 0 ? 0xFF : static_cast<std::uint8_t>(position);
}

// Main window
Bytes CutTest();                                  // 0A 0A 1D 56 01 01
Bytes CashDrawer();                               // 1B 70 01 01 00 00
Bytes Dhcp(bool on);                              // 1F 1B 65 01|00
Bytes SetIp(const Ipv4& ip, const Ipv4& mask, const Ipv4& gateway);  // 23 bytes
Bytes SetMac(const Mac& mac);                     // 10 bytes
Bytes Buzzer(int position);                       // 1F 1B 6A v 00 00
Bytes BlankFeed(int position);                    // 1F 1B 6B v 00 00
// Other settings
Bytes Density(int position);                      // 1F 1B 01 00 00 00 v
Bytes CodePage(int position);                     // 1F 1B 05 v 00 00
Bytes Reprint(int position);                      // 1F 1B 66 v 00 00
Bytes CharacterSet(int position);                 // 1F 1B 6C v 00 00
Bytes PrintSpeed(int position);                   // 1F 1B 6D v 00 00
Bytes UsbIdentityX();                             // 1F 1B 06 C9 1F 16 20 00
Bytes UsbIdentityG();                             // 1F 1B 06 71 04 55 00 00
// WIFI
inline constexpr std::size_t kWifiMessageSize = 128;
inline constexpr std::size_t kWifiNameAndPasswordMax = 124;  // name + password bytes
// Empty when name and password together do not fit (more than 124 bytes).
std::optional<Bytes> WifiCredentials(std::string_view nameBytes, std::string_view passwordBytes);
Bytes WifiStaticHeader();                         // 1F 1B 69
Bytes WifiStaticBody(const Ipv4& ip, const Ipv4& mask, const Ipv4& gateway);  // 20 bytes

// "%d.%d.%d.%d": an address as the windows and the link write it.
std::string Ipv4Text(const Ipv4& address);

// Hex box to byte: one or two hexadecimal digits, one digit d meaning 0d.
// Empty for anything else.
std::optional<std::uint8_t> HexBoxToByte(std::string_view text);

}  // namespace protocol
