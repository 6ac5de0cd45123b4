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

#include "engines/carve/carving_context.h"
#include "engines/engine_log.h"
#include "engines/exfat/exfat_tree.h"
#include "engines/fat/freed_cluster_claims.h"
#include "engines/recovery_engine.h"

namespace kestrune {

class CFastExfatRecovery final : public IFileRecoveryParse {
public:
    CFastExfatRecovery();
    ~CFastExfatRecovery() override;

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

    // Opens the engine on a source already open (a volume whose boot sector is at start,
    // in 512-byte units).
    int OpenSource(SectorSource source, uint64_t start, uint64_t sectors, uint16_t driveLetter);
    const ExfatGeometry& Volume() const { return volume_; }
    // Sector ranges [first, end) of the folders the scan lists, counted in sectors of
    // unitBytes, sorted: the formatted pass leaves them to this scan.
    std::vector<std::pair<uint64_t, uint64_t>> WalkedFolderSectors(uint32_t unitBytes);
    ScanLogFile* Log() const { return log_.get(); }

private:
    struct FolderInfo {
        ScanRecord record;
        uint32_t parent = 0;  // first cluster of the folder holding it
        uint32_t depth = 0;   // of the folder itself: 1 under the root
    };

    int Visit(const ExfatFound& found);
    ScanRecord RecordOf(const ExfatFound& found) const;
    void AddFileRecord(ScanRecord record, uint32_t parent, uint32_t parentDepth);
    uint32_t ContentCheck(const ScanRecord& record);
    // The clusters of a recorded file, as its entry set (read again where the record
    // says it lies) describes them; a deleted file whose chain was cleared is read round
    // the clusters the other deleted files claim (guessed: see DataMap).
    std::vector<uint32_t> ClustersOf(const ScanRecord& record, bool* guessed = nullptr);
    // Whether the entry set is deleted and its stream contiguous; false when the entry
    // set is no longer where the record says.
    bool StreamState(const ScanRecord& record, bool& deleted, bool& contiguous);
    uint32_t ClusterCountOf(const ScanRecord& record) const;
    bool ChainCleared(uint32_t first, const std::vector<uint32_t>& clusters);
    static std::vector<uint32_t> ClusterList(const std::vector<ClusterRun>& runs);
    static std::vector<ClusterRun> ClusterRuns(const std::vector<uint32_t>& clusters);
    const FreedClusterClaims& Claims();
    int WriteFile(const ScanRecord& file, const std::filesystem::path& target);
    int Report(int percent, int secondsRemaining);
    bool Ready() const { return source_.IsOpen() && volume_.clusterCount != 0; }

    uint16_t driveLetter_ = 0;
    SectorSource source_;
    ExfatGeometry volume_;
    ExfatFat fat_;
    std::unique_ptr<ExfatTree> tree_;
    bool treeLoaded_ = false;
    bool treeWalked_ = false;
    EngineLog log_;
    std::unordered_map<uint32_t, FolderInfo> folders_;
    std::vector<uint32_t> pending_;  // folders above recorded files, to record at the end
    std::unordered_set<uint32_t> pendingSet_;
    uint64_t lastReport_ = 0;
    ScanProgressFn scanProgress_ = nullptr;
    RecoverProgressFn recoverProgress_ = nullptr;
    void* userData_ = nullptr;
    int weight_ = kFullWeight;
    carve::CarvingContext contentContext_;
    std::optional<FreedClusterClaims> claims_;
    std::unordered_map<uint64_t, FreedLayout> chosen_;  // by first cluster and length
};

}  // namespace kestrune
