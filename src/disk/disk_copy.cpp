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
#include "disk/bad_areas.h"
#include "disk/block_devices.h"
#include "disk/disk_rescue.h"
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
        result = skipBad ? RescueLoop(destination.string() + ".map") : CopyLoop();
        source.medium = std::move(device.medium);
        device.Close();
        // The image is exactly what was copied, even over a longer old file; a rescue's
        // image is as long as the area, its map saying which parts are still missing.
        if (::ftruncate(file, static_cast<off_t>(bytesWritten)) != 0 && result == kOk) result = FromErrno(errno);
        if (::close(file) != 0 && result == kOk) result = FromErrno(errno);
        file = -1;
        keptAs = destination;
        if (result != kOk && !skipBad) KeepPartOnly(destination);
    }
    return result;
}

int DiskCopyJob::RescueLoop(const std::filesystem::path& mapPath) {
    const uint64_t sector = static_cast<uint64_t>(sectorSize);
    const uint64_t totalBytes = sectorCount * sector;
    map = RescueMap(totalBytes);
    std::string error;
    if (resume && map.Load(mapPath, totalBytes, error) == kErrInvalidData) return kErrInvalidData;
    // A fresh copy writes over whatever file was there: nothing of it is known to be the source's.
    if (!resume && ::ftruncate(file, 0) != 0) return FromErrno(errno);
    if (::ftruncate(file, static_cast<off_t>(totalBytes)) != 0) return FromErrno(errno);
    bytesWritten = totalBytes;
    RescueSettings settings;
    settings.sectorBytes = static_cast<uint32_t>(sectorSize);
    settings.clusterBytes = kReadPieceBytes;
    settings.retries = retries;
    settings.minReadRate = minReadRate;
    uint64_t lastSave = 0;
    const uint64_t startTime = clockMs();
    uint64_t lastEstimate = startTime, rescuedAtStart = map.Bytes('+');
    int secondsRemaining = -1;
    // Every bad sector is asked for again in the retry passes, which a watched medium refuses.
    RescueCopy copy(
        UnwatchedMedium(*device.medium), startSector * sector, file, map, settings,
        [&](const RescueProgress& p) {
            if (onRescue) onRescue(p);
            const uint64_t now = clockMs();
            if (now - lastEstimate >= kEstimateIntervalMs) {
                const uint64_t speed = std::max<uint64_t>(1, (p.rescued - rescuedAtStart) / std::max<uint64_t>(1, (now - startTime) / 1000));
                secondsRemaining = static_cast<int>(std::min<uint64_t>(map.Bytes('?') / speed, INT32_MAX));
                lastEstimate = now;
            }
            const int percent = static_cast<int>((p.rescued + p.failing) * 100 / std::max<uint64_t>(1, p.total));
            return progress ? progress(userData, percent, p.rescued / sector, p.total / sector, secondsRemaining) : 0;
        },
        [&](bool now) {
            // Kept up to date every few seconds, and at the end: a crash loses little.
            const uint64_t at = clockMs();
            if (!now && at - lastSave < kEstimateIntervalMs) return;
            lastSave = at;
            map.Save(mapPath, commandLine);
        });
    const int rc = copy.Run();
    map.Save(mapPath, commandLine);
    badRanges.clear();
    for (const RescueMap::Block& b : map.blocks())
        if (b.status != '+') badRanges.emplace_back(b.pos / sector, (b.size + sector - 1) / sector);
    return rc;
}

int DiskCopyJob::WriteBadSectorMap(const std::filesystem::path& mapPath) const {
    // A link there is not written through: the map is written beside and renamed over it.
    struct stat there {};
    if (::lstat(mapPath.c_str(), &there) == 0 && !S_ISREG(there.st_mode)) return kErrAccessDenied;
    return map.Save(mapPath, commandLine);
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
        if (ReadExactly(*device.medium, base + done, buffer.data(), piece, got) != kOk) return kErrReadFault;
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
