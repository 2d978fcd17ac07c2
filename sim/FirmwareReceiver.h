#pragma once
// The printer's side of the update tool's downloads:
//   firmware  1B 2B at the start of a stream, then 256-byte blocks; over USB
//             padded to an even block count, two blocks of 55 and a 4-byte
//             little-endian sum of every block byte; over TCP three blocks of 55
//             and no sum. A good image makes the printer restart.
//   font      1B 1D at the start of a USB stream, then frames of 2A, 256 bytes, 2A.
// Each decoder claims the rest of its stream and reports in Finish.
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/StreamDecoder.h"

namespace sim {

struct FirmwareReport {
    bool ok = false;
    std::uint64_t imageBlocks = 0;   // blocks before padding and trailer
    std::uint64_t paddingBlocks = 0; // USB: 1 when an all-55 block makes the count even
    std::uint32_t checksum = 0;      // USB: the sum received
    std::vector<std::string> lines;
};

// Checks a complete firmware stream (the bytes after 1B 2B).
FirmwareReport CheckFirmware(StreamKind kind, const std::vector<std::uint8_t>& body);
// Checks a complete font stream (the bytes after 1B 1D).
std::vector<std::string> CheckFont(const std::vector<std::uint8_t>& body, bool* ok = nullptr);

std::unique_ptr<StreamDecoder> MakeFirmwareReceiver();
std::unique_ptr<StreamDecoder> MakeFontReceiver();

}  // namespace sim
