#include "disk/disk_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "base/result_codes.h"
#include "base/steady_clock.h"
#include "disk/block_devices.h"
#include "disk/write_all.h"

namespace kestrune {

namespace {

constexpr uint64_t kEstimateIntervalMs = 5000;

// Opens the image to write, refusing anything that is not a plain file and the file the
// copy reads from: an image must never be written over its own source.
int OpenDestination(const std::filesystem::path& destination, const DiskLocation& source,
                    int& fd) {
    struct stat destStat {};
    if (::lstat(destination.c_str(), &destStat) == 0) {
        // A link could send the image over any file the user running us may write.
        if (S_ISLNK(destStat.st_mode)) return kErrLinkRefused;
        if (S_ISDIR(destStat.st_mode)) return kErrDirectory;
        if (!S_ISREG(destStat.st_mode)) return kErrAccessDenied;
        struct stat sourceStat {};
        if (::stat(source.path.c_str(), &sourceStat) == 0 && sourceStat.st_dev == destStat.st_dev &&
            sourceStat.st_ino == destStat.st_ino)
            return kErrAccessDenied;
    }
    fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0644);
    if (fd < 0) return FromErrno(errno);
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        fd = -1;
        return kErrAccessDenied;
    }
    return kOk;
}

// "disk.img" becomes "disk.partial.img", then "disk.partial(1).img", ... whichever is free.
std::filesystem::path RenameAsPartial(const std::filesystem::path& image) {
    const std::string stem = image.stem().string(), extension = image.extension().string();
    for (unsigned n = 0; n < 1000; ++n) {
        const std::string suffix = n == 0 ? ".partial" : ".partial(" + std::to_string(n) + ")";
        const std::filesystem::path partial = image.parent_path() / (stem + suffix + extension);
        if (::renameat2(AT_FDCWD, image.c_str(), AT_FDCWD, partial.c_str(), RENAME_NOREPLACE) == 0) return partial;
        if (errno != EEXIST) break;
    }
    return {};
}

}  // namespace

int DiskCopyJob::Run(int disk, uint64_t start, uint64_t count, const std::filesystem::path& destination,
                     CopyProgressFn callback, void* user) {
    DiskLocation location;
    if (int rc = ResolveDisk(disk, location); rc != kOk) return rc;
    SectorSource source;
    if (int rc = OpenDiskSource(source, disk); rc != kOk) return rc;
    int bytes = 512;
    if (location.isBlockDevice) {
        DiskGeometry geometry;
        if (DiskGeometryOf(disk, geometry) == kOk) bytes = static_cast<int>(geometry.bytesPerSector);
    }
    return Copy(source, bytes, start, count, destination, location.path, callback, user);
}

int DiskCopyJob::Copy(SectorSource& source, int sectorBytes, uint64_t start, uint64_t count,
                      const std::filesystem::path& destination, const std::filesystem::path& sourcePath,
                      CopyProgressFn callback, void* user) {
    sectorSize = sectorBytes;
    startSector = start;
    sectorCount = count;
    progress = callback;
    userData = user;
    bytesWritten = 0;
    badRanges.clear();
    keptAs.clear();
    if (!clockMs) clockMs = SteadyMilliseconds;
    if (!source.IsOpen() || sectorSize <= 0) return kErrInvalidHandle;
    const uint64_t total = source.totalSectors;
    if (sectorCount == 0 && startSector < total) sectorCount = total - startSector;
    if (startSector > total || sectorCount > total - startSector) return kErrInvalidParameter;
    DiskLocation location;
    location.path = sourcePath;
    int result = OpenDestination(destination, location, file);
    if (result == kOk) {
        device.medium = std::move(source.medium);
        device.totalSectors = source.totalSectors;
        result = CopyLoop();
        source.medium = std::move(device.medium);
        device.Close();
        // The image is exactly what was copied, even over a longer old file.
        if (::ftruncate(file, static_cast<off_t>(bytesWritten)) != 0 && result == kOk) result = FromErrno(errno);
        if (::close(file) != 0 && result == kOk) result = FromErrno(errno);
        file = -1;
        keptAs = destination;
        if (result != kOk) KeepPartOnly(destination);
    }
    return result;
}

int DiskCopyJob::WriteBadSectorMap(const std::filesystem::path& mapPath) const {
    std::string text = "# sectors of " + std::to_string(sectorSize) +
                       " bytes that could not be read, counted from the image's start\n# first-sector count\n";
    for (const auto& [first, length] : badRanges) text += std::to_string(first) + " " + std::to_string(length) + "\n";
    const int fd = ::open(mapPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0644);
    if (fd < 0) return FromErrno(errno);
    struct stat opened {};
    int result = ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) ? kOk : kErrAccessDenied;
    if (result == kOk) result = WriteAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (::close(fd) != 0 && result == kOk) result = FromErrno(errno);
    return result;
}

void DiskCopyJob::KeepPartOnly(const std::filesystem::path& destination) {
    // An image cut short must not pass for a copy: it is removed when empty, otherwise
    // renamed so that its name says it holds only part of the source.
    keptAs.clear();
    if (bytesWritten == 0) {
        ::unlink(destination.c_str());
        return;
    }
    keptAs = RenameAsPartial(destination);
    if (keptAs.empty()) ::unlink(destination.c_str());
}

void DiskCopyJob::ReadAroundDamage(uint64_t offset, uint8_t* buffer, size_t length, uint64_t firstSector) {
    const size_t sector = static_cast<size_t>(sectorSize);
    for (size_t at = 0; at < length; at += sector) {
        size_t got = 0;
        if (ReadExactly(*device.medium, offset + at, buffer + at, sector, got) == kOk) continue;
        std::memset(buffer + at, 0, sector);
        const uint64_t bad = firstSector + at / sector;
        if (!badRanges.empty() && badRanges.back().first + badRanges.back().second == bad)
            ++badRanges.back().second;
        else
            badRanges.emplace_back(bad, 1);
    }
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
        if (ReadExactly(*device.medium, base + done, buffer.data(), piece, got) != kOk) {
            if (!skipBad) return kErrReadFault;
            ReadAroundDamage(base + done, buffer.data(), piece, (done / sector));
        }
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
