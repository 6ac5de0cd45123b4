#include "disk/disk_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <vector>

#include "disk/block_devices.h"
#include "disk/result_codes.h"

namespace kestrune {

namespace {

constexpr uint64_t kEstimateIntervalMs = 5000;

uint64_t SteadyMilliseconds() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

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

// Opens the image to write, refusing anything that is not a plain file and the file the
// copy reads from: an image must never be written over its own source.
int OpenDestination(const std::filesystem::path& destination, const DiskLocation& source,
                    int& fd) {
    struct stat destStat {};
    if (::stat(destination.c_str(), &destStat) == 0) {
        if (S_ISDIR(destStat.st_mode)) return kErrDirectory;
        if (!S_ISREG(destStat.st_mode)) return kErrAccessDenied;
        struct stat sourceStat {};
        if (::stat(source.path.c_str(), &sourceStat) == 0 && sourceStat.st_dev == destStat.st_dev &&
            sourceStat.st_ino == destStat.st_ino)
            return kErrAccessDenied;
    }
    fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) return FromErrno(errno);
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        fd = -1;
        return kErrAccessDenied;
    }
    return kOk;
}

}  // namespace

int DiskCopyJob::Run(int disk, uint64_t start, uint64_t count,
                     const std::filesystem::path& destination, CopyProgressFn callback,
                     void* user) {
    sectorSize = 512;
    startSector = start;
    sectorCount = count;
    progress = callback;
    userData = user;
    bytesWritten = 0;
    if (!clockMs) clockMs = SteadyMilliseconds;

    DiskLocation location;
    if (int rc = ResolveDisk(disk, location); rc != kOk) return rc;
    if (int rc = OpenDiskSource(device, disk); rc != kOk) {
        device.Close();
        return rc;
    }
    if (location.isBlockDevice) {
        int fd = -1;
        uint64_t length = 0;
        DiskGeometry geometry;
        if (OpenReadOnly(location.path, fd, length) == kOk) {
            QueryGeometry(fd, length, geometry);
            ::close(fd);
        }
        sectorSize = static_cast<int>(geometry.bytesPerSector);
    }
    const uint64_t total = device.totalSectors;
    if (sectorCount == 0 && startSector < total) sectorCount = total - startSector;
    if (startSector > total || sectorCount > total - startSector) {
        device.Close();
        return kErrInvalidParameter;
    }

    int result = OpenDestination(destination, location, file);
    if (result == kOk) {
        result = CopyLoop();
        // The image is exactly what was copied, even over a longer old file.
        if (::ftruncate(file, static_cast<off_t>(bytesWritten)) != 0 && result == kOk)
            result = FromErrno(errno);
        if (::close(file) != 0 && result == kOk) result = FromErrno(errno);
        file = -1;
    }
    device.Close();
    return result;
}

int DiskCopyJob::CopyLoop() {
    std::vector<uint8_t> buffer(kReadPieceBytes);
    const uint64_t sector = static_cast<uint64_t>(sectorSize);
    const uint64_t totalBytes = sectorCount * sector;
    uint64_t done = 0;
    const uint64_t startTime = clockMs();
    uint64_t lastEstimate = startTime;
    int secondsRemaining = -1;
    const uint64_t base = startSector * sector;

    while (done < totalBytes) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(kReadPieceBytes, totalBytes - done));
        size_t got = 0;
        if (ReadExactly(*device.medium, base + done, buffer.data(), piece, got) != kOk)
            return kErrReadFault;
        if (int rc = WriteAll(file, buffer.data(), piece); rc != kOk) return rc;
        done += piece;
        bytesWritten = done;

        const uint64_t now = clockMs();
        if (now - lastEstimate >= kEstimateIntervalMs) {
            uint64_t elapsed = (now - startTime) / 1000;
            if (elapsed == 0) elapsed = 1;
            uint64_t speed = done / elapsed;
            if (speed == 0) speed = 1;
            secondsRemaining = static_cast<int>(std::min<uint64_t>((totalBytes - done) / speed, INT32_MAX));
            lastEstimate = now;
        }
        if (progress) {
            const int percent = static_cast<int>(done * 100 / totalBytes);
            if (int stop = progress(userData, percent, done / sector, totalBytes / sector,
                                    secondsRemaining);
                stop != 0)
                return stop;
        }
    }
    return kOk;
}

}  // namespace kestrune
