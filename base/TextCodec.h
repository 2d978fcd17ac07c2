#pragma once
// Conversions between the installer's UTF-16 texts and the UTF-8 used for
// file names, log lines and the console. Invalid input never throws: bad
// sequences become U+FFFD.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace base {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Decodes the bytes of a text file: UTF-16 LE after a BOM FF FE (the BOM is
// dropped when dropBom is true and kept as U+FEFF otherwise); without that BOM
// the bytes are taken as UTF-16 LE as well when utf16WithoutBom is true, and
// as UTF-8 otherwise. An odd trailing byte is ignored.
std::u16string DecodeTextFile(std::span<const std::uint8_t> bytes, bool dropBom,
                              bool utf16WithoutBom);

// Encodes text as UTF-16 LE, with the BOM FF FE in front when withBom is true.
std::string EncodeUtf16Le(std::u16string_view text, bool withBom);

// Reads a whole file; nullopt when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& file);

// ASCII case-insensitive comparison (names in the package are compared so).
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool LessIgnoreCase(std::string_view a, std::string_view b);

}  // namespace base
