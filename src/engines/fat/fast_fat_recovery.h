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

#include "engines/carve/carving_context.h"
#include "engines/engine_log.h"
#include "engines/fat/fat_data.h"
#include "engines/fat/fat_volume.h"
#include "engines/fat/folder_continuation.h"
#include "engines/fat/freed_cluster_claims.h"
#include "engines/recovery_engine.h"

namespace kestrune {

class CFastFatRecovery final : public IFileRecoveryParse {
public:
    CFastFatRecovery();
    ~CFastFatRecovery() override;

    int OpenImage(const std::filesystem::path& image, uint16_t driveLetter) override;
    int OpenDisk(int disk, uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) override;
    void SetRunFolder(const std::string& folder) override { log_.SetFolder(folder); }
    int SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress, void* userData,
                     int weight) override;
    int Scan(const std::string* logName) override;
    int ListChildren(const ScanRecord* folder, int depth, std::vector<ScanRecord>& out) override;
    int CountFiles(const ScanRecord* folder, int depth, int& count) override;
    uint64_t GetRecordCount() override { return log_.RecordCount(); }
    int GetRecordPath(const ScanRecord& record, std::string& out) override { return log_.RecordPath(record, out); }
    int Recover(const ScanRecord& record, const std::filesystem::path& destination, int baseDepth) override;
    int NextFreeExtent(uint64_t& position, uint64_t& length) override;
    int SetLogCallback(SearchProgressFn callback, void* userData) override {
        return log_.SetSearchCallback(callback, userData);
    }
    int SearchByExtension(std::string_view pattern, std::vector<ScanRecord>& out) override {
        return log_.Search(pattern, out);
    }
    int CountByExtension(std::string_view pattern, const std::function<bool(const ScanRecord&)>& keep,
                         uint64_t& count) override {
        return log_.Count(pattern, keep, count);
    }
    int BuildAllocationMap() override;
    int MapData(const ScanRecord& record, DataMap& map) override;
    int ExtractForPreview(const ScanRecord* record, std::string& tempPath, std::span<uint8_t> buffer,
                          uint32_t& delivered, PreviewProgressFn progress, void* userData) override;

    // Opens the engine on a source already open (a volume whose boot sector is at start).
    int OpenSource(SectorSource source, uint64_t start, uint64_t sectors, uint16_t driveLetter);
    const FatVolumeInfo& Volume() const { return volume_; }
    ScanLogFile* Log() const { return log_.get(); }
    // The absolute sector ranges [first, end) of every folder cluster the scan walked, so
    // that the formatted scan does not list their entries again. A scan only reopened
    // from its log walks the folders once more, without writing, to learn them.
    std::vector<std::pair<uint64_t, uint64_t>> WalkedFolderSectors();

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
    };

    int OpenFromBoot(ByteView boot, uint64_t start, uint64_t sectors);
    // The tree walk of Scan; dry walks write nothing and only learn the folder clusters.
    int Walk(bool dry);
    int WalkQueue();
    int ReportStep();
    void WalkFolder(uint32_t cluster);
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
    void AddFileRecord(ScanRecord record, uint32_t parent);
    uint32_t ProbeFirstCluster(ByteView entry, const std::string& name, bool isFolder);
    // The first free cluster whose low half is low, or 0 when every candidate is in use.
    uint32_t FirstFreeCandidate(uint32_t low);
    uint32_t DepthOf(uint32_t cluster);
    uint32_t ContentCheck(const ScanRecord& record);
    int Report(int percent, int secondsRemaining);
    int WriteFile(const ScanRecord& file, const std::filesystem::path& target);
    // Where a found file's data lies: the deleted file's own clusters, round the clusters
    // the other deleted files claim; empty to read along the table (a live chain, or a
    // file the claims know nothing of). guessed: the metadata allowed other layouts and
    // nothing in the data told which is right.
    std::vector<ClusterRun> LayoutOf(const ScanRecord& record, bool& guessed);
    FatDataReader ReaderFor(const ScanRecord& record, bool* guessed = nullptr);
    const FreedClusterClaims& Claims();
    // The clusters a freed chain gives when read over every free cluster in turn.
    std::vector<ClusterRun> PlainReading(uint32_t first, uint32_t clusters);

    uint16_t driveLetter_ = 0;
    SectorSource source_;
    FatVolumeInfo volume_;
    FatTable table_;
    EngineLog log_;
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
    ScanProgressFn scanProgress_ = nullptr;
    RecoverProgressFn recoverProgress_ = nullptr;
    void* userData_ = nullptr;
    int weight_ = kFullWeight;
    carve::CarvingContext contentContext_;
    std::optional<FreedClusterClaims> claims_;
    std::unordered_map<uint64_t, FreedLayout> chosen_;  // by first cluster and length
};

}  // namespace kestrune
