#pragma once
// Small POSIX I/O helper shared by the package readers.
#include <cstddef>
#include <cstdint>

namespace payload {

// Reads exactly `n` bytes at `offset`; false on error or end of file.
bool PreadAll(int fd, std::uint64_t offset, void* buf, std::size_t n);

}  // namespace payload
