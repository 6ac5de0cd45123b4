// The folder tree of an exFAT volume, walked from the root: every entry set of every
// folder, live or deleted, deleted folders entered too, each folder once.
//
// A live stream is read as its entry says (one run, or along the FAT). A deleted one
// lost its FAT chain to the deletion (exFAT drivers clear it), so it is read from its
// first cluster on through the clusters the allocation bitmap calls free, passing over
// those live files hold: where a file written into fragmented free space went.
#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engines/exfat/exfat_entries.h"
#include "engines/exfat/exfat_volume.h"

namespace kestrune {

// One entry set found in a folder, with where it was found.
struct ExfatFound {
    ExfatEntrySet set;
    uint32_t folderCluster = 0;  // first cluster of the folder it lies in
    uint32_t depth = 0;          // of that folder: 0 for the root
    bool insideDeleted = false;  // that folder, or one above it, is deleted
    uint64_t entrySector = 0;    // absolute sector of the set's File entry
};

class ExfatTree {
public:
    ExfatTree(SectorSource& source, const ExfatGeometry& volume, ExfatFat& fat);

    // Reads the allocation bitmap and the up-case table the root names; false, with a
    // reason, when the root holds no bitmap.
    bool LoadRoot(std::string& why);
    // Calls visit for every entry set of the tree; a non-zero answer stops the walk and
    // is returned.
    int Walk(const std::function<int(const ExfatFound&)>& visit);

    const AllocationBitmap& Bitmap() const { return bitmap_; }
    // The absolute first sector of every folder cluster the last walk read.
    const std::vector<uint64_t>& WalkedClusterSectors() const { return walked_; }
    const UpcaseTable& Upcase() const { return upcase_; }

private:
    struct QueuedFolder {
        uint32_t first;
        uint64_t length;
        bool contiguous, deleted, insideDeleted;
        uint32_t depth;
    };
    struct WalkQueue {
        std::vector<QueuedFolder> folders;
        size_t head = 0;  // the folder being entered
        std::unordered_map<uint32_t, std::pair<size_t, uint64_t>> queued;  // first -> place, made at
        std::unordered_set<uint32_t> entered;
    };

    // Carries a folder whose entries run past its clusters on through the free clusters
    // that hold the rest of them, never through a cluster another folder's entry names as
    // its first.
    void FollowCutFolder(std::vector<uint8_t>& bytes, std::vector<uint64_t>& clusterSectors,
                         const std::function<bool(uint32_t)>& isFolderStart, bool carriesOnInTime);
    // Visits the entry sets of a folder's bytes (read from clusterSectors) that end past
    // newFrom, and queues the folders they name.
    int VisitEntries(const QueuedFolder& folder, ByteView entries, const std::vector<uint64_t>& clusterSectors,
                     size_t newFrom, WalkQueue& queue, const std::function<int(const ExfatFound&)>& visit);

    SectorSource& source_;
    const ExfatGeometry& volume_;
    ExfatFat& fat_;
    AllocationBitmap bitmap_;
    UpcaseTable upcase_;
    std::vector<uint64_t> walked_;
    std::unordered_set<uint32_t> taken_;  // free clusters given to cut folders
    uint64_t cutSearchLeft_ = 0;          // clusters the walk may still examine for them
};

}  // namespace kestrune
