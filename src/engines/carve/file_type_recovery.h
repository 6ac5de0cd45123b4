// CFileTypeRecovery: finds files by their content alone, sector by sector.
//
// It has no scan of its own: a pass (the formatted-recovery coordinator, or the carving
// pass below it) offers it every sector nothing else has claimed, and it lists the files
// it recognises as "<start sector>.<extension>" in a "File_Type_" log.
#pragma once

#include <memory>

#include "disk/byte_view.h"
#include "disk/sector_source.h"
#include "engines/carve/carving_context.h"
#include "engines/recovery_engine.h"
#include "scanlog/scan_log_file.h"

namespace kestrune {

class CFileTypeRecovery final : public IFileRecoveryParse {
public:
    CFileTypeRecovery();
    ~CFileTypeRecovery() override;

    int OpenImage(const std::filesystem::path& image, uint16_t driveLetter) override;
    int OpenDisk(int disk, uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) override;
    void SetRunFolder(const std::string& folder) override { runFolder_ = folder; }
    int SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress, void* userData,
                     int weight) override;
    int Scan(const std::string*) override { return kOk; }
    int ListChildren(const ScanRecord* folder, int depth, std::vector<ScanRecord>& out) override;
    int CountFiles(const ScanRecord* folder, int depth, int& count) override;
    uint64_t GetRecordCount() override;
    int GetRecordPath(const ScanRecord&, std::string&) override { return kOk; }
    int Recover(const ScanRecord& record, const std::filesystem::path& destination, int baseDepth) override;
    int NextFreeExtent(uint64_t&, uint64_t& length) override {
        length = 0;
        return 0;
    }
    int SetLogCallback(SearchProgressFn callback, void* userData) override;
    int SearchByExtension(std::string_view pattern, std::vector<ScanRecord>& out) override;
    int BuildAllocationMap() override { return kOk; }
    int MapData(const ScanRecord& record, DataMap& map) override;
    int ExtractForPreview(const ScanRecord* record, std::string& tempPath, std::span<uint8_t> buffer,
                          uint32_t& delivered, PreviewProgressFn progress, void* userData) override;

    // Opens the source and the log of a pass (a stored log is reopened by its name).
    int OpenForPassOnDisk(uint32_t sectorSize, int disk, const std::string& logName, uint16_t driveLetter);
    int OpenForPassOnImage(uint32_t sectorSize, const std::string& logName, uint16_t driveLetter,
                           const std::filesystem::path& image);

    // The carving step for the sector at startSector (absolute on the source). Returns 0
    // with skip set when a file was listed; 87 (skip 1) when none starts here; the
    // callback's stop value when a length rule was cancelled.
    int CarveAt(ByteView sector, uint64_t startSector, const carve::PassProgress& totals, uint32_t& skip,
                uint64_t& filesFound);

    SectorSource& Source() { return source_; }
    // The block the pass examines (sectors from firstSector on): the length rules take
    // what it holds from there. An empty block before the pass reads the next one.
    void SetPassBlock(ByteView block, uint64_t firstSector) {
        context_.passBlock = block;
        context_.passBlockFirst = firstSector;
    }
    uint32_t SectorSize() const { return sectorSize_; }
    ScanLogFile* Log() { return log_.get(); }

private:
    int OpenNewLog(uint64_t startSector);
    int OpenNamedLog(const std::string& logName);
    int OpenLog(const std::string& logName, bool fresh);

    uint32_t sectorSize_ = 512;
    uint16_t driveLetter_ = 0;
    uint64_t partitionStart_ = 0;
    uint64_t sectorCount_ = 0;
    SectorSource source_;
    std::unique_ptr<ScanLogFile> log_;
    std::string runFolder_;
    SearchProgressFn searchProgress_ = nullptr;
    void* searchUserData_ = nullptr;
    RecoverProgressFn recoverProgress_ = nullptr;
    void* userData_ = nullptr;
    carve::CarvingContext context_;
};

}  // namespace kestrune
