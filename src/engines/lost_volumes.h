// Volumes a disk holds whether or not its partition table still names them: the search
// TestDisk's quick search makes, for a table that was wiped, rewritten or never there.
//
// Partitioning tools start volumes at a mebibyte boundary (since 2008) or at a cylinder
// (255 heads of 63 sectors: the first track, then each cylinder, and a logical
// partition one track past its cylinder). At each such place the first 8 KiB are read
// and tested for an NTFS, exFAT or FAT boot sector, an ext superblock or a swap area,
// and for the backups that stand in when the first sector was written over (FAT32's
// boot sector copy six sectors in, exFAT's boot region copy twelve sectors in). A volume
// found is skipped over: its inside is not searched.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disk/sector_source.h"

namespace kestrune {

struct FoundVolume {
    uint64_t startSector = 0;  // in the disk's sectors
    uint64_t sectorCount = 0;  // the partition it needs: the volume, and NTFS's backup boot sector after it
    std::string fileSystem;    // "NTFS", "FAT32", "FAT", "exFAT", "ext2", "ext3", "ext4", "swap"
    // Its own structure vouches for it twice (a backup boot sector that agrees, a
    // checksum that holds); otherwise it is likely, not sure.
    bool sure = false;
    bool fromBackup = false;   // found by its backup boot sector, the first one gone
    uint64_t cutShort = 0;     // sectors of it past the disk's end (an image cut short)
};

struct VolumeSearchProgress {
    uint64_t sectorsDone = 0;
    uint64_t sectorsTotal = 0;
};

// Searches the disk's totalSectors sectors of sectorSize bytes. progress is told as the
// search goes, and may return false to stop it (what was found so far is returned).
std::vector<FoundVolume> FindVolumes(SectorSource& source, uint32_t sectorSize, uint64_t totalSectors,
                                     const std::function<bool(const VolumeSearchProgress&)>& progress = {});
// The same over the disk's sectors [firstSector, endSector) only (a gap between
// partitions): volumes starting there, each cut at endSector.
std::vector<FoundVolume> FindVolumesIn(SectorSource& source, uint32_t sectorSize, uint64_t totalSectors,
                                       uint64_t firstSector, uint64_t endSector,
                                       const std::function<bool(const VolumeSearchProgress&)>& progress = {});

}  // namespace kestrune
