#pragma once
// Print head width of a receipt printer by its paper roll width, at 203 dpi.
//
//   paper   head     printed width
//   58 mm   384 dots  48 mm
//   72 mm   512 dots  64 mm
//   80 mm   576 dots  72 mm
//   110 mm  832 dots 104 mm
//
// A roll between two of these gets the head of the narrower one; a roll
// narrower than 58 mm prints 8 mm less than its width (whole bytes of dots).
// Other resolutions scale the printed width.

namespace protocol {

struct HeadRow {
    int paperMm;
    int printedMm;
    int dots203;
};

inline constexpr HeadRow kHeadRows[] = {
    {58, 48, 384},
    {72, 64, 512},
    {80, 72, 576},
    {110, 104, 832},
};

// Dots the head prints across a roll of `paperMm` at `dpi`; a multiple of 8, at least 8.
constexpr int HeadDotsForPaper(int paperMm, int dpi = 203) {
    if (dpi <= 0) dpi = 203;
    int printedMm = paperMm - 8;
    int dots = -1;
    for (const HeadRow& row : kHeadRows) {
        if (row.paperMm <= paperMm) {
            printedMm = row.printedMm;
            dots = row.dots203;
        }
    }
    if (dots < 0 || dpi != 203) {
        // 1 mm = dpi / 25.4 dots, rounded down to whole bytes.
        dots = static_cast<int>(static_cast<long long>(printedMm) * dpi * 10 / 254) / 8 * 8;
    }
    return dots < 8 ? 8 : dots;
}

static_assert(HeadDotsForPaper(58) == 384 && HeadDotsForPaper(80) == 576);
static_assert(HeadDotsForPaper(72) == 512 && HeadDotsForPaper(110) == 832);
static_assert(HeadDotsForPaper(76) == 512 && HeadDotsForPaper(50) == 328);

}  // namespace protocol
