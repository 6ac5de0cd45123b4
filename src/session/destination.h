// Where recovered files and images may go: never onto the area being read, never through
// a link someone planted, never where they cannot fit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "scanlog/scan_record.h"
#include "session/scan_source.h"

namespace kestrune {

class ScanRun;

enum class DestinationProblem {
    None,
    Unusable,      // cannot be made or is not a folder (result says why)
    NotWritable,   // read-only, or no right to write (result says why)
    OnSource,      // on the volume (or disk area) being read
    ImageOnSource, // an image on the volume it is copied from
    IsLink,        // the image file is a symbolic link
    MapIsLink,     // the image's map file is a symbolic link
    Fat32TooSmall, // a FAT32 file system holds no file above 4 GiB
    FatTooSmall,   // FAT12/16 hold no file above 2 GiB
    NoSpace,       // less free space than the image needs
};

// Whether folder lies on the volume (or disk) source is read from: writing there could
// overwrite the very files being recovered.
bool DestinationOnSource(const std::filesystem::path& folder, const ScanSource& source);

// The folder recovered files go into, created and resolved (see ResolveDestination);
// result holds the system's reason for Unusable and NotWritable.
DestinationProblem CheckRecoveryDestination(const std::string& folder, const ScanSource& source,
                                            std::filesystem::path& resolved, int& result);

// Whether an image of bytes may be written to image (with its map when withMap).
DestinationProblem CheckImageDestination(const std::filesystem::path& image, const ScanSource& source,
                                         uint64_t bytes, bool withMap);

// What recovering records into destination would write, worked out without writing
// anything (not even the folder): each file's target and bytes, their sum (held at
// UINT64_MAX rather than wrapping, for sizes a damaged medium may claim), and the free
// space of the nearest existing folder on the way (known false when it cannot be asked).
struct PlannedFile {
    std::filesystem::path target;
    uint64_t bytes = 0;
};
struct RecoveryPlan {
    std::vector<PlannedFile> files;
    uint64_t bytes = 0;
    uint64_t freeBytes = 0;
    bool freeKnown = false;
};
// keepFolders: each file in the folders it was found in (run gives them), as the
// recovery would write it.
RecoveryPlan PlanRecovery(ScanRun& run, const std::vector<ScanRecord>& records,
                          const std::filesystem::path& destination, bool keepFolders);

// The problem in plain English, for the command line; folder is the path named.
std::string DestinationProblemText(DestinationProblem problem, const std::string& folder, int result);

}  // namespace kestrune
