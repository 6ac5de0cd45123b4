// CProfessionalRecovery: the formatted and deep scan of an area, whatever it holds.
//
// It runs the area's quick scan first (when a quick engine knows the file system), then
// one pass over the area, or over its free space when the quick scan could map it, in
// which every sector is offered in turn to the NTFS record recogniser, the FAT and exFAT
// directory recognisers and the signature carver. The results of the five engines are
// presented as one. A pass can be stopped and taken up later from where it stopped: the scan
// catalogue its owner hands it keeps its position.
#pragma once

#include <memory>

#include "engines/carve/file_type_recovery.h"
#include "engines/exfat/pro_exfat_recovery.h"
#include "engines/ext/fast_ext_recovery.h"
#include "engines/found_volume_scans.h"
#include "engines/fat/pro_fat_recovery.h"
#include "engines/ntfs/pro_ntfs_recovery.h"
#include "engines/pass_checkpoint.h"
#include "engines/stored_pass.h"
#include "scanlog/scan_catalogue.h"

namespace kestrune {

class CProfessionalRecovery final : public IStoredPass {
public:
    // The disk number an image file's pass is filed under in the catalogue.
    static constexpr int kImageDisk = 128;
    // The share of the progress bar each phase takes: the quick scan first, then the
    // sweep over the area; the step to 100 marks the end.
    static constexpr int kQuickShare = 9;
    static constexpr int kSweepShare = 90;

    // Passes of an area are found in, and stored into, catalogue.
    explicit CProfessionalRecovery(ScanCatalogue& catalogue);
    ~CProfessionalRecovery() override;

    int OpenImage(const std::filesystem::path& image, uint16_t driveLetter) override;
    int OpenDisk(int disk, uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) override;
    // The folder a new pass writes into. Without one, a new pass takes the next numbered
    // run folder from its catalogue. A stored pass always goes on in its own folder.
    void SetRunFolder(const std::string& folder) override { newPassFolder_ = folder; }
    void SetReporter(Reporter reporter) override;
    void SetCopyProgress(CopyProgress progress) override;
    void SetUnreadableNotice(UnreadableNotice notice) override;
    int Scan(const std::string* logName) override;
    int ListChildren(const ScanRecord* folder, int depth, std::vector<ScanRecord>& out) override;
    int CountFiles(const ScanRecord* folder, int depth, int& count) override;
    uint64_t GetRecordCount() override;
    int GetRecordPath(const ScanRecord& record, std::string& out) override;
    int GetRecordPathOnDisk(const ScanRecord& record, std::string& out) override;
    int Recover(const ScanRecord& record, const std::filesystem::path& destination, int baseDepth) override;
    // The free space of the volumes a pass over an area without a file system at its start
    // found there, and what lies between them; not known otherwise.
    int NextFreeExtent(uint64_t& position, uint64_t& length) override;
    int SearchByExtension(std::string_view pattern, std::vector<ScanRecord>& out) override;
    int BuildAllocationMap() override;
    int MapData(const ScanRecord& record, DataMap& map) override;
    uint64_t UnreadableBytes(const ScanRecord& record, const DataMap& map) override;
    int ReadData(const ScanRecord& record, uint64_t limit, std::vector<uint8_t>& out) override;
    int ExtractForPreview(const ScanRecord* record, std::string& tempPath, std::span<uint8_t> buffer,
                          uint32_t& delivered, const CopyProgress& progress) override;

    bool HasStoredPass() const override { return resume_; }
    Progress StoredProgress() const override;
    const ScanCatalogueRecord& StoredPass() const { return stored_; }
    void DeclineStoredPass() override;
    // The folders of a pass that was killed are written from its checkpoint.
    int OpenStoredLogs() override;

    // Reads the pass's blocks from another source of the same area (a copy, or one that
    // fails chosen sectors in tests); the inner engines keep their own.
    void UsePassSource(SectorSource source) { source_ = std::move(source); }

    // 60 seconds unless set.
    void SetCheckpointInterval(uint64_t milliseconds) override { checkpointMs_ = milliseconds; }

    uint64_t SectorsDone() const override { return sectorsDone_; }
    uint64_t SectorsTotal() const override { return sectorsTotal_; }
    bool UsedFreeSpaceOnly() const { return freeSpaceOnly_; }
    int QuickScanResult() const override { return quickScanResult_; }
    const std::string& RunFolder() const override { return runFolder_; }

    IFileRecoveryParse* QuickEngine() const override { return quick_.get(); }
    CProfessionalFatRecovery& FatEngine() { return fat_; }
    CProfessionalExfatRecovery& ExfatEngine() { return exfat_; }
    CProfessionalNtfsRecovery& NtfsEngine() { return ntfs_; }
    CFileTypeRecovery& DeepEngine() { return deep_; }

private:
    // Where the data of the files found by their metadata lies, as byte ranges of the
    // source, sorted and merged; and whether offset lies in one of them.
    std::vector<std::pair<uint64_t, uint64_t>> BytesOfFound(const std::vector<ScanRecord>& found);
    static bool Inside(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, uint64_t offset);
    int OpenArea(SectorSource source, const EngineArea& area, uint16_t driveLetter);
    // The quick engine and the inner engines write into and read from runFolder_.
    void HandFolderToEngines();
    int OpenInnerLogs(bool reopen);
    int RunPass();
    // Offers each sector of a block to the recognisers; returns the sectors the last
    // skip reaches past the block, or sets stop, and the sector it came at, when a
    // carving step was cancelled.
    uint64_t DispatchBlock(const uint8_t* block, uint32_t sectors, uint64_t firstSector, int& stop,
                           uint32_t& stoppedAt);
    // One sector of a block as the recognisers see it: its bytes, its absolute number, and
    // the block from it on (a record may be longer than a sector).
    struct SectorAt {
        ByteView sector;
        uint64_t absolute;
        ByteView rest;
    };
    // A recogniser takes a sector it knows (handing it to its engine) and answers true.
    struct SectorRecogniser {
        const char* what;
        bool (CProfessionalRecovery::*take)(const SectorAt& at);
    };
    static const SectorRecogniser kRecognisers[];
    bool TakeMftRecord(const SectorAt& at);
    bool TakeFatFolderStart(const SectorAt& at);
    bool TakeExfatEntries(const SectorAt& at);
    bool TakeExfatBoot(const SectorAt& at);
    bool TakeFatEntries(const SectorAt& at);
    std::vector<uint8_t> recordScratch_;
    void StorePass(uint64_t extentStart, uint64_t extentLength, uint64_t offset, bool finished);
    // Syncs the logs and puts their record counts, the position and the engines' state
    // into the checkpoint file; stores the pass in the catalogue.
    PassCheckpoint Checkpoint(uint64_t extentStart, uint64_t extentLength, uint64_t offset, bool finished);
    // Has the engines write the folders met so far into their logs, as at a pass's end.
    void ReportFoldersSoFar();
    // Cuts the logs back to the checkpoint's counts and gives the engines its state.
    void RestoreCheckpoint(const PassCheckpoint& checkpoint);
    // On resume: returns to the last checkpoint of the stored pass.
    void RollBackToCheckpoint();
    IFileRecoveryParse* EngineFor(const ScanRecord& record);
    // The quick engine a record of one came from: the area's own, or a found volume's.
    RecoveryEngineBase* QuickEngineOf(const ScanRecord& record);
    // Moves position to the next stretch the sweep reads, as NextFreeExtent does.
    void NextSweepExtent(uint64_t& position, uint64_t& length);
    // Where found volumes are searched for, their labels read from: the disk or image file.
    std::filesystem::path DevicePath() const;
    // The engines whose findings are listed, in listing order.
    std::vector<IFileRecoveryParse*> ListedEngines();
    uint64_t FilesFound();

    int disk_ = kImageDisk;
    uint64_t startSector_ = 0;
    uint64_t sectorCount_ = 0;
    uint16_t driveLetter_ = 0;
    std::filesystem::path imagePath_;
    std::filesystem::path volumeDevice_;
    uint32_t sectorSize_ = 512;
    // The area's source, which every inner engine reads, and the one the pass reads its
    // blocks from (the same unless UsePassSource gave another).
    SectorSource areaSource_, source_;
    std::unique_ptr<RecoveryEngineBase> quick_;
    // On an ext volume: the files of the volume it was formatted over.
    std::unique_ptr<CFastExtRecovery> formerExt_;
    // On an area without a file system at its start: the volumes found inside it.
    FoundVolumeScans found_;
    // The sweep reads stretches (free space, what lies between found volumes), not the
    // whole area.
    bool sweepsStretches_ = false;
    CProfessionalFatRecovery fat_;
    CProfessionalExfatRecovery exfat_;
    CProfessionalNtfsRecovery ntfs_;
    CFileTypeRecovery deep_;
    // Reports of the whole pass, and of its sweep (the inner engines' share of it).
    Reporter reporter_, sweep_;
    ScanCatalogue& catalogue_;
    ScanCatalogueRecord stored_;
    bool resume_ = false;
    std::string runFolder_;
    std::string newPassFolder_;
    int quickScanResult_ = 0;
    bool freeSpaceOnly_ = false;
    uint64_t sectorsDone_ = 0;
    uint64_t sectorsTotal_ = 0;
    int secondsRemaining_ = -1;
    uint64_t checkpointMs_ = 60000;
};

}  // namespace kestrune
