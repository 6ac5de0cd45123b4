// Where a deleted FAT folder goes on after its first clusters.
//
// A folder grows one cluster at a time as entries are added, and each new cluster is the
// next free one at that moment: in a camera's folder it lies among the photos written
// before it, not after the folder's first cluster. Deletion frees the chain, so nothing
// links those clusters any more. They are still free clusters full of folder entries
// without a "." and ".." pair, and their entries carry on in time where the folder's
// last entries stopped; that is how they are found and given back to their folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disk/byte_view.h"
#include "disk/sector_source.h"
#include "engines/fat/fat_volume.h"

namespace kestrune {

// What a folder's entries so far say about the cluster that should follow them.
struct FolderTrail {
    uint64_t lastStamp = 0;               // newest entry stamp (FILETIME), 0 when none
    std::vector<std::string> stems;        // name beginnings seen ("img_", "screenshot_")
    bool nameOpen = false;                // the folder ends inside a run of long-name entries
    uint8_t openChecksum = 0;             // that run's checksum byte
    // Where the folder's next cluster most likely is: clusters are handed out forwards,
    // so past its own last cluster and past the data of the files it lists.
    uint32_t nextFrom = 0;
    uint32_t lastCluster = 0;  // the folder's own last cluster found so far
    // The folder's last cluster: its oldest and newest stamps, and whether a name was
    // written into the slot of a deleted one later (an entry older than one before it).
    // Then the cluster's newest stamp is younger than the next cluster's entries.
    uint64_t clusterOldest = 0, clusterNewest = 0;
    bool slotsReused = false;
    uint32_t clusterDataEnd = 0;  // past the data of the files the last cluster lists

    void BeginCluster() {
        clusterOldest = clusterNewest = 0;
        slotsReused = false;
        clusterDataEnd = 0;
    }
    // Where the search for the folder's next cluster starts: past the data of the files
    // its last cluster lists, or just past that cluster when names were written into
    // deleted ones' slots (their files may lie far beyond where the folder went on).
    uint32_t SearchFrom() const;
    // The newest stamp the folder had when its last cluster filled up.
    uint64_t FilledBy() const;
    void Note(ByteView shortEntry, const std::string& name, uint32_t clusterBytes);
};

// A free cluster that holds folder entries but does not begin a folder. Only what tells
// its place is kept; the entries are read again when it is given to a folder.
struct ContinuationCluster {
    uint32_t cluster = 0;
    uint64_t firstStamp = 0;               // stamp of its first short entry
    std::vector<std::string> stems;        // of the names it holds
    bool startsWithLongName = false;
    uint8_t leadingChecksum = 0;           // of its leading long-name entries, or of its first short entry
    bool taken = false;

    // False when the cluster's data holds no entry to go by.
    bool Summarise(ByteView data);
};

// The stamp an entry's place in time is judged by: its creation time, else its write time.
uint64_t EntryStamp(ByteView shortEntry);
// The leading letters of a name, before any digit, '~' or '.', lower case, without the
// first character (which deletion replaces); empty when shorter than two letters.
std::string NameStem(const std::string& name);

// Reads the first sector of free clusters not in walked (sorted), from cluster from on,
// at most freeClusters of them, and keeps those that pass the directory-sector test
// without beginning a folder, read whole. Small clusters are read in runs; large ones
// one sector each. With until, the search ends at the first cluster it accepts.
std::vector<ContinuationCluster> FindContinuationClusters(
    const FatVolumeInfo& volume, FatTable& table, SectorSource& source, const std::vector<uint32_t>& walked,
    uint32_t from = 2, uint64_t freeClusters = UINT64_MAX,
    const std::function<bool(const ContinuationCluster&)>& until = nullptr);

// Whether cluster can carry on the folder of trail: its entries begin where the folder's
// stopped in time, and a long name the folder left open goes on in it.
bool CanContinue(const FolderTrail& trail, const ContinuationCluster& cluster);
// Which of the trails (indices into trails, all able to continue) cluster most likely
// carries on: one whose long name it finishes, then one whose names begin like the
// cluster's, then the one whose last entries are closest in time, then the one whose
// files end nearest before it.
size_t BestOwner(const std::vector<const FolderTrail*>& trails, const ContinuationCluster& cluster);

}  // namespace kestrune
