// An exFAT volume as its boot region describes it: the geometry, checked against itself
// and the volume's size; the FAT, the allocation bitmap and the up-case table it names.
//
// The boot region is twelve sectors, kept twice: its last sector repeats a checksum of
// the other eleven. A main region whose checksum fails (a half-written boot sector, a
// stray write) is replaced by the backup region, as the format intends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/byte_view.h"
#include "disk/sector_source.h"

namespace kestrune {

namespace exfat {
inline constexpr uint32_t kBootRegionSectors = 12;
inline constexpr uint32_t kEndOfChain = 0xFFFFFFFF;
inline constexpr uint32_t kBadCluster = 0xFFFFFFF7;
}  // namespace exfat

struct ExfatGeometry {
    uint64_t partitionStart = 0;  // absolute sector of the volume's boot sector
    uint64_t volumeSectors = 0;
    uint32_t bytesPerSector = 512;
    uint32_t sectorsPerCluster = 1;
    uint32_t fatOffset = 0;        // sectors from the volume start
    uint32_t fatLength = 0;        // sectors
    uint32_t heapOffset = 0;       // sectors from the volume start to cluster 2
    uint32_t clusterCount = 0;
    uint32_t rootCluster = 0;
    uint32_t serial = 0;
    uint8_t fatCount = 1;
    bool fromBackup = false;       // the main boot region failed its checksum

    uint64_t ClusterBytes() const { return uint64_t{bytesPerSector} * sectorsPerCluster; }
    bool IsHeapCluster(uint64_t n) const { return n >= 2 && n < uint64_t{clusterCount} + 2; }
    // The bytes of the heap from cluster n to its end; 0 when n is no heap cluster.
    uint64_t HeapBytesFrom(uint64_t n) const {
        return IsHeapCluster(n) ? (uint64_t{clusterCount} + 2 - n) * ClusterBytes() : 0;
    }
    // The absolute first sector of heap cluster n (n must be a heap cluster).
    uint64_t ClusterSector(uint32_t n) const {
        return partitionStart + heapOffset + uint64_t{n - 2} * sectorsPerCluster;
    }
};

// The checksum of a boot region's first eleven sectors; the volume flags and the share
// in use, which change while the volume is mounted, are left out.
uint32_t BootRegionChecksum(ByteView elevenSectors, uint32_t bytesPerSector);

// The geometry from one boot region (12 sectors of the given size); false, with a
// reason, when it is not an exFAT boot region or does not fit the volume.
bool ExfatGeometryFromBootRegion(ByteView region, uint64_t volumeSectors, ExfatGeometry& out, std::string& why);

// Reads the boot region at a volume's start, the backup when the main one fails; false,
// with a reason, when neither describes an exFAT volume.
bool ReadExfatGeometry(SectorSource& source, uint64_t start, uint64_t sectors, ExfatGeometry& out, std::string& why);

// The FAT, read a window at a time.
class ExfatFat {
public:
    void Attach(const ExfatGeometry* volume, SectorSource* source);
    // The entry of heap cluster n; 0 when it cannot be read.
    uint32_t Entry(uint32_t n);

private:
    const ExfatGeometry* volume_ = nullptr;
    SectorSource* source_ = nullptr;
    std::vector<uint8_t> window_;
    uint64_t windowFirst_ = UINT64_MAX;  // first entry held in the window
};

// The bytes of a live stream (a folder, the bitmap, the up-case table): length bytes from
// its first cluster on, contiguous or along the FAT. Stops short, never fails, at a chain
// that ends, loops or leaves the heap, at an unreadable cluster, or at maxBytes.
std::vector<uint8_t> ReadExfatStream(SectorSource& source, const ExfatGeometry& volume, ExfatFat& fat,
                                     uint32_t firstCluster, uint64_t length, bool contiguous, size_t maxBytes);

// Which heap clusters are in use: one bit each, cluster 2 first.
class AllocationBitmap {
public:
    void Assign(std::vector<uint8_t> bits, uint32_t clusterCount);
    bool InUse(uint32_t cluster) const;
    bool Loaded() const { return !bits_.empty(); }

private:
    std::vector<uint8_t> bits_;
    uint32_t clusterCount_ = 0;
};

// The clusters of a stream of length bytes from firstCluster: one run when contiguous,
// the FAT chain when live or when, deleted, its chain is still whole over free clusters,
// else (deleted, chain cleared) the first cluster and then the free clusters after it.
// Shorter when the volume or the chain gives out.
std::vector<uint32_t> ExfatStreamClusters(const ExfatGeometry& volume, ExfatFat& fat, const AllocationBitmap& bitmap,
                                          uint32_t firstCluster, uint64_t length, bool contiguous, bool deleted);

// The bytes of those clusters, in order; shorter at the first that cannot be read.
// clusterSectors, when given, gets the absolute first sector of each cluster read.
std::vector<uint8_t> ReadExfatClusters(SectorSource& source, const ExfatGeometry& volume,
                                       const std::vector<uint32_t>& clusters, std::vector<uint64_t>* clusterSectors);

// The up-case table: how names compare and hash. Stored compressed, runs of characters
// that map to themselves given as 0xFFFF and a length.
class UpcaseTable {
public:
    // Expands a table as stored; characters past its end map to themselves.
    void Assign(ByteView stored);
    char16_t Upper(char16_t c) const { return c < map_.size() ? map_[c] : c; }
    // The name hash a stream extension entry keeps for a name of these characters.
    uint16_t NameHash(const std::u16string& name) const;

private:
    std::vector<char16_t> map_;
};

}  // namespace kestrune
