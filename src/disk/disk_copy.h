// DiskCopyJob: copies a disk, or one area of it, into an image file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "disk/disk_rescue.h"
#include "disk/rescue_map.h"
#include "disk/sector_source.h"

namespace kestrune {

// Progress of a copy: user data, percent done (0..100), sectors done, total sectors,
// estimated seconds remaining (-1 while unknown). A non-zero return stops the copy and
// becomes its result.
using CopyProgressFn = int (*)(void* userData, int percent, uint64_t sectorsDone,
                               uint64_t totalSectors, int secondsRemaining);

struct DiskCopyJob {
    int sectorSize = 512;
    uint64_t startSector = 0;
    uint64_t sectorCount = 0;  // 0 on entry: the rest of the disk from startSector
    SectorSource device;
    int file = -1;
    CopyProgressFn progress = nullptr;
    void* userData = nullptr;
    uint64_t bytesWritten = 0;
    // Where the image is once the copy ends: the destination after a whole copy; after a
    // failure or a cancel "NAME.partial.img" holding what was copied, or empty when
    // nothing was copied and the file was removed.
    std::filesystem::path keptAs;

    // Milliseconds of a steady clock; tests replace it to drive the time estimate.
    std::function<uint64_t()> clockMs;

    // Reading around damage, as GNU ddrescue does (disk_rescue.h): the good data first,
    // then the failed areas' edges, then sector by sector; the sectors that still fail are
    // left as zeros and noted (first sector of the copy, count) instead of ending the copy.
    // The map of what was done is kept beside the image as DEST.map, in ddrescue's format,
    // as the copy goes; a copy stopped part-way keeps its name, and goes on from its map
    // with resume.
    bool skipBad = false;
    bool resume = false;
    int retries = 0;
    uint64_t minReadRate = 0;  // bytes a second; see RescueSettings
    std::string commandLine;   // for the map's header
    std::vector<std::pair<uint64_t, uint64_t>> badRanges;
    RescueMap map;
    // Told where a rescue stands just before each progress call.
    std::function<void(const RescueProgress&)> onRescue;

    // The copy itself, from a source already open (also a copy of a copy, or a source
    // that fails chosen sectors in tests). sourcePath names the source to refuse it as
    // the destination; it may be empty.
    int Copy(SectorSource& source, int sectorBytes, uint64_t start, uint64_t count,
             const std::filesystem::path& destination, const std::filesystem::path& sourcePath,
             CopyProgressFn callback, void* user);

    // Copies the area into destination. The finished file holds exactly the bytes
    // copied: a longer file that was there before is cut, also after an error or a
    // cancel (then it is renamed or removed, see keptAs). The destination must not be a
    // device, a symbolic link, nor the source itself.
    // Returns 0, 30, 87, another result code, or the callback's non-zero return.
    int Run(int disk, uint64_t start, uint64_t count, const std::filesystem::path& destination,
            CopyProgressFn callback, void* user);

    // Writes the list of unreadable ranges (a text file) to mapPath; a link there is
    // refused, and a write that fails is reported.
    int WriteBadSectorMap(const std::filesystem::path& mapPath) const;

private:
    int CopyLoop();
    int RescueLoop(const std::filesystem::path& mapPath);
    void KeepPartOnly(const std::filesystem::path& destination);
};

}  // namespace kestrune
