// CFastNtfsRecovery: the quick scan of an intact NTFS volume.
//
// Every MFT record that is neither in use nor a directory is a deleted file; the folders
// above it are rebuilt by following parent references; a folder whose record no longer
// holds a directory becomes "LostFolder<n>". The $Bitmap gives the free clusters the
// formatted and deep scans read.
#pragma once

#include <unordered_set>

#include "engines/carve/carving_context.h"
#include "engines/engine_log.h"
#include "engines/ntfs/data_attribute.h"
#include "engines/ntfs/ntfs_structures.h"
#include "engines/recovery_engine.h"

namespace kestrune {

class CFastNtfsRecovery final : public IFileRecoveryParse {
public:
    CFastNtfsRecovery();
    ~CFastNtfsRecovery() override;

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

    // The absolute sector where a found file's data begins (0 for resident data).
    uint64_t DataStartSector(const ScanRecord& record) const;

    const NtfsVolumeGeometry& Geometry() const { return reader_.geometry; }
    const NtfsReader& Reader() const { return reader_; }
    ScanLogFile* Log() const { return log_.get(); }

private:
    int OpenFromBoot(ByteView boot, uint64_t start, uint64_t sectors);
    int ScanRecords();
    int ScanFolders();
    // The record step of the first pass (and, for folders, of the second); false when the
    // record gave no file or folder.
    bool ExamineRecord(std::span<uint8_t> record, bool asFolder);
    uint32_t ClimbParents(uint32_t parent);
    void AddLostFolder(uint32_t number);
    uint32_t ContentCheck(ByteView record, uint64_t entrySector, std::string_view name);
    int ReportProgress(int percent);
    // Extension records named by attribute lists are found through this volume's MFT.
    ListFollower ListFollowerOf() const;
    // The absolute sector of a record's first data cluster; 0 when resident, sparse or unknown.
    uint64_t FirstDataSector(uint64_t entrySector) const;

    uint16_t driveLetter_ = 0;
    SectorSource source_;
    NtfsReader reader_;
    EngineLog log_;
    std::vector<uint8_t> scanBuffer_;
    std::vector<uint32_t> folderQueue_;
    std::unordered_set<uint32_t> queued_;
    std::vector<uint8_t> bitmap_;
    ScanProgressFn scanProgress_ = nullptr;
    RecoverProgressFn recoverProgress_ = nullptr;
    void* userData_ = nullptr;
    int weight_ = kFullWeight;
    int secondsRemaining_ = -1;
    carve::CarvingContext contentContext_;
};

}  // namespace kestrune
