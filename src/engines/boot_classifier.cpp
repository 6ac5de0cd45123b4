#include "engines/boot_classifier.h"

#include <cstdio>

#include "base/result_codes.h"
#include "disk/boot_marks.h"
#include "engines/ext/ext_volume.h"
#include "scanlog/file_types.h"

namespace kestrune {

int ReadVolumeStart(const SectorSource& source, uint64_t byteOffset, std::vector<uint8_t>& out) {
    if (!source.IsOpen()) return kErrInvalidHandle;
    constexpr size_t kVolumeStartBytes = 4096;
    out.assign(kVolumeStartBytes, 0);
    size_t got = 0;
    return ReadExactly(*source.medium, byteOffset, out.data(), out.size(), got);
}

namespace {

bool IsPowerOfTwoUpTo128(uint8_t v) { return v != 0 && v <= 128 && (v & (v - 1)) == 0; }

bool HasBootSignature(ByteView s) { return s.u8(510) == 0x55 && s.u8(511) == 0xAA; }

// BitLocker writes its own marks into what is otherwise a FAT boot sector.
bool IsEncryptedVolume(ByteView s) {
    if (kBitLockerMark.In(s)) return true;
    return s.all(480, 8, 0x78) && s.all(488, 19, 0xFF) && s.u8(507) == 0x00 &&
           s.u8(508) == 0x1F && s.u8(509) == 0x2C;
}

bool PassesFat16BootTest(ByteView s) {
    return s.u8(16) != 0 && (s.le16(19) != 0 || s.le32(32) != 0) && IsPowerOfTwoUpTo128(s.u8(13)) &&
           s.le16(22) >= 1 && HasBootSignature(s);
}

bool PassesFat32BootTest(ByteView s) {
    return kFat32Mark.In(s) && s.u8(16) != 0 && s.le32(32) != 0 &&
           IsPowerOfTwoUpTo128(s.u8(13)) && s.le32(36) != 0 && HasBootSignature(s);
}

constexpr uint32_t kFat12MaxClusters = 4085;
constexpr uint32_t kFat16MaxClusters = 65525;
constexpr uint32_t kFat32MaxClusters = 0x0FFFFFF0;

// The cluster count as the FAT test computes it, in wrapping 32-bit arithmetic; false
// when the sector lacks the fields the count needs.
bool FatClusterCount(ByteView s, uint32_t& clusters) {
    if (!s.has(0, 512)) return false;
    const uint32_t fatSize = s.le16(22) != 0 ? s.le16(22) : s.le32(36);
    const uint32_t totalSectors = s.le32(32) != 0 ? s.le32(32) : s.le16(19);
    const uint32_t bytesPerSector = s.le16(11);
    const uint32_t sectorsPerCluster = s.u8(13);
    if (bytesPerSector == 0 || sectorsPerCluster == 0 || bytesPerSector % 512 != 0) return false;
    const uint32_t rootDirSectors = (uint32_t{s.le16(17)} * 32) / bytesPerSector;
    clusters = (totalSectors - rootDirSectors - uint32_t{s.u8(16)} * fatSize - s.le16(14)) /
               sectorsPerCluster;
    return true;
}

std::string Number(uint64_t v) { return std::to_string(v); }

}  // namespace

bool IsNtfsBootSector(ByteView s) {
    if (!s.has(0, 512)) return false;
    if (!kNtfsMark.In(s)) return false;
    if (s.le16(11) % 512 != 0) return false;
    if (s.le16(14) != 0) return false;
    if (!IsPowerOfTwoUpTo128(s.u8(13))) return false;
    if (s.le64(40) == 0) return false;
    for (size_t offset : {16, 17, 18, 19, 20, 22, 23})
        if (s.u8(offset) != 0) return false;
    if (!s.all(32, 4, 0)) return false;
    return HasBootSignature(s);
}

bool IsFatBootSector(ByteView s) {
    if (!s.has(0, 512) || IsEncryptedVolume(s)) return false;
    uint32_t clusters = 0;
    if (!FatClusterCount(s, clusters)) return false;
    if (clusters < kFat16MaxClusters) return PassesFat16BootTest(s) || PassesFat32BootTest(s);
    if (clusters < kFat32MaxClusters) return PassesFat32BootTest(s) || PassesFat16BootTest(s);
    return false;
}

bool IsExtSuperblock(ByteView area) {
    const ByteView sb = area.sub(1024, 1024);
    if (sb.empty() || sb.le16(56) != 0xEF53) return false;
    const uint32_t inodes = sb.le32(0);
    const uint32_t blocks = sb.le32(4);
    const uint32_t firstDataBlock = sb.le32(20);
    const uint32_t logBlockSize = sb.le32(24);
    const uint32_t blocksPerGroup = sb.le32(32);
    const uint32_t inodesPerGroup = sb.le32(40);
    const uint32_t firstInode = sb.le32(84);
    if (blocks == 0 || inodes == 0 || blocksPerGroup == 0 || inodesPerGroup == 0) return false;
    if (firstInode <= 2) return false;
    if ((blocks - firstDataBlock - 1) / blocksPerGroup + 1 != (inodes - 1) / inodesPerGroup + 1)
        return false;
    // 1 KiB blocks leave the boot block before the first group; larger ones start at 0.
    if (firstDataBlock != (logBlockSize == 0 ? 1u : 0u)) return false;
    return inodes > firstInode;
}

bool IsExfatBootSector(ByteView s) {
    if (!kExfatMark.In(s) || s.le16(510) != 0xAA55) return false;
    const uint8_t sectorShift = s.u8(108), clusterShift = s.u8(109);
    return sectorShift >= 9 && sectorShift <= 12 && clusterShift <= 25 - sectorShift && s.le32(92) != 0;
}

std::span<const FileSystemRecogniser> FileSystemRecognisers() {
    static constexpr FileSystemRecogniser kRows[] = {
        {FsKind::Ntfs, IsNtfsBootSector},
        {FsKind::Exfat, IsExfatBootSector},
        {FsKind::Fat, IsFatBootSector},
        {FsKind::Ext, IsExtSuperblock},
    };
    return kRows;
}

FsKind ClassifyBootArea(ByteView area) {
    for (const FileSystemRecogniser& row : FileSystemRecognisers())
        if (row.recognises(area)) return row.kind;
    return FsKind::Other;
}

FsKind SecondFileSystemOf(ByteView area) {
    const FsKind first = ClassifyBootArea(area);
    return first != FsKind::Ext && first != FsKind::Other && IsExtSuperblock(area) ? FsKind::Ext : FsKind::Other;
}

FsKind FsKindNamed(std::string_view name) {
    for (const FsKind kind : {FsKind::Ntfs, FsKind::Fat, FsKind::Exfat, FsKind::Ext})
        if (AsciiLower(name) == AsciiLower(FsKindName(kind))) return kind;
    return FsKind::Other;
}

int FatBitsOf(ByteView s) {
    uint32_t clusters = 0;
    if (!IsFatBootSector(s) || !FatClusterCount(s, clusters)) return 0;
    if (clusters < kFat12MaxClusters) return 12;
    if (clusters < kFat16MaxClusters) return 16;
    return 32;
}

uint64_t VolumeBytesOf(ByteView area) {
    if (IsNtfsBootSector(area)) {
        const uint64_t sectors = area.le64(40), bytes = area.le16(11);
        return sectors > UINT64_MAX / bytes ? UINT64_MAX : sectors * bytes;
    }
    if (IsFatBootSector(area)) {
        const uint64_t sectors = area.le32(32) != 0 ? area.le32(32) : area.le16(19);
        return sectors * area.le16(11);
    }
    if (IsExtSuperblock(area)) {
        const ByteView sb = area.sub(1024, 1024);
        const uint64_t blocks = sb.le32(4) | ((sb.le32(96) & 0x80) ? uint64_t{sb.le32(0x150)} << 32 : 0);
        return sb.le32(24) < 7 ? blocks * (uint64_t{1024} << sb.le32(24)) : 0;
    }
    if (IsExfatBootSector(area)) {
        const uint64_t sectors = area.le64(72);
        return sectors > (UINT64_MAX >> 12) ? UINT64_MAX : sectors << area.u8(108);
    }
    return 0;
}

std::string FileSystemNameOf(ByteView area) { return FileSystemNameAs(area, ClassifyBootArea(area)); }

std::string FileSystemNameAs(ByteView area, FsKind kind) {
    return kind == FsKind::Ext ? ExtVersionName(ExtVersionOf(area.sub(1024, 1024))) : FsKindName(kind);
}

const char* FsKindName(FsKind kind) {
    switch (kind) {
        case FsKind::Fat: return "FAT";
        case FsKind::Ntfs: return "NTFS";
        case FsKind::Ext: return "ext";
        case FsKind::Exfat: return "exFAT";
        case FsKind::Other: break;
    }
    return "other";
}

std::vector<std::pair<std::string, std::string>> DescribeBootArea(ByteView area) {
    std::vector<std::pair<std::string, std::string>> rows;
    const ByteView s = area.sub(0, 512);
    switch (ClassifyBootArea(area)) {
        case FsKind::Ntfs: {
            const uint64_t clusterBytes = uint64_t{s.le16(11)} * s.u8(13);
            rows = {{"bytes per sector", Number(s.le16(11))},
                    {"sectors per cluster", Number(s.u8(13))},
                    {"total sectors", Number(s.le64(40))},
                    {"MFT cluster", Number(s.le64(48))},
                    {"MFT mirror cluster", Number(s.le64(56))}};
            // Record size: a positive byte is clusters, a negative one is 2^-n bytes.
            const int8_t recordCode = static_cast<int8_t>(s.u8(64));
            const uint64_t recordBytes =
                recordCode < 0 ? (recordCode > -32 ? uint64_t{1} << -recordCode : 0)
                               : clusterBytes * static_cast<uint64_t>(recordCode);
            rows.push_back({"bytes per file record", Number(recordBytes)});
            rows.push_back({"serial number", [&] {
                                char text[24];
                                std::snprintf(text, sizeof text, "%016llX",
                                              static_cast<unsigned long long>(s.le64(72)));
                                return std::string(text);
                            }()});
            break;
        }
        case FsKind::Fat: {
            const int bits = FatBitsOf(s);
            uint32_t clusters = 0;
            FatClusterCount(s, clusters);
            const uint32_t fatSize = s.le16(22) != 0 ? s.le16(22) : s.le32(36);
            const uint32_t totalSectors = s.le32(32) != 0 ? s.le32(32) : s.le16(19);
            rows = {{"FAT type", "FAT" + Number(static_cast<uint64_t>(bits))},
                    {"bytes per sector", Number(s.le16(11))},
                    {"sectors per cluster", Number(s.u8(13))},
                    {"reserved sectors", Number(s.le16(14))},
                    {"number of FATs", Number(s.u8(16))},
                    {"sectors per FAT", Number(fatSize)},
                    {"root entries", Number(s.le16(17))},
                    {"total sectors", Number(totalSectors)},
                    {"clusters", Number(clusters)}};
            if (bits == 32) rows.push_back({"root cluster", Number(s.le32(44))});
            break;
        }
        case FsKind::Ext: {
            const ByteView sb = area.sub(1024, 1024);
            const uint32_t logBlockSize = sb.le32(24);
            rows = {{"block size", logBlockSize < 22 ? Number(uint64_t{1024} << logBlockSize) : "?"},
                    {"blocks", Number(sb.le32(4))},
                    {"inodes", Number(sb.le32(0))},
                    {"blocks per group", Number(sb.le32(32))},
                    {"inodes per group", Number(sb.le32(40))},
                    {"first data block", Number(sb.le32(20))}};
            break;
        }
        case FsKind::Exfat: {
            const uint32_t sectorShift = s.u8(108);
            rows = {{"bytes per sector", Number(uint64_t{1} << sectorShift)},
                    {"sectors per cluster", Number(uint64_t{1} << s.u8(109))},
                    {"total sectors", Number(s.le64(72))},
                    {"FAT offset", Number(s.le32(80))},
                    {"FAT sectors", Number(s.le32(84))},
                    {"number of FATs", Number(s.u8(110))},
                    {"cluster heap offset", Number(s.le32(88))},
                    {"clusters", Number(s.le32(92))},
                    {"root cluster", Number(s.le32(96))}};
            break;
        }
        case FsKind::Other: break;
    }
    return rows;
}

}  // namespace kestrune
