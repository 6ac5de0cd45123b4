// CFastExfatRecovery: the quick scan of an exFAT volume (camera cards, phones, sticks).
//
// It walks the folder tree from the root, deleted folders included, and records every
// deleted file, every file inside a deleted folder, and the folders above them, as the
// FAT quick scan does. Its allocation bitmap tells the formatted and deep passes which
// clusters are free, so they carve those only.
#pragma once

#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "engines/engine_base.h"
#include "engines/exfat/exfat_tree.h"
#include "engines/fat/continuation_search.h"
#include "engines/fat/freed_cluster_claims.h"

namespace kestrune {

class CFastExfatRecovery final : public RecoveryEngineBase {
public:
    CFastExfatRecovery();
    ~CFastExfatRecovery() override;

    int Scan(const std::string* logName) override;
    int NextFreeExtent(uint64_t& position, uint64_t& length) override;
    int BuildAllocationMap() override;

    const ExfatGeometry& Volume() const { return volume_; }
    // Sector ranges [first, end) of the folders the scan lists, counted in sectors of
    // unitBytes, sorted: the formatted pass leaves them to this scan.
    FsKind Kind() const override { return FsKind::Exfat; }
    std::vector<std::pair<uint64_t, uint64_t>> WalkedFolderSectors(uint32_t unitBytes) override;

private:
    int Attach(const EngineArea& area) override;
    int OpenData(const ScanRecord& record, std::unique_ptr<PieceReader>& data, bool* layoutGuessed) override;
    bool Ready() const override { return source_.IsOpen() && volume_.clusterCount != 0; }
    ParentKey RootKey() const override { return MakeParentKey(0, volume_.rootCluster); }

    struct FolderInfo {
        ScanRecord record;
        uint32_t parent = 0;  // first cluster of the folder holding it
        uint32_t depth = 0;   // of the folder itself: 1 under the root
    };

    int Visit(const ExfatFound& found);
    ScanRecord RecordOf(const ExfatFound& found) const;
    uint32_t AddFileRecord(ScanRecord record, uint32_t parent, uint32_t parentDepth);
    // A deleted file's clusters as its entry set gives them, when they are sure (written in
    // one piece, without a chain), and how new the file is.
    struct DeletedExtent {
        uint32_t first, count;
        uint64_t madeAt;
        uint32_t recordId;  // 0 when the file is not listed
    };
    std::vector<DeletedExtent> deletedExtents_;
    // Once every deleted file is known: a listed file whose first cluster a newer deleted
    // file was written over holds that file's bytes there, not its own.
    void MarkFilesWrittenOverByNewer();
    uint32_t ContentCheck(const ScanRecord& record);
    // The clusters of a recorded file, as its entry set (read again where the record
    // says it lies) describes them; a deleted file whose chain was cleared is read round
    // the clusters the other deleted files claim (guessed: see DataMap). Asked without
    // guessed, the data is to be read, and a guessed photo is looked for where it went on
    // (SearchFreedLayout).
    std::vector<uint32_t> ClustersOf(const ScanRecord& record, bool* guessed = nullptr);
    // Whether the entry set is deleted and its stream contiguous; false when the entry
    // set is no longer where the record says.
    bool StreamState(const ScanRecord& record, bool& deleted, bool& contiguous);
    uint32_t ClusterCountOf(const ScanRecord& record) const;
    bool ChainCleared(uint32_t first, const std::vector<uint32_t>& clusters);
    // Reads clusters and finds those the allocation bitmap calls free, for the search
    // of where a deleted file went on.
    ClusterAccess FreeClusterAccess();
    static std::vector<uint32_t> ClusterList(const std::vector<ClusterRun>& runs);
    static std::vector<ClusterRun> ClusterRuns(const std::vector<uint32_t>& clusters);
    const FreedClusterClaims& Claims();
    ExfatGeometry volume_;
    ExfatFat fat_;
    std::unique_ptr<ExfatTree> tree_;
    bool treeLoaded_ = false;
    bool treeWalked_ = false;
    std::unordered_map<uint32_t, FolderInfo> folders_;
    std::vector<uint32_t> pending_;  // folders above recorded files, to record at the end
    std::unordered_set<uint32_t> pendingSet_;
    uint64_t lastReport_ = 0;
    std::optional<FreedClusterClaims> claims_;
    ChosenLayouts chosen_;
};

}  // namespace kestrune
