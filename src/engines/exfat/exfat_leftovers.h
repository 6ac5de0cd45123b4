// Directory data of former exFAT volumes, met sector by sector in a formatted or deep
// pass, and the geometry of those volumes worked out from it.
//
// exFAT folders have no "." entry naming their own cluster, so the geometry cannot be
// read off one folder as on FAT. It comes from a boot sector that survived (the area's
// own or a former one met in the pass), or else from pairs of a folder's entry (which
// names the folder's first cluster) and a run of directory data (which lies at some
// sector): the geometry that places most folders where directory data lies. Candidates
// are then weighed by whether files' first clusters hold what their names say.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "disk/byte_view.h"
#include "engines/exfat/exfat_entries.h"

namespace kestrune {

// Consecutive sectors of directory data, as the pass met them.
struct ExfatRun {
    uint64_t firstSector = 0;  // absolute
    std::vector<uint8_t> bytes;
};

// A sector whose every entry is of a type exFAT folders hold (live or deleted), with
// nothing but end marks after the first end mark, and that holds a whole entry set
// whose checksum matches.
bool IsExfatDirectorySector(ByteView sector);
// A sector that may go on with directory data begun in the sector before it: entry
// types only, and not empty.
bool ContinuesExfatDirectory(ByteView sector);

// One entry set found in a run.
struct ExfatLeftover {
    ExfatEntrySet set;
    size_t run = 0;
    uint64_t entrySector = 0;  // absolute sector of its File entry
};

// Every entry set of the runs whose checksum matches, in run order.
std::vector<ExfatLeftover> EntrySetsOf(const std::vector<ExfatRun>& runs, uint32_t bytesPerSector);
// True when directory data is a root folder's (it holds the allocation bitmap's entry).
bool HoldsBitmapEntry(ByteView data);

// Where a former volume's cluster 2 begins and how large its clusters are.
struct ExfatHeap {
    uint64_t clusterTwo = 0;  // absolute sector
    uint32_t sectorsPerCluster = 0;

    uint64_t SectorOf(uint32_t cluster) const { return clusterTwo + uint64_t{cluster - 2} * sectorsPerCluster; }
    // The cluster a sector lies in; nullopt before cluster 2.
    std::optional<uint32_t> ClusterOf(uint64_t sector) const;
    bool operator==(const ExfatHeap&) const = default;
};

// The part of a run that lies in one cluster of a heap.
struct ExfatChunk {
    uint32_t cluster = 0;
    size_t run = 0;
    size_t offset = 0;  // bytes into the run
    size_t length = 0;
};
// The runs cut at the heap's cluster boundaries, in run order; parts before cluster 2
// are left out.
std::vector<ExfatChunk> ChunksOf(const std::vector<ExfatRun>& runs, const ExfatHeap& heap, uint32_t bytesPerSector);

// An entry set cut in two because its folder went on in a cluster elsewhere (a folder
// grown along its FAT chain): the tail of a set at the end of one cluster's data joined
// with the head of another's, kept when the joined set's checksum holds. The join also
// tells that the second cluster goes on with the first one's folder.
struct ExfatJoin {
    ExfatLeftover leftover;
    uint32_t from = 0;  // cluster holding the set's File entry
    uint32_t to = 0;    // cluster the folder went on in
};
std::vector<ExfatJoin> JoinSplitSets(const std::vector<ExfatRun>& runs, const std::vector<ExfatChunk>& chunks,
                                     uint32_t bytesPerSector);

// The heaps a boot sector lying at `sector` describes: its volume starts there (a main
// boot sector) or twelve sectors earlier (the backup).
std::vector<ExfatHeap> HeapsFromBootSector(ByteView sector, uint64_t sectorNumber);

// Heaps under which at least `minVotes` folders' first clusters fall on the first
// sector of a run, most votes first; at most `limit` of them. Cluster sizes from one
// sector to 32 MiB are tried; heaps before areaStart are not.
std::vector<ExfatHeap> HeapsFromFolders(const std::vector<ExfatLeftover>& sets, const std::vector<ExfatRun>& runs,
                                        uint32_t bytesPerSector, uint64_t areaStart, size_t minVotes, size_t limit);

}  // namespace kestrune
