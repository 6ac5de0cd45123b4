#include "disk/free_space.h"

#include "disk/byte_view.h"

namespace kestrune {

namespace {

// A FAT12 or FAT16 table is at most 6 KiB or 128 KiB: read whole and counted. An exFAT
// bitmap of a 2 TB volume of 32 KiB clusters is 8 MiB; larger ones are not read for a
// listing.
constexpr uint64_t kMostTableBytes = 192 << 10;
constexpr uint64_t kMostBitmapBytes = 32 << 20;
constexpr uint64_t kMostFolderBytes = 64 << 10;

struct FatGeometry {
    uint64_t bytesPerSector = 0, clusterBytes = 0, reserved = 0, fats = 0, fatSectors = 0, clusters = 0;
};

std::optional<FatGeometry> FatGeometryOf(ByteView boot) {
    FatGeometry g;
    g.bytesPerSector = boot.le16(11);
    const uint64_t perCluster = boot.u8(13);
    g.reserved = boot.le16(14);
    g.fats = boot.u8(16);
    const uint64_t rootSectors = g.bytesPerSector ? (boot.le16(17) * 32ull + g.bytesPerSector - 1) / g.bytesPerSector : 0;
    const uint64_t total = boot.le16(19) ? boot.le16(19) : boot.le32(32);
    g.fatSectors = boot.le16(22) ? boot.le16(22) : boot.le32(36);
    if (boot.size() < 512 || g.bytesPerSector < 512 || g.bytesPerSector > 4096 || perCluster == 0 || g.fats == 0 ||
        g.fatSectors == 0)
        return std::nullopt;
    const uint64_t meta = g.reserved + g.fats * g.fatSectors + rootSectors;
    if (total <= meta) return std::nullopt;
    g.clusters = (total - meta) / perCluster;
    g.clusterBytes = perCluster * g.bytesPerSector;
    return g;
}

std::optional<uint64_t> Fat32Free(ByteView boot, const FatGeometry& g, const VolumeReader& read) {
    std::vector<uint8_t> sector;
    const uint64_t at = boot.le16(48) * g.bytesPerSector;
    if (boot.le16(48) == 0 || boot.le16(48) == 0xFFFF || !read(at, 512, sector)) return std::nullopt;
    const ByteView info(sector);
    if (!info.matches(0, "RRaA") || !info.matches(484, "rrAa")) return std::nullopt;
    const uint32_t free = info.le32(488);
    // 0xFFFFFFFF: the driver left the count unknown.
    if (free == 0xFFFFFFFF || free > g.clusters) return std::nullopt;
    return uint64_t{free} * g.clusterBytes;
}

std::optional<uint64_t> SmallFatFree(const FatGeometry& g, const VolumeReader& read) {
    const bool fat12 = g.clusters < 4085;
    const uint64_t tableBytes = fat12 ? (g.clusters + 2) * 3 / 2 + 1 : (g.clusters + 2) * 2;
    if (tableBytes > kMostTableBytes || tableBytes > g.fatSectors * g.bytesPerSector) return std::nullopt;
    std::vector<uint8_t> bytes;
    if (!read(g.reserved * g.bytesPerSector, tableBytes, bytes)) return std::nullopt;
    const ByteView table(bytes);
    uint64_t free = 0;
    for (uint64_t cluster = 2; cluster < g.clusters + 2; ++cluster) {
        uint32_t entry = 0;
        if (fat12) {
            const uint16_t pair = table.le16(cluster * 3 / 2);
            entry = cluster & 1 ? pair >> 4 : pair & 0xFFF;
        } else {
            entry = table.le16(cluster * 2);
        }
        free += entry == 0;
    }
    return free * g.clusterBytes;
}

// exFAT's share in use in its boot sector is left at 0 by some drivers (exfat-fuse): the
// allocation bitmap that the root folder names is counted instead.
std::optional<uint64_t> ExfatFree(ByteView boot, const VolumeReader& read) {
    if (!boot.matches(3, "EXFAT   ")) return std::nullopt;
    const uint64_t clusters = boot.le32(92);
    const unsigned sectorShift = boot.u8(108), clusterShift = boot.u8(109);
    if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift || clusters == 0) return std::nullopt;
    const uint64_t clusterBytes = uint64_t{1} << (sectorShift + clusterShift);
    const uint64_t heap = uint64_t{boot.le32(88)} << sectorShift;
    auto clusterAt = [&](uint64_t cluster) { return heap + (cluster - 2) * clusterBytes; };
    const uint64_t root = boot.le32(96);
    std::vector<uint8_t> folder;
    if (root < 2 || root >= clusters + 2 || !read(clusterAt(root), static_cast<size_t>(std::min(clusterBytes, kMostFolderBytes)), folder))
        return std::nullopt;
    const ByteView entries(folder);
    for (size_t at = 0; at + 32 <= entries.size() && entries.u8(at) != 0; at += 32) {
        if (entries.u8(at) != 0x81) continue;  // the allocation bitmap's entry
        const uint64_t first = entries.le32(at + 20), length = entries.le64(at + 24);
        if (first < 2 || first >= clusters + 2 || length < (clusters + 7) / 8 || length > kMostBitmapBytes)
            return std::nullopt;
        std::vector<uint8_t> bitmap;
        if (!read(clusterAt(first), static_cast<size_t>((clusters + 7) / 8), bitmap)) return std::nullopt;
        uint64_t used = 0;
        for (uint64_t c = 0; c < clusters; ++c) used += bitmap[c / 8] >> (c % 8) & 1;
        return (clusters - used) * clusterBytes;
    }
    return std::nullopt;
}

std::optional<uint64_t> ExtFree(const VolumeReader& read) {
    std::vector<uint8_t> bytes;
    if (!read(1024, 1024, bytes)) return std::nullopt;
    const ByteView super(bytes);
    if (super.le16(56) != 0xEF53 || super.le32(24) > 6) return std::nullopt;
    const uint64_t blockBytes = uint64_t{1024} << super.le32(24);
    const bool wide = super.le32(96) & 0x80;  // 64-bit block numbers
    const uint64_t blocks = super.le32(4) | (wide ? uint64_t{super.le32(0x150)} << 32 : 0);
    const uint64_t free = super.le32(12) | (wide ? uint64_t{super.le32(0x158)} << 32 : 0);
    if (free > blocks) return std::nullopt;
    return free * blockBytes;
}

}  // namespace

std::optional<uint64_t> MetadataFreeBytes(std::string_view fileSystem, const VolumeReader& read) {
    if (fileSystem.starts_with("ext")) return ExtFree(read);
    std::vector<uint8_t> sector;
    if (!read(0, 512, sector)) return std::nullopt;
    const ByteView boot(sector);
    if (fileSystem == "exFAT") return ExfatFree(boot, read);
    if (fileSystem != "FAT32" && fileSystem != "FAT") return std::nullopt;
    const std::optional<FatGeometry> geometry = FatGeometryOf(boot);
    if (!geometry) return std::nullopt;
    return fileSystem == "FAT32" ? Fat32Free(boot, *geometry, read) : SmallFatFree(*geometry, read);
}

}  // namespace kestrune
