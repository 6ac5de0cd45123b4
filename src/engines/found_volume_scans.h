// The volumes a formatted or deep pass finds in an area that holds no file system at its
// start: a whole disk whose partition table was wiped or rewritten, or a gap between
// partitions. Each is read by the quick engine of its file system, as if its partition
// were still there, so that its files come back with their names and folders, the ones
// it still holds as well as the ones deleted from it. Each is listed under a folder of its
// own, so that two volumes' trees never merge. The pass then sweeps only what lies
// between the volumes, and the free space of each.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engines/engine_base.h"

namespace kestrune {

class FoundVolumeScans {
public:
    struct Volume {
        uint64_t start = 0;    // absolute sector on the source
        uint64_t sectors = 0;
        std::string fileSystem;  // as the search names it: "NTFS", "FAT32", "exFAT", "ext4"...
        std::string label;
        bool fromBackup = false;  // its first boot sectors are gone: read as their backup gives them
        std::string folder;      // the folder its files are listed under
        std::unique_ptr<RecoveryEngineBase> engine;
        bool mapped = false;     // its free space is known: only that is swept
    };

    // Searches the area for volumes, scans each with its quick engine (the logs go into
    // runFolder) and notes what it found there, so that a later Reopen finds the same.
    // device is the disk or image file the source reads, for the volumes' labels. 0, or
    // CancelCode when the reporter stopped it (what was scanned is kept).
    int FindAndScan(const SectorSource& source, const EngineArea& area, uint16_t driveLetter,
                    const std::string& runFolder, const std::filesystem::path& device, const Reporter& reporter);
    // Takes up the volumes a pass stored in runFolder; true when it had noted any (a
    // pass that found none, or one made before volumes were looked for, has none).
    bool Reopen(const SectorSource& source, const EngineArea& area, uint16_t driveLetter,
                const std::string& runFolder);
    // Whether the search was made (and noted) for the pass in runFolder.
    static bool Searched(const std::string& runFolder);

    bool empty() const { return volumes_.empty(); }
    std::vector<Volume>& volumes() { return volumes_; }

    // Moves position (sectors from the area's start) to the next stretch the pass reads,
    // and sets length (0 past the end): the space between volumes whole, a volume's free
    // space only where it could be mapped.
    void NextSweepExtent(uint64_t& position, uint64_t& length) const;

    // The volume a record of one of the volumes' engines came from; null for any other.
    Volume* VolumeOf(const ScanRecord& record);

private:
    int OpenEngine(Volume& volume, const SectorSource& source, uint32_t sectorBytes, uint16_t driveLetter,
                   const std::string& runFolder);
    void Note(const std::string& runFolder) const;

    EngineArea area_;
    std::vector<Volume> volumes_;  // in order on the source, none overlapping
};

}  // namespace kestrune
