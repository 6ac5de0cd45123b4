// CFastFatRecovery: the quick scan of a FAT12, FAT16 or FAT32 volume.
//
// It walks the live directory tree from the root, entering every folder it finds, live
// or deleted, and records every deleted file, every file inside a deleted folder, and the
// folders above them. A deleted folder whose entries run on past its known clusters gets
// back the free clusters that continue it (folder_continuation.h).
#pragma once

#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "engines/engine_base.h"
#include "engines/fat/fat_data.h"
#include "engines/fat/fat_volume.h"
#include "engines/fat/folder_continuation.h"
#include "engines/fat/continuation_search.h"
#include "engines/fat/freed_cluster_claims.h"
#include "engines/fat/lost_letter.h"

namespace kestrune {

class CFastFatRecovery final : public RecoveryEngineBase {
public:
    CFastFatRecovery();
    ~CFastFatRecovery() override;

    int Scan(const std::string* logName) override;
    int NextFreeExtent(uint64_t& position, uint64_t& length) override;
    int BuildAllocationMap() override;

    const FatVolumeInfo& Volume() const { return volume_; }
    // The absolute sector ranges [first, end) of every folder cluster the scan walked, so
    // that the formatted scan does not list their entries again. A scan only reopened
    // from its log walks the folders once more, without writing, to learn them.
    FsKind Kind() const override { return FsKind::Fat; }
    // In the volume's own sectors, whatever unitBytes says.
    std::vector<std::pair<uint64_t, uint64_t>> WalkedFolderSectors(uint32_t unitBytes = 0) override;

private:
    struct FolderEntry {
        ScanRecord record;
        uint32_t parent;
    };
    // One folder being walked: where its entries are filed, and where it stopped.
    struct FolderWalk {
        uint32_t parentKey = 0;
        bool insideDeleted = false;
        LongNameCollector longName;
        FolderTrail trail;
        // For the deleted short names whose first letter nothing read tells: the names
        // of the folder whose first letter is known, and the items waiting for a guess.
        std::vector<ShortNameBytes> knownNames;
        struct LostLetter {
            std::array<uint8_t, 32> entry;
            bool isFolder;
            uint32_t id;  // a file's record, or a folder's first cluster
        };
        std::vector<LostLetter> lostLetters;
    };

    int Attach(const EngineArea& area) override;
    int OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool* layoutGuessed) override;
    bool Ready() const override { return source_.IsOpen() && volume_.fatCount != 0; }
    ParentKey RootKey() const override { return MakeParentKey(0, volume_.rootCluster); }
    // The tree walk of Scan; dry walks write nothing and only learn the folder clusters.
    int Walk(bool dry);
    int WalkQueue();
    int ReportStep();
    void WalkFolder(uint32_t cluster);
    void WalkFolderClusters(uint32_t cluster, FolderWalk& walk);
    // Visits one cluster's entries; true at the end-of-folder entry.
    bool WalkEntries(FolderWalk& walk, ByteView view, uint64_t firstSector);
    // The free cluster after a freed folder cluster, when it holds entries that go on.
    bool FreedFolderGoesOnAt(uint32_t cluster);
    // Whether a folder entry met now takes its cluster from the one that named it before.
    bool OwnsFolderCluster(const ScanRecord& folder) const;
    int ContinueDeletedFolders();
    int ContinueNearby();
    // Gives the clusters of pool to the folders they continue; placed tells whether any went.
    // The folder of continuing_ that cluster most likely carries on; SIZE_MAX for none.
    size_t LikeliestOwner(const ContinuationCluster& cluster) const;
    bool TakeContinuation(size_t owner, uint32_t cluster, std::vector<uint8_t>& buffer);
    int PlaceContinuations(std::map<uint32_t, ContinuationCluster>& pool, bool& placed);
    ScanRecord EntryRecord(ByteView entry, const std::string& name, bool isFolder, bool deleted);
    uint32_t AddFileRecord(ScanRecord record, uint32_t parent);
    // Notes an entry's short name for the guess of the letters its folder's deleted names
    // lost, and the entry itself when it is one of them.
    void NoteShortName(FolderWalk& walk, ByteView entry, const std::string& name, bool isFolder, uint32_t id);
    // Once a folder is walked: gives its deleted names the first letter the folder points
    // to (lost_letter.h), marked as guessed.
    void SettleLostLetters(FolderWalk& walk);
    uint32_t ProbeFirstCluster(ByteView entry, const std::string& name, bool isFolder);
    // The first free cluster whose low half is low, or 0 when every candidate is in use.
    uint32_t FirstFreeCandidate(uint32_t low);
    uint32_t DepthOf(uint32_t cluster);
    uint32_t ContentCheck(const ScanRecord& record);
    // Where a found file's data lies: the deleted file's own clusters, round the clusters
    // the other deleted files claim; empty to read along the table (a live chain, or a
    // file the claims know nothing of). guessed: the metadata allowed other layouts and
    // nothing in the data told which is right.
    // reading: the file's data is to be read, not only mapped (SearchFreedLayout).
    std::vector<ClusterRun> LayoutOf(const ScanRecord& record, bool& guessed, bool reading);
    FatDataReader ReaderFor(const ScanRecord& record, bool* guessed = nullptr);
    const FreedClusterClaims& Claims();
    // The clusters a freed chain gives when read over every free cluster in turn.
    // Reads clusters and finds those the table calls free, for the search of where a
    // deleted file went on.
    ClusterAccess FreeClusterAccess();
    std::vector<ClusterRun> PlainReading(uint32_t first, uint32_t clusters);

    FatVolumeInfo volume_;
    FatTable table_;
    std::vector<uint32_t> queue_;
    std::unordered_set<uint32_t> visited_;
    std::unordered_map<uint32_t, FolderEntry> folderMap_;
    std::vector<uint32_t> pending_;
    std::unordered_set<uint32_t> pendingSet_;
    std::unordered_map<uint32_t, uint32_t> depthCache_;
    std::vector<FolderWalk> continuing_;  // deleted folders whose entries run on elsewhere
    std::unordered_set<uint32_t> walkedClusters_;
    bool walkedKnown_ = false;
    bool dry_ = false;
    uint64_t lastReport_ = 0, lastStep_ = 0;
    int reportStep_ = 0;
    std::vector<uint8_t> bitmap_;
    std::optional<FreedClusterClaims> claims_;
    ChosenLayouts chosen_;
};

}  // namespace kestrune
