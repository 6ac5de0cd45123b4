// MBR and GPT partition tables: what lies where on a disk or a partitioned image file.
#pragma once

#include <cstdint>
#include <vector>

#include "disk/byte_view.h"
#include "disk/sector_source.h"

namespace kestrune {

struct PartitionEntry {
    uint32_t number = 0;        // 1-based: MBR primaries 1-4, logical ones from 5; GPT in entry order
    uint64_t startSector = 0;   // in the disk's sectors
    uint64_t sectorCount = 0;
    uint8_t mbrType = 0;        // the MBR type byte; 0 for GPT entries
    bool gpt = false;
    // The disk (an image cut short) ends inside the partition: sectorCount is what it holds
    // of it, claimedSectors what the table says.
    bool cutShort = false;
    uint64_t claimedSectors = 0;
};

// Reads the partition table of a disk of sectorCount sectors of sectorSize bytes.
// Entries that start outside the disk, overlap an earlier entry, or chain back on
// themselves are left out; one the disk ends inside is kept as far as the disk goes. Returns false when the disk holds no partition table.
bool ReadPartitionTable(SectorSource& source, uint32_t sectorSize, uint64_t sectorCount,
                        std::vector<PartitionEntry>& out);

// Whether the first sector holds a partition table rather than a file system's boot sector.
bool HoldsPartitionTable(ByteView firstSector);

}  // namespace kestrune
