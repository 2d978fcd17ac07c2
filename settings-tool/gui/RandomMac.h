#pragma once
// The random MAC offered for the next printer. The generator is seeded anew
// with the time in whole seconds at every call, so two calls within the same
// second give the same MAC.
#include <array>
#include <cstdint>

namespace cadmon::gui {

using MacBytes = std::array<std::uint8_t, 6>;

// Seeds state = seconds (low 32 bits), then draws three 15-bit numbers with
// state = state * 214013 + 2531011 (mod 2^32), r = bits 16..30; the MAC is
// r1 % 256, r1 / 256, r2 % 256, r2 / 256, r3 % 256, r3 / 256.
MacBytes GenerateRandomMac(std::int64_t secondsSinceEpoch);

}  // namespace cadmon::gui
