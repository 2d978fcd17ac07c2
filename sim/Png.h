#pragma once
// Receipts as pictures: a 1-bit bitmap, one pixel per printer dot, saved as
// a grayscale PNG (ink black, paper white).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Bitmap {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<std::uint8_t> dots;  // width x height, row by row; 1 = ink

    Bitmap() = default;
    Bitmap(unsigned w, unsigned h) : width(w), height(h), dots(static_cast<std::size_t>(w) * h, 0) {}
    bool Ink(unsigned x, unsigned y) const { return dots[static_cast<std::size_t>(y) * width + x] != 0; }
    bool operator==(const Bitmap&) const = default;
};

// A 1-bit grayscale PNG; false with `error` set when the file cannot be written.
bool WritePng(const std::string& path, const Bitmap& bitmap, std::string* error);
// Any PNG libpng reads; a pixel darker than mid-gray is ink.
std::optional<Bitmap> ReadPng(const std::string& path, std::string* error);

}  // namespace sim
