#include "engines/lost_volumes.h"

#include <algorithm>

#include "base/result_codes.h"
#include "disk/boot_marks.h"
#include "engines/boot_classifier.h"
#include "engines/ext/ext_volume.h"

namespace kestrune {

namespace {

constexpr uint64_t kMebibyte = 1 << 20;
constexpr uint64_t kTrack = 63;             // sectors of 512 bytes
constexpr uint64_t kCylinder = 255 * 63;    // sectors of 512 bytes
constexpr size_t kHeadBytes = 8192;
constexpr size_t kFat32BackupAt = 6 * 512;
constexpr size_t kExfatBackupAt = 12 * 512;

// The next place after `after` (a byte offset) where a tool would have started a volume.
uint64_t NextCandidate(uint64_t after, uint32_t sectorSize) {
    uint64_t next = (after / kMebibyte + 1) * kMebibyte;
    if (sectorSize == 512) {
        const uint64_t sector = after / 512;
        // The first track, each cylinder, and a track past each cylinder (logical ones).
        const uint64_t cylinder = sector / kCylinder;
        for (const uint64_t candidate : {kTrack, cylinder * kCylinder + kTrack, (cylinder + 1) * kCylinder,
                                         (cylinder + 1) * kCylinder + kTrack})
            if (candidate > sector) next = std::min(next, candidate * 512);
    }
    return next;
}

bool Read(SectorSource& source, uint32_t sectorSize, uint64_t byteOffset, size_t bytes, std::vector<uint8_t>& out) {
    const uint64_t first = byteOffset / sectorSize;
    const uint32_t count = static_cast<uint32_t>((bytes + sectorSize - 1) / sectorSize);
    out.assign(size_t{count} * sectorSize, 0);
    uint32_t read = 0;
    if (first >= source.totalSectors) return false;
    const uint32_t available = static_cast<uint32_t>(std::min<uint64_t>(count, source.totalSectors - first));
    return ReadSectors(available, source, out.data(), first, static_cast<int>(sectorSize), read) == kOk && read > 0;
}

// exFAT's boot region checksum (sector 11 repeats it) over its first eleven sectors.
bool ExfatChecksumHolds(ByteView head) {
    const uint32_t bytesPerSector = 1u << head.u8(108);
    if (bytesPerSector != 512 || !head.has(0, 12 * 512)) return false;
    uint32_t sum = 0;
    for (size_t i = 0; i < 11 * 512; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + head.u8(i);
    }
    return head.le32(11 * 512) == sum && head.le32(11 * 512 + 508) == sum;
}

struct Candidate {
    FoundVolume volume;
    bool found = false;
};

class Search {
public:
    Search(SectorSource& source, uint32_t sectorSize) : source_(source), sectorSize_(sectorSize) {}

    Candidate At(uint64_t offset) {
        Candidate c;
        if (!Read(source_, sectorSize_, offset, kHeadBytes, head_)) return c;
        const ByteView head(head_);
        c.volume.startSector = offset / sectorSize_;
        const FsKind kind = ClassifyBootArea(head);
        uint64_t bytes = 0;
        if (kind == FsKind::Ntfs) {
            bytes = (head.le64(40) + 1) * head.le16(11);
            c.volume.fileSystem = "NTFS";
            c.volume.sure = NtfsBackupAgrees(offset, head);
        } else if (kind == FsKind::Exfat) {
            bytes = VolumeBytesOf(head);
            c.volume.fileSystem = "exFAT";
            c.volume.sure = ExfatChecksumHolds(head);
        } else if (kind == FsKind::Fat) {
            bytes = VolumeBytesOf(head);
            c.volume.fileSystem = FatBitsOf(head) == 32 ? "FAT32" : "FAT";
            c.volume.sure = FatBitsOf(head) == 32 ? std::equal(head_.begin(), head_.begin() + 90,
                                                               head_.begin() + kFat32BackupAt)
                                                  : FatCopiesAgree(offset, head);
        } else if (kind == FsKind::Ext) {
            bytes = VolumeBytesOf(head);
            c.volume.fileSystem = ExtVersionName(ExtVersionOf(head.sub(1024, 1024)));
            c.volume.sure = ExtBackupAgrees(offset, head.sub(1024, 1024));
        } else if (IsFatBootSector(head.from(kFat32BackupAt)) && FatBitsOf(head.from(kFat32BackupAt)) == 32) {
            // The boot sector was written over; its copy six sectors in still tells.
            bytes = VolumeBytesOf(head.from(kFat32BackupAt));
            c.volume.fileSystem = "FAT32";
            c.volume.fromBackup = true;
        } else if (IsExfatBootSector(head.from(kExfatBackupAt))) {
            bytes = VolumeBytesOf(head.from(kExfatBackupAt));
            c.volume.fileSystem = "exFAT";
            c.volume.fromBackup = true;
        } else if (head.matches(4096 - 10, "SWAPSPACE2")) {
            bytes = (uint64_t{head.le32(1024 + 4)} + 1) * 4096;
            c.volume.fileSystem = "swap";
        }
        if (c.volume.fileSystem.empty() || bytes < 64 * 1024) return c;
        c.volume.sectorCount = (bytes + sectorSize_ - 1) / sectorSize_;
        c.found = true;
        return c;
    }

private:
    // NTFS keeps a copy of its boot sector in the sector after the volume.
    bool NtfsBackupAgrees(uint64_t offset, ByteView head) {
        std::vector<uint8_t> backup;
        const uint64_t at = offset + head.le64(40) * head.le16(11);
        return Read(source_, sectorSize_, at, 512, backup) && std::equal(head_.begin(), head_.begin() + 512,
                                                                        backup.begin());
    }

    // FAT12 and FAT16 keep no boot sector copy, but two tables whose first sectors agree
    // and begin with the boot sector's media byte.
    bool FatCopiesAgree(uint64_t offset, ByteView head) {
        const uint64_t bytesPerSector = head.le16(11), reserved = head.le16(14), fatSectors = head.le16(22);
        if (head.u8(16) < 2 || fatSectors == 0) return false;
        std::vector<uint8_t> first, second;
        if (!Read(source_, sectorSize_, offset + reserved * bytesPerSector, 512, first) ||
            !Read(source_, sectorSize_, offset + (reserved + fatSectors) * bytesPerSector, 512, second))
            return false;
        const size_t within = (offset + reserved * bytesPerSector) % sectorSize_;
        const size_t withinSecond = (offset + (reserved + fatSectors) * bytesPerSector) % sectorSize_;
        // The first 64 bytes hold the first clusters' links, which differ between volumes.
        return first[within] == head.u8(21) &&
               std::equal(first.begin() + within, first.begin() + within + 64, second.begin() + withinSecond);
    }

    // Block group 1 keeps a copy of the superblock; it names the same volume.
    bool ExtBackupAgrees(uint64_t offset, ByteView superblock) {
        const uint32_t logBlock = superblock.le32(24);
        if (logBlock > 6) return false;
        const uint64_t blockBytes = uint64_t{1024} << logBlock;
        const uint64_t group1 = (uint64_t{superblock.le32(20)} + superblock.le32(32)) * blockBytes;
        if (group1 / blockBytes >= superblock.le32(4)) return false;
        std::vector<uint8_t> copy;
        if (!Read(source_, sectorSize_, offset + group1, 1024 + sectorSize_, copy)) return false;
        const ByteView backup = ByteView(copy).sub((offset + group1) % sectorSize_, 1024);
        return backup.le16(56) == 0xEF53 && std::equal(superblock.data() + 104, superblock.data() + 120, backup.data() + 104);
    }

    SectorSource& source_;
    uint32_t sectorSize_;
    std::vector<uint8_t> head_;
};

}  // namespace

std::vector<FoundVolume> FindVolumes(SectorSource& source, uint32_t sectorSize, uint64_t totalSectors,
                                     const std::function<bool(const VolumeSearchProgress&)>& progress) {
    return FindVolumesIn(source, sectorSize, totalSectors, 0, totalSectors, progress);
}

std::vector<FoundVolume> FindVolumesIn(SectorSource& source, uint32_t sectorSize, uint64_t totalSectors,
                                       uint64_t firstSector, uint64_t endSector,
                                       const std::function<bool(const VolumeSearchProgress&)>& progress) {
    std::vector<FoundVolume> found;
    endSector = std::min(endSector, totalSectors);
    if (sectorSize == 0 || firstSector >= endSector) return found;
    const uint64_t endBytes = endSector * sectorSize;
    Search search(source, sectorSize);
    VolumeSearchProgress state;
    state.sectorsTotal = endSector - firstSector;
    uint64_t checked = 0;
    // From the disk's first sector: a volume without a table (a card formatted whole) starts
    // there. Inside a disk, the places are those counted from the disk's start.
    uint64_t offset = firstSector == 0 ? 0 : NextCandidate(firstSector * sectorSize - 1, sectorSize);
    while (offset < endBytes) {
        if (progress && ++checked % 256 == 0) {
            state.sectorsDone = offset / sectorSize - firstSector;
            if (!progress(state)) break;
        }
        Candidate candidate = search.At(offset);
        if (!candidate.found) {
            offset = NextCandidate(offset, sectorSize);
            continue;
        }
        FoundVolume& volume = candidate.volume;
        const uint64_t end = volume.startSector + volume.sectorCount;
        if (end > totalSectors) {
            volume.cutShort = end - totalSectors;
            volume.sectorCount = totalSectors - volume.startSector;
        }
        // A volume that runs on past the area (into the next partition) keeps only its share.
        volume.sectorCount = std::min(volume.sectorCount, endSector - volume.startSector);
        found.push_back(volume);
        // A volume its own structure vouches for is not searched inside: what lies there
        // is its files' data, which may hold anything.
        offset = volume.sure ? NextCandidate((volume.startSector + volume.sectorCount) * sectorSize - 1, sectorSize)
                             : NextCandidate(offset, sectorSize);
    }
    state.sectorsDone = state.sectorsTotal;
    if (progress) progress(state);
    return found;
}

}  // namespace kestrune
