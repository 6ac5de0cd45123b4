// Writing a whole buffer to a file descriptor, through short writes and interrupts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune {

// 0, the translated errno, or kErrDiskFull when the system takes nothing more.
int WriteAll(int fd, const uint8_t* bytes, size_t length);

}  // namespace kestrune
