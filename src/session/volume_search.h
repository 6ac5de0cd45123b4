// The volumes of a whole disk, in its partition table or lost from it, for a user who
// wants the table back: listed with how sure each is, and written as an sfdisk script
// that restores them. Nothing is written to the disk.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disk/partition_table.h"

namespace kestrune {

struct VolumeFinding {
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;
    std::string fileSystem;
    std::string label;
    bool sure = false;        // its structure vouches for it twice (a backup that agrees, a checksum)
    bool fromBackup = false;  // found by a backup boot sector: its first sector is gone
    int partition = 0;        // its number in the disk's table; 0: lost from it
    uint64_t cutShort = 0;    // sectors of it past the disk's end
};

struct DiskSearch {
    std::string name;  // the disk as the user named it
    uint32_t sectorSize = 512;
    uint64_t totalSectors = 0;
    bool hasTable = false;
    bool gptTable = false;
    bool gptRemains = false;  // no table reads, but a GPT header is still at the disk's start or end
    std::vector<PartitionEntry> table;
    std::vector<VolumeFinding> volumes;  // in order on the disk
};

// Searches the whole disk text names (an image file, a disk's block device or disk:N).
// progress gets the percent done and may return false to stop. 0, or a result code with
// error saying why.
int SearchDiskVolumes(const std::string& text, DiskSearch& out, const std::function<bool(int percent)>& progress,
                      std::string& error);

// An sfdisk script that writes a table holding the volumes found: "gpt" or "dos" as
// label says, or (empty) as the disk had, else GPT when a GPT's remains are there or an
// MBR cannot hold them. Overlapping volumes keep the first (the sure one where one is).
// The script's comments say what it would replace and with what.
std::string SfdiskScript(const DiskSearch& search, const std::string& label);

}  // namespace kestrune
