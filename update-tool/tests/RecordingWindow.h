#pragma once
// Test helpers: a window that records what the actions show, expected byte
// streams built independently of the code under test, and hex diffs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "update-tool/core/UpdateWindow.h"

namespace ferrik::testing {

using Bytes = std::vector<std::uint8_t>;

class RecordingWindow : public UpdateWindow {
public:
    void SetProgress(int position, std::int64_t) override {
        std::lock_guard lock(mutex_);
        progress.push_back(position);
    }
    void ShowDevicePath(const std::string& path) override {
        std::lock_guard lock(mutex_);
        paths.push_back(path);
    }
    void ShowStatus(const std::string& text) override {
        std::lock_guard lock(mutex_);
        statuses.push_back(text);
    }
    void ShowMessageBox(const std::string& text) override {
        std::lock_guard lock(mutex_);
        messages.push_back(text);
    }
    void SetButtonEnabled(ActionButton button, bool enabled) override {
        std::lock_guard lock(mutex_);
        (button == ActionButton::UsbUpdate ? usbEnabled : netEnabled) = enabled;
    }
    void ClearDeviceList() override {
        std::lock_guard lock(mutex_);
        ++listClears;
    }
    void EndProgram(const std::string& text, int status) override {
        std::lock_guard lock(mutex_);
        messages.push_back(text);
        endStatus = status;
    }

    std::vector<std::string> Paths() const {
        std::lock_guard lock(mutex_);
        return paths;
    }
    std::vector<std::string> Statuses() const {
        std::lock_guard lock(mutex_);
        return statuses;
    }

    mutable std::mutex mutex_;
    std::vector<int> progress;
    std::vector<std::string> paths;
    std::vector<std::string> statuses;
    std::vector<std::string> messages;
    bool usbEnabled = true;
    bool netEnabled = true;
    int listClears = 0;
    std::optional<int> endStatus;
};

inline Bytes Fill(std::size_t n, std::uint8_t value) { return Bytes(n, value); }

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A deterministic image of `size` bytes.
inline Bytes Image(std::size_t size, std::uint32_t seed = 7) {
    Bytes out(size);
    for (auto& b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    return out;
}

// The USB firmware stream for `image`, written out from the stream's rules:
// blocks (a short last block keeps the tail of the block before it, zero in
// the first), one pad block for an odd count, two trailer blocks, the sum.
inline Bytes UsbFirmwareStream(const Bytes& image) {
    Bytes body;
    Bytes block(256, 0);
    std::size_t blocks = 0;
    for (std::size_t at = 0; at < image.size(); at += 256) {
        const std::size_t n = std::min<std::size_t>(256, image.size() - at);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(at), n, block.begin());
        body.insert(body.end(), block.begin(), block.end());
        ++blocks;
    }
    if (blocks % 2) body.insert(body.end(), 256, 0x55);
    body.insert(body.end(), 512, 0x55);
    std::uint32_t sum = 0;
    for (auto b : body) sum += b;
    Bytes out{0x1B, 0x2B};
    out.insert(out.end(), body.begin(), body.end());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(sum >> (8 * i)));
    return out;
}

inline Bytes NetworkFirmwareStream(const Bytes& image) {
    Bytes out{0x1B, 0x2B};
    Bytes block(256, 0);
    for (std::size_t at = 0; at < image.size(); at += 256) {
        const std::size_t n = std::min<std::size_t>(256, image.size() - at);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(at), n, block.begin());
        out.insert(out.end(), block.begin(), block.end());
    }
    out.insert(out.end(), 768, 0x55);
    return out;
}

inline Bytes FontStream(const Bytes& font) {
    Bytes out{0x1B, 0x1D};
    Bytes block(256, 0);
    for (std::size_t at = 0; at < font.size(); at += 256) {
        const std::size_t n = std::min<std::size_t>(256, font.size() - at);
        std::copy_n(font.begin() + static_cast<std::ptrdiff_t>(at), n, block.begin());
        out.push_back(0x2A);
        out.insert(out.end(), block.begin(), block.end());
        out.push_back(0x2A);
    }
    return out;
}

// Equal, or a failure that shows the first difference as hex around it.
inline ::testing::AssertionResult SameBytes(const Bytes& expected, const Bytes& actual) {
    if (expected == actual) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    auto hex = [at](const Bytes& b) {
        std::string s;
        char d[4];
        const std::size_t from = at >= 8 ? at - 8 : 0;
        for (std::size_t i = from; i < std::min(b.size(), at + 8); ++i) {
            std::snprintf(d, sizeof d, "%02X ", b[i]);
            s += (i == at ? "[" : "") + std::string(d);
        }
        return s;
    };
    return ::testing::AssertionFailure() << "streams differ at byte " << at << " (expected " << expected.size()
                                         << " bytes, got " << actual.size() << ")\n  expected: " << hex(expected)
                                         << "\n  actual:   " << hex(actual);
}

inline Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A fresh temporary folder, removed at the end of the test.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/ferrik-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace ferrik::testing
