#pragma once
// The monospace font printer-sim prints text with: cells of 12 x 24 dots,
// like a receipt printer's font A (48 characters on an 80 mm roll).
#include <cstdint>

namespace sim {

inline constexpr unsigned kCellWidth = 12;
inline constexpr unsigned kCellHeight = 24;

// Whether dot (x, y) of the character's cell is inked.
bool GlyphDot(std::uint8_t character, unsigned x, unsigned y);

}  // namespace sim
