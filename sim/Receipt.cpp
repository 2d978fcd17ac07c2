#include "sim/Receipt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "sim/Font.h"

namespace sim {
namespace {

constexpr unsigned kLineRows = 24;
// A receipt keeps at most this many rows (16 m of paper); what a stream
// prints further down is not kept.
constexpr std::uint64_t kMaxRows = 1u << 17;

}  // namespace

std::string ReceiptBook::FileName(unsigned number) {
    char name[32];
    std::snprintf(name, sizeof name, "receipt-%04u.png", number);
    return name;
}

ReceiptBook::ReceiptBook(std::string folder, unsigned headDots) : folder_(std::move(folder)), headDots_(headDots) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
        const std::string name = entry.path().filename().string();
        unsigned number = 0;
        char tail[8] = {};
        if (std::sscanf(name.c_str(), "receipt-%u%7s", &number, tail) == 2 && std::strcmp(tail, ".png") == 0 &&
            number >= next_ && number < 0xFFFFFFFFu) {
            next_ = number + 1;
        }
    }
}

std::string ReceiptBook::Save(const Bitmap& receipt, const std::string& ending, const std::vector<int>& drawerPins) {
    // A file that appeared since (another printer-sim on the same folder) is
    // stepped over, not overwritten.
    unsigned number = next_++;
    while (std::filesystem::exists(folder_ + "/" + FileName(number))) number = next_++;
    std::string line = "receipt " + std::to_string(number) + ": " + std::to_string(receipt.width) + " x " +
                       std::to_string(receipt.height) + " dots, " + ending;
    for (int pin : drawerPins) line += ", drawer pin " + std::to_string(pin);
    std::string error;
    if (!WritePng(folder_ + "/" + FileName(number), receipt, &error)) line += " (not saved: " + error + ")";
    return line;
}

Paper::Paper(ReceiptBook& book) : book_(book), width_(book.HeadDots()), line_(width_ * kLineRows, 0) {}

void Paper::EnsureRows(std::uint64_t rows) {
    rows = std::min(rows, kMaxRows);
    if (rows * width_ > dots_.size()) dots_.resize(rows * width_, 0);
    inkBottom_ = std::max(inkBottom_, rows);
}

std::uint8_t* Paper::Row(std::uint64_t y) { return y < kMaxRows ? &dots_[y * width_] : nullptr; }

void Paper::PrintLine() {
    if (lineRows_ > 0) {
        EnsureRows(y_ + lineRows_);
        for (unsigned r = 0; r < lineRows_; ++r) {
            std::uint8_t* to = Row(y_ + r);
            if (!to) break;
            const std::uint8_t* from = &line_[r * width_];
            for (unsigned x = 0; x < width_; ++x) to[x] |= from[x];
        }
        std::fill(line_.begin(), line_.end(), 0);
        printed_ = true;
    }
    lineX_ = 0;
    lineRows_ = 0;
}

void Paper::Text(ByteSpan text) {
    for (std::uint8_t c : text) {
        if (c == '\r') continue;
        unsigned advance = kCellWidth;
        if (c == '\t') advance = kCellWidth * (8 - (lineX_ / kCellWidth) % 8);
        if (lineX_ + kCellWidth > width_) LineFeed();
        if (c != '\t') {
            for (unsigned y = 0; y < kCellHeight; ++y)
                for (unsigned x = 0; x < kCellWidth && lineX_ + x < width_; ++x)
                    if (GlyphDot(c, x, y)) line_[y * width_ + lineX_ + x] = 1;
            lineRows_ = std::max(lineRows_, kCellHeight);
        }
        lineX_ = std::min(width_, lineX_ + advance);
    }
}

void Paper::LineFeed() {
    PrintLine();
    y_ += spacing_;
    printed_ = true;
}

void Paper::Feed(unsigned dots) {
    PrintLine();
    y_ += dots;
    if (dots > 0) printed_ = true;
}

void Paper::SetLineSpacing(std::optional<unsigned> dots) { spacing_ = dots.value_or(kDefaultLineSpacing); }

void Paper::Raster(ByteSpan data, unsigned widthBytes, unsigned height, unsigned scaleX, unsigned scaleY) {
    PrintLine();
    const std::uint64_t rows = static_cast<std::uint64_t>(height) * scaleY;
    EnsureRows(y_ + rows);
    for (unsigned r = 0; r < height; ++r) {
        const std::uint8_t* src = data.data() + static_cast<std::size_t>(r) * widthBytes;
        for (unsigned sy = 0; sy < scaleY; ++sy) {
            std::uint8_t* to = Row(y_ + static_cast<std::uint64_t>(r) * scaleY + sy);
            if (!to) break;
            for (unsigned b = 0; b < widthBytes; ++b) {
                if (src[b] == 0) continue;
                for (unsigned bit = 0; bit < 8; ++bit) {
                    if (!((src[b] >> (7 - bit)) & 1u)) continue;
                    for (unsigned sx = 0; sx < scaleX; ++sx) {
                        const std::uint64_t x = (static_cast<std::uint64_t>(b) * 8 + bit) * scaleX + sx;
                        if (x < width_) to[x] = 1;
                    }
                }
            }
        }
    }
    y_ += rows;
    printed_ = true;
}

void Paper::Columns(ByteSpan data, unsigned columns, unsigned bytesPerColumn, unsigned scaleX, unsigned scaleY) {
    for (unsigned c = 0; c < columns; ++c) {
        for (unsigned dot = 0; dot < bytesPerColumn * 8; ++dot) {
            if (!((data[c * bytesPerColumn + dot / 8] >> (7 - dot % 8)) & 1u)) continue;
            for (unsigned sy = 0; sy < scaleY; ++sy) {
                const unsigned y = dot * scaleY + sy;
                if (y >= kLineRows) continue;
                for (unsigned sx = 0; sx < scaleX; ++sx) {
                    const unsigned x = lineX_ + c * scaleX + sx;
                    if (x < width_) line_[y * width_ + x] = 1;
                }
            }
        }
    }
    lineRows_ = std::max(lineRows_, std::min(kLineRows, bytesPerColumn * 8 * scaleY));
    lineX_ = std::min(width_, lineX_ + columns * scaleX);
}

void Paper::DrawerPulse(int pin) { pins_.push_back(pin); }

void Paper::Finish(const std::string& ending, std::vector<std::string>& lines) {
    PrintLine();
    const std::uint64_t height = std::min(std::max(y_, inkBottom_), kMaxRows);
    if (printed_ && height > 0) {
        EnsureRows(height);
        Bitmap receipt(width_, static_cast<unsigned>(height));
        std::copy(dots_.begin(), dots_.begin() + static_cast<std::ptrdiff_t>(height * width_), receipt.dots.begin());
        lines.push_back(book_.Save(receipt, ending, pins_));
    }
    dots_.clear();
    y_ = inkBottom_ = 0;
    printed_ = false;
    pins_.clear();
}

void Paper::Initialize(std::vector<std::string>& lines) {
    Finish("no cut", lines);
    spacing_ = kDefaultLineSpacing;
}

void Paper::Cut(bool partial, unsigned dots, std::vector<std::string>& lines) {
    Feed(dots);
    Finish(partial ? "partial cut" : "full cut", lines);
}

void Paper::End(std::vector<std::string>& lines) { Finish("no cut", lines); }

}  // namespace sim
