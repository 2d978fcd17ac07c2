#pragma once
// The paper of the simulated printer. What a stream prints (raster images,
// column graphics, text, feeds) lands on a Paper; a cut, an ESC @ after
// printing, or the end of the stream ends the receipt, which the ReceiptBook
// saves as one PNG (1 pixel per dot) and describes in one line:
//   "receipt 3: 576 x 1240 dots, partial cut, drawer pin 2"
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/Png.h"
#include "sim/StreamDecoder.h"

namespace sim {

// The printer's receipts: where they are saved and how they are numbered.
class ReceiptBook {
public:
    // Numbering goes on after the highest receipt already in the folder, so a
    // restart with the same folder keeps the receipts of earlier runs.
    ReceiptBook(std::string folder, unsigned headDots);
    unsigned HeadDots() const { return headDots_; }
    unsigned NextNumber() const { return next_; }
    // Saves "receipt-NNNN.png" in the folder, never over an existing file;
    // returns the receipt's line.
    std::string Save(const Bitmap& receipt, const std::string& ending, const std::vector<int>& drawerPins);
    static std::string FileName(unsigned number);  // "receipt-0003.png"

private:
    std::string folder_;
    unsigned headDots_;
    unsigned next_ = 1;
};

class Paper {
public:
    static constexpr unsigned kDefaultLineSpacing = 30;  // dots

    explicit Paper(ReceiptBook& book);

    // ESC @: a receipt printed since the last cut ends here (uncut).
    void Initialize(std::vector<std::string>& lines);
    // Characters into the line being composed; a full line is printed.
    void Text(ByteSpan text);
    // LF: prints the line and advances by the line spacing.
    void LineFeed();
    // ESC J: prints the line and advances `dots`.
    void Feed(unsigned dots);
    // ESC 3 n / ESC 2 (nothing: the default).
    void SetLineSpacing(std::optional<unsigned> dots);
    // GS v 0: `height` rows of `widthBytes` bytes, printed at once; each dot
    // becomes scaleX x scaleY dots.
    void Raster(ByteSpan data, unsigned widthBytes, unsigned height, unsigned scaleX, unsigned scaleY);
    // ESC *: columns of 8 or 24 dots (bytesPerColumn 1 or 3, top dot first)
    // into the line being composed.
    void Columns(ByteSpan data, unsigned columns, unsigned bytesPerColumn, unsigned scaleX, unsigned scaleY);
    void DrawerPulse(int pin);
    // Ends the receipt with a cut after feeding `dots`.
    void Cut(bool partial, unsigned dots, std::vector<std::string>& lines);
    // The stream ended: a receipt printed since the last cut ends uncut.
    void End(std::vector<std::string>& lines);

private:
    void PrintLine();
    void EnsureRows(std::uint64_t rows);
    std::uint8_t* Row(std::uint64_t y);  // null past the most a receipt keeps
    void Finish(const std::string& ending, std::vector<std::string>& lines);

    ReceiptBook& book_;
    unsigned width_;
    std::vector<std::uint8_t> dots_;   // the receipt so far, width_ per row
    std::uint64_t y_ = 0;              // where the next line prints
    std::uint64_t inkBottom_ = 0;      // rows that hold something printed
    bool printed_ = false;             // anything printed or fed since the last cut
    std::vector<std::uint8_t> line_;   // the line being composed: width_ x kLineRows
    unsigned lineX_ = 0;
    unsigned lineRows_ = 0;            // rows of the line that hold something
    unsigned spacing_ = kDefaultLineSpacing;
    std::vector<int> pins_;
};

}  // namespace sim
