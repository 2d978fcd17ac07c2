#pragma once
// Writing a whole buffer to a descriptor, the loop every writer of a pipe,
// socket or file needs.
#include <cstddef>

namespace base {

// Writes all `size` bytes, going on after partial writes and EINTR. False
// when a write fails or takes nothing; `error` (when given) then holds errno,
// or EIO for a write that took nothing.
bool WriteAll(int fd, const void* data, std::size_t size, int* error = nullptr);

}  // namespace base
