#include "protocol/Firmware.h"

#include <cstring>

namespace protocol {

// Eight bytes at a time: the bytes of a word are added pairwise into four
// 16-bit lanes, which cannot overflow within a run of 128 words, then the
// lanes are folded into the sum.
std::uint32_t FirmwareChecksum(const std::uint8_t* data, std::size_t length, std::uint32_t sum) {
    constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    std::size_t i = 0;
    while (length - i >= 8) {
        std::uint64_t lanes = 0;
        for (int run = 0; run < 128 && length - i >= 8; ++run, i += 8) {
            std::uint64_t word;
            std::memcpy(&word, data + i, sizeof word);
            lanes += (word & kLowBytes) + ((word >> 8) & kLowBytes);
        }
        sum += static_cast<std::uint32_t>((lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) +
                                          (lanes >> 48));
    }
    for (; i < length; ++i) sum += data[i];
    return sum;
}

}  // namespace protocol
