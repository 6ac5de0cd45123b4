#include "disk/sector_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/result_codes.h"
#include "disk/bad_areas.h"
#include "disk/block_devices.h"
#include "disk/image_containers.h"

namespace kestrune {

FileMedium::~FileMedium() {
    if (fd_ >= 0) ::close(fd_);
}

void FileMedium::WillRead(uint64_t offset, uint64_t length) {
    // The system reads the range into its cache in the background (for a file and for a
    // block device alike); a refusal costs nothing but the head start.
    ::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

int FileMedium::ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) {
    got = 0;
    if (offset > static_cast<uint64_t>(INT64_MAX)) return kErrInvalidParameter;
    for (;;) {
        const ssize_t n = ::pread(fd_, buffer, length, static_cast<off_t>(offset));
        if (n >= 0) {
            got = static_cast<size_t>(n);
            return kOk;
        }
        if (errno != EINTR) return FromErrno(errno);
    }
}

int MemoryMedium::ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) {
    got = 0;
    if (offset >= bytes_.size()) return kOk;
    got = static_cast<size_t>(std::min<uint64_t>(length, bytes_.size() - offset));
    std::memcpy(buffer, bytes_.data() + offset, got);
    return kOk;
}

SectorSource SourceOverMedium(std::unique_ptr<Medium> medium, uint32_t sectorBytes) {
    SectorSource source;
    source.totalSectors = sectorBytes ? medium->SizeBytes() / sectorBytes : 0;
    source.medium = std::move(medium);
    return source;
}

int OpenImageSource(const std::filesystem::path& path, SectorSource& out) {
    out.Close();
    std::unique_ptr<Medium> medium;
    if (int rc = OpenImageMedium(path, medium); rc != kOk) return rc;
    out = SourceOverMedium(std::move(medium), kImageSectorBytes);
    return kOk;
}

int OpenDiskSource(SectorSource& out, int disk) {
    out.Close();
    DiskLocation location;
    if (int rc = ResolveDisk(disk, location); rc != kOk) return rc;
    std::unique_ptr<Medium> medium;
    DiskGeometry geometry;
    if (location.isBlockDevice) {
        int fd = -1;
        uint64_t size = 0;
        if (int rc = OpenReadOnly(location.path, fd, size); rc != kOk) return rc;
        medium = std::make_unique<FileMedium>(fd, size);
        if (int rc = QueryGeometry(fd, size, geometry); rc != kOk) return rc;
        medium = WatchForBadAreas(std::move(medium), geometry.bytesPerSector, location.path, false);
    } else {
        // An image file registered as a disk, raw or in a container.
        if (int rc = OpenImageMedium(location.path, medium); rc != kOk) return rc;
        GeometryOfImage(*medium, geometry);
    }
    out.totalSectors = medium->SizeBytes() / geometry.bytesPerSector;
    if (out.totalSectors == 0) out.totalSectors = geometry.SectorsByGeometry();
    out.medium = std::move(medium);
    return kOk;
}

int ReadSectors(uint32_t count, SectorSource& source, void* buffer, uint64_t start,
                int sectorSize, uint32_t& sectorsRead) {
    if (!source.IsOpen()) return kErrInvalidHandle;
    if (sectorSize <= 0) return kErrInvalidParameter;
    if (start > source.totalSectors || count > source.totalSectors - start)
        return kErrInvalidParameter;
    const uint64_t offset = start * static_cast<uint64_t>(sectorSize);
    const size_t wanted = static_cast<size_t>(count) * static_cast<size_t>(sectorSize);
    size_t got = 0;
    const int result = ReadExactly(*source.medium, offset, buffer, wanted, got);
    sectorsRead = static_cast<uint32_t>(got / static_cast<size_t>(sectorSize));
    return result;
}

int ReadExactly(Medium& medium, uint64_t offset, void* buffer, size_t length, size_t& got) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    got = 0;
    while (got < length) {
        const size_t piece = std::min(kReadPieceBytes, length - got);
        size_t n = 0;
        if (medium.ReadAt(offset + got, bytes + got, piece, n) != kOk || n == 0) return kErrReadFault;
        got += n;
    }
    return kOk;
}

int ReadFully(size_t n, int fd, void* buffer, size_t& got) {
    got = 0;
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (got < n) {
        const size_t piece = std::min(kReadPieceBytes, n - got);
        const ssize_t r = ::read(fd, bytes + got, piece);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return kErrReadFault;
        got += static_cast<size_t>(r);
    }
    return kOk;
}

int FileSizeOf(const std::filesystem::path& path, uint64_t& out) {
    out = 0;
    std::unique_ptr<Medium> medium;
    if (int rc = OpenImageMedium(path, medium); rc != kOk) return rc;
    out = medium->SizeBytes();
    return kOk;
}

}  // namespace kestrune
