#pragma once
// The update tool's download streams, byte for byte: firmware over USB and
// TCP, and the font file over USB.
//
//   USB firmware  1B 2B, the image in 256-byte blocks, one block of 55 when the
//                 count of blocks is odd, two blocks of 55, then the checksum
//                 (sum of every byte after 1B 2B, 4 bytes, least significant first)
//   TCP firmware  1B 2B, the image in 256-byte blocks, three blocks of 55
//   USB font      1B 1D, then per block of the file: 2A, the 256 bytes, 2A
#include <cstddef>
#include <cstdint>

namespace protocol {

inline constexpr std::uint8_t kEnterFirmware[] = {0x1B, 0x2B};
inline constexpr std::uint8_t kEnterFont[] = {0x1B, 0x1D};
inline constexpr std::size_t kFirmwareBlockSize = 256;
inline constexpr std::size_t kFontFrameSize = kFirmwareBlockSize + 2;
inline constexpr std::uint8_t kFontFrameMark = 0x2A;
inline constexpr std::uint8_t kFirmwareFillByte = 0x55;
inline constexpr int kUsbTrailerBlocks = 2;      // after the padding block, if any
inline constexpr int kNetworkTrailerBlocks = 3;

// Adds every byte to `sum`, modulo 2^32.
std::uint32_t FirmwareChecksum(const std::uint8_t* data, std::size_t length, std::uint32_t sum);

}  // namespace protocol
