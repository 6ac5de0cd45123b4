#include "disk/probe_window.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "base/result_codes.h"
#include "disk/byte_view.h"
#include "disk/sector_source.h"

namespace kestrune {

namespace {

constexpr uint64_t kHeadBytes = 1 << 20;
constexpr uint64_t kLabelBytes = 64 * 1024;

// Where the volume whose boot sector is boot keeps its label, from the area's start: NTFS
// in its MFT's record of the volume, FAT32 and exFAT in their root folder. 0 when in the
// head, or unknown.
uint64_t LabelPlaceOf(ByteView boot) {
    const uint64_t bytesPerSector = boot.le16(11);
    if (boot.matches(3, "NTFS    ")) {
        const uint8_t perCluster = boot.u8(13);
        // A value above 128 gives the cluster size as a power of two, negated.
        const uint64_t clusterBytes =
            perCluster > 128 ? (uint64_t{1} << std::min(256 - perCluster, 31)) : uint64_t{perCluster} * bytesPerSector;
        return boot.le64(0x30) * clusterBytes;
    }
    if (boot.matches(3, "EXFAT   ")) {
        const uint32_t sectorShift = std::min<uint32_t>(boot.u8(108), 12), clusterShift = std::min<uint32_t>(boot.u8(109), 25);
        const uint64_t rootCluster = boot.le32(96);
        if (rootCluster < 2) return 0;
        return (uint64_t{boot.le32(88)} << sectorShift) + ((rootCluster - 2) << (sectorShift + clusterShift));
    }
    if (boot.matches(82, "FAT32   ")) {
        const uint64_t rootCluster = boot.le32(44);
        if (rootCluster < 2) return 0;
        return (boot.le16(14) + uint64_t{boot.u8(16)} * boot.le32(36) + (rootCluster - 2) * boot.u8(13)) * bytesPerSector;
    }
    return 0;
}

bool CopyInto(int fd, Medium& image, uint64_t from, uint64_t at, uint64_t length, std::vector<uint8_t>& buffer) {
    buffer.assign(static_cast<size_t>(length), 0);
    size_t got = 0;
    ReadExactly(image, from, buffer.data(), buffer.size(), got);
    return got == 0 || ::pwrite(fd, buffer.data(), got, static_cast<off_t>(at)) == static_cast<ssize_t>(got);
}

}  // namespace

int ProbeWindowOf(Medium& image, uint64_t offsetBytes, uint64_t sizeBytes) {
    const uint64_t total = image.SizeBytes();
    if (offsetBytes >= total) return -1;
    if (sizeBytes == 0 || sizeBytes > total - offsetBytes) sizeBytes = total - offsetBytes;
    const int fd = ::memfd_create("kestrune-probe", MFD_CLOEXEC);
    if (fd < 0) return -1;
    std::vector<uint8_t> buffer;
    bool made = ::ftruncate(fd, static_cast<off_t>(sizeBytes)) == 0 &&
                CopyInto(fd, image, offsetBytes, 0, std::min(kHeadBytes, sizeBytes), buffer);
    const uint64_t label = made ? LabelPlaceOf(ByteView(buffer)) : 0;
    if (made && label >= kHeadBytes && label < sizeBytes)
        made = CopyInto(fd, image, offsetBytes + label, label, std::min(kLabelBytes, sizeBytes - label), buffer);
    if (!made) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace kestrune
