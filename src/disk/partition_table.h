// MBR and GPT partition tables: what lies where on a disk or a partitioned image file.
#pragma once

#include <cstdint>
#include <string>
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
    std::string name;           // a GPT entry's name, as UTF-8
    // The disk (an image cut short) ends inside the partition: sectorCount is what it holds
    // of it, claimedSectors what the table says.
    bool cutShort = false;
    uint64_t claimedSectors = 0;
};

// Reads the partition table of a disk of sectorCount sectors of sectorSize bytes: the
// four primary entries and every logical partition of a DOS extended chain, or every
// entry of a GPT (from its backup at the disk's end when the header at its start is
// damaged; a hybrid MBR's own entries when neither reads). Entries that start outside
// the disk, overlap an earlier entry, or chain back on themselves are left out; one the
// disk ends inside is kept as far as the disk goes. Returns false when the disk holds
// no partition table.
bool ReadPartitionTable(SectorSource& source, uint32_t sectorSize, uint64_t sectorCount,
                        std::vector<PartitionEntry>& out);

// Whether the first sector holds a partition table rather than a file system's boot sector.
bool HoldsPartitionTable(ByteView firstSector);

// The sector size a disk image was partitioned for: 4096 when its GPT header lies at
// byte 4096 and not at byte 512, else 512. head holds the image's first 4608 bytes or
// as many as it has.
uint32_t SectorSizeOfImage(ByteView head);

}  // namespace kestrune
