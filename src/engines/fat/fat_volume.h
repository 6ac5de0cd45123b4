// What both FAT engines share: the volume's geometry from its boot sector, the FAT read
// through a window, and the decoding of 32-byte directory entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/byte_view.h"
#include "disk/sector_source.h"
#include "engines/fat/layout.h"

namespace kestrune {

struct FatVolumeInfo {
    uint64_t partitionStart = 0;
    uint64_t sectorCount = 0;
    uint32_t bytesPerSector = 512;
    uint32_t sectorsPerCluster = 1;
    uint32_t reservedSectors = 0;
    uint32_t fatCount = 0;
    uint32_t fatSectors = 0;
    uint32_t totalSectors = 0;
    uint32_t rootCluster = 0;    // FAT32: from the boot sector; the 16-bit layout: 0
    uint32_t rootSectors = 0;    // the fixed root area of the 16-bit layout
    uint32_t firstDataSector = 0;  // relative to the partition start
    int fatBits = 32;            // 12, 16 or 32
    bool fat32 = false;

    uint32_t ClusterBytes() const { return bytesPerSector * sectorsPerCluster; }
    uint64_t FatStart() const { return partitionStart + reservedSectors; }
    // The absolute first sector of cluster n; cluster 0 of the 16-bit layout is the root area.
    uint64_t ClusterSector(uint32_t n) const;
    // Bytes of one read of a folder's cluster (the whole root area for cluster 0).
    uint32_t FolderReadBytes(uint32_t cluster) const;
    uint32_t ClusterCount() const;
    // The clusters a volume of sectors sectors holds.
    uint32_t ClustersIn(uint32_t sectors) const;

    // False when the boot sector cannot describe a volume.
    bool FromBootSector(ByteView boot, uint64_t start, uint64_t sectors);
};

// The FAT, read through a 16 MiB window that moves only when a lookup leaves it.
class FatTable {
public:
    static constexpr size_t kWindowBytes = 0x1000000;
    void Attach(const FatVolumeInfo* volume, SectorSource* source) {
        volume_ = volume;
        source_ = source;
        windowStart_ = UINT64_MAX;
        unreadableStart_ = unreadableEnd_ = 0;
    }
    // The entry of cluster n; false when it cannot be read (then taken as free).
    bool Entry(uint32_t n, uint32_t& value);
    bool IsEndOfChain(uint32_t value) const;
    // The next cluster of a chain: the entry, or, for a freed chain (entry 0), the next
    // cluster when it is free too (deleted data taken as contiguous). False at the end.
    bool NextCluster(uint32_t n, uint32_t& next);
    // The first free cluster after n: where a freed file goes on when the clusters after
    // it are in use. A file written into fragmented free space went round those clusters
    // the same way. False when none is left before the volume's end.
    bool NextFreeCluster(uint32_t n, uint32_t& next);

private:
    bool Load(uint64_t offset, size_t width);

    const FatVolumeInfo* volume_ = nullptr;
    SectorSource* source_ = nullptr;
    std::vector<uint8_t> window_;
    uint64_t windowStart_ = UINT64_MAX;  // byte offset of the window in the FAT
    // The part of the FAT the last short read could not deliver: a lookup there fails at
    // once instead of reading (and clearing a 16 MiB window) again for every cluster.
    uint64_t unreadableStart_ = 0, unreadableEnd_ = 0;
};

// Directory entries.
uint32_t FirstCluster(ByteView entry, bool fat32);
// FILETIMEs of the entry's stamps, without a time-zone change; 0 for a stamp that is no date.
uint64_t CreationTime(ByteView entry);
uint64_t AccessTime(ByteView entry);
uint64_t WriteTime(ByteView entry);
// The 8.3 name in the case the entry records (upper case unless its case flags say a part
// is lower case, as Windows shows it), with the extension for files only. A deleted
// entry's first character, lost to the deletion mark, is lostFirst when known, else "!".
std::string ShortName(ByteView entry, bool isFolder, uint8_t lostFirst = 0);
// The first character a deleted short entry lost, as the checksum its long-name entries
// carry tells it (exactly one byte in its place gives that checksum); 0 when that byte is
// none an 8.3 name may begin with, so that the long entries were another name's.
uint8_t LostFirstCharacter(ByteView entry, uint8_t checksum);
bool IsDotEntry(ByteView entry);
bool IsDotDotEntry(ByteView entry);
// A sector that begins a folder: "." then "..".
bool BeginsWithDotPair(ByteView sector);
// The same, with "." marked a folder, as a folder's first cluster begins.
bool BeginsFolderCluster(ByteView sector);

// Collects a long name from its entries, last part first, as the folder lists them.
// A name of 248 to 255 characters takes the full 20 entries. A run longer than that
// cannot be one name: deleted entries lose their sequence numbers, so left-overs of an
// older name may precede a newer one; the entries nearest the short entry are kept.
class LongNameCollector {
public:
    // An entry whose checksum differs from the run's so far starts a run of its own: the
    // entries before it belonged to another short entry.
    void Add(ByteView entry);
    bool Pending() const { return position_ < fat::kLongNameBufferUnits; }
    uint8_t Checksum() const { return checksum_; }
    std::string Take();
    void Clear() { position_ = fat::kLongNameBufferUnits; }

private:
    char16_t units_[fat::kLongNameBufferUnits] = {};
    size_t position_ = fat::kLongNameBufferUnits;
    uint8_t checksum_ = 0;
};

// The name a short entry is listed by: the long name collected before it when those
// entries belong to it (their checksum matches its name bytes; for a deleted entry, with
// a character an 8.3 name may begin with in place of the deletion mark), else its short
// name, with the lost first character the checksum tells. The collected name is used up
// either way. firstLetterLost, when given, tells whether the name is a deleted short name
// whose first letter nothing told (it shows "!" there).
std::string EntryName(LongNameCollector& longName, ByteView entry, bool isFolder, bool* firstLetterLost = nullptr);

}  // namespace kestrune
