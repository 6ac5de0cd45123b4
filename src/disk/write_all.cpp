#include "disk/write_all.h"

#include <unistd.h>

#include <cerrno>

#include "base/result_codes.h"

namespace kestrune {

int WriteAll(int fd, const uint8_t* bytes, size_t length) {
    size_t written = 0;
    while (written < length) {
        const ssize_t n = ::write(fd, bytes + written, length - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FromErrno(errno);
        if (n == 0) return kErrDiskFull;
        written += static_cast<size_t>(n);
    }
    return kOk;
}

}  // namespace kestrune
