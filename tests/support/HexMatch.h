#pragma once
// Byte comparison for tests: a mismatch is shown as two hex dumps with the
// first differing offset, so a wrong byte is visible at a glance.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testhex {

// "1F 1B 64": any range of bytes (vector, array, string) as upper-case hex.
template <typename Range>
std::string Hex(const Range& bytes) {
    std::string out;
    char digits[4];
    bool first = true;
    for (const auto byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(static_cast<std::uint8_t>(byte)));
        if (!first) out += ' ';
        out += digits;
        first = false;
    }
    return out;
}

template <typename A, typename B>
::testing::AssertionResult SameBytes(const A& expected, const B& actual) {
    const std::vector<std::uint8_t> e(std::begin(expected), std::end(expected));
    const std::vector<std::uint8_t> a(std::begin(actual), std::end(actual));
    if (e == a) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < e.size() && at < a.size() && e[at] == a[at]) ++at;
    return ::testing::AssertionFailure()
           << "bytes differ at offset " << at << " (expected " << e.size() << " bytes, got " << a.size()
           << ")\n  expected: " << Hex(e) << "\n  actual:   " << Hex(a);
}

}  // namespace testhex
